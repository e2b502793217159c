#include "platform/codepage/codepage.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "platform/codepage/codepage_internal.h"

namespace kavar::codepage {
namespace {

constexpr char kDefaultCodePage[] = "windows-1256";
constexpr char32_t kUndefined = 0xFFFFFFFF;

// Best fit for windows-1256: what a character outside the page becomes, as characters
// of the page. Holds the entries Windows publishes for the page (accented Latin capitals,
// Arabic-Indic digits, Farsi yeh, the presentation forms of the page's letters, spacing
// harakat, fullwidth ASCII) and, in the same spirit, the Extended Arabic-Indic digits,
// a few Persian letter variants and the compatibility forms of the remaining
// presentation forms and ligatures of Persian and Arabic. Sorted by code point.
struct BestFit {
    char32_t from;
    const char32_t* to;
};
const BestFit kBestFit1256[] = {
    {0x00C0, U"A"},
    {0x00C2, U"A"},
    {0x00C7, U"C"},
    {0x00C8, U"E"},
    {0x00C9, U"E"},
    {0x00CA, U"E"},
    {0x00CB, U"E"},
    {0x00CE, U"I"},
    {0x00CF, U"I"},
    {0x00D4, U"O"},
    {0x00D9, U"U"},
    {0x00DB, U"U"},
    {0x00DC, U"U"},
    {0x0191, U"F"},
    {0x0660, U"0"},
    {0x0661, U"1"},
    {0x0662, U"2"},
    {0x0663, U"3"},
    {0x0664, U"4"},
    {0x0665, U"5"},
    {0x0666, U"6"},
    {0x0667, U"7"},
    {0x0668, U"8"},
    {0x0669, U"9"},
    {0x066A, U"%"},
    {0x066D, U"*"},
    {0x0671, U"\u0627"},
    {0x0672, U"\u0623"},
    {0x0673, U"\u0625"},
    {0x06AA, U"\u0643"},
    {0x06C0, U"\u0647"},
    {0x06C2, U"\u06C1"},
    {0x06C3, U"\u0629"},
    {0x06CC, U"\u064A"},
    {0x06CD, U"\u064A"},
    {0x06D0, U"\u064A"},
    {0x06D3, U"\u06D2"},
    {0x06D4, U"."},
    {0x06D5, U"\u0647"},
    {0x06F0, U"0"},
    {0x06F1, U"1"},
    {0x06F2, U"2"},
    {0x06F3, U"3"},
    {0x06F4, U"4"},
    {0x06F5, U"5"},
    {0x06F6, U"6"},
    {0x06F7, U"7"},
    {0x06F8, U"8"},
    {0x06F9, U"9"},
    {0xFB50, U"\u0627"},
    {0xFB51, U"\u0627"},
    {0xFB56, U"\u067E"},
    {0xFB57, U"\u067E"},
    {0xFB58, U"\u067E"},
    {0xFB59, U"\u067E"},
    {0xFB66, U"\u0679"},
    {0xFB67, U"\u0679"},
    {0xFB68, U"\u0679"},
    {0xFB69, U"\u0679"},
    {0xFB7A, U"\u0686"},
    {0xFB7B, U"\u0686"},
    {0xFB7C, U"\u0686"},
    {0xFB7D, U"\u0686"},
    {0xFB88, U"\u0688"},
    {0xFB89, U"\u0688"},
    {0xFB8A, U"\u0698"},
    {0xFB8B, U"\u0698"},
    {0xFB8C, U"\u0691"},
    {0xFB8D, U"\u0691"},
    {0xFB8E, U"\u06A9"},
    {0xFB8F, U"\u06A9"},
    {0xFB90, U"\u06A9"},
    {0xFB91, U"\u06A9"},
    {0xFB92, U"\u06AF"},
    {0xFB93, U"\u06AF"},
    {0xFB94, U"\u06AF"},
    {0xFB95, U"\u06AF"},
    {0xFB9E, U"\u06BA"},
    {0xFB9F, U"\u06BA"},
    {0xFBA4, U"\u0647"},
    {0xFBA5, U"\u0647"},
    {0xFBA6, U"\u06C1"},
    {0xFBA7, U"\u06C1"},
    {0xFBA8, U"\u06C1"},
    {0xFBA9, U"\u06C1"},
    {0xFBAA, U"\u06BE"},
    {0xFBAB, U"\u06BE"},
    {0xFBAC, U"\u06BE"},
    {0xFBAD, U"\u06BE"},
    {0xFBAE, U"\u06D2"},
    {0xFBAF, U"\u06D2"},
    {0xFBB0, U"\u06D2"},
    {0xFBB1, U"\u06D2"},
    {0xFBE4, U"\u064A"},
    {0xFBE5, U"\u064A"},
    {0xFBE6, U"\u064A"},
    {0xFBE7, U"\u064A"},
    {0xFBE8, U"\u0649"},
    {0xFBE9, U"\u0649"},
    {0xFBEA, U"\u0626\u0627"},
    {0xFBEB, U"\u0626\u0627"},
    {0xFBEC, U"\u0626\u0647"},
    {0xFBED, U"\u0626\u0647"},
    {0xFBEE, U"\u0626\u0648"},
    {0xFBEF, U"\u0626\u0648"},
    {0xFBF6, U"\u0626\u064A"},
    {0xFBF7, U"\u0626\u064A"},
    {0xFBF8, U"\u0626\u064A"},
    {0xFBF9, U"\u0626\u0649"},
    {0xFBFA, U"\u0626\u0649"},
    {0xFBFB, U"\u0626\u0649"},
    {0xFBFC, U"\u064A"},
    {0xFBFD, U"\u064A"},
    {0xFBFE, U"\u064A"},
    {0xFBFF, U"\u064A"},
    {0xFC00, U"\u0626\u062C"},
    {0xFC01, U"\u0626\u062D"},
    {0xFC02, U"\u0626\u0645"},
    {0xFC03, U"\u0626\u0649"},
    {0xFC04, U"\u0626\u064A"},
    {0xFC05, U"\u0628\u062C"},
    {0xFC06, U"\u0628\u062D"},
    {0xFC07, U"\u0628\u062E"},
    {0xFC08, U"\u0628\u0645"},
    {0xFC09, U"\u0628\u0649"},
    {0xFC0A, U"\u0628\u064A"},
    {0xFC0B, U"\u062A\u062C"},
    {0xFC0C, U"\u062A\u062D"},
    {0xFC0D, U"\u062A\u062E"},
    {0xFC0E, U"\u062A\u0645"},
    {0xFC0F, U"\u062A\u0649"},
    {0xFC10, U"\u062A\u064A"},
    {0xFC11, U"\u062B\u062C"},
    {0xFC12, U"\u062B\u0645"},
    {0xFC13, U"\u062B\u0649"},
    {0xFC14, U"\u062B\u064A"},
    {0xFC15, U"\u062C\u062D"},
    {0xFC16, U"\u062C\u0645"},
    {0xFC17, U"\u062D\u062C"},
    {0xFC18, U"\u062D\u0645"},
    {0xFC19, U"\u062E\u062C"},
    {0xFC1A, U"\u062E\u062D"},
    {0xFC1B, U"\u062E\u0645"},
    {0xFC1C, U"\u0633\u062C"},
    {0xFC1D, U"\u0633\u062D"},
    {0xFC1E, U"\u0633\u062E"},
    {0xFC1F, U"\u0633\u0645"},
    {0xFC20, U"\u0635\u062D"},
    {0xFC21, U"\u0635\u0645"},
    {0xFC22, U"\u0636\u062C"},
    {0xFC23, U"\u0636\u062D"},
    {0xFC24, U"\u0636\u062E"},
    {0xFC25, U"\u0636\u0645"},
    {0xFC26, U"\u0637\u062D"},
    {0xFC27, U"\u0637\u0645"},
    {0xFC28, U"\u0638\u0645"},
    {0xFC29, U"\u0639\u062C"},
    {0xFC2A, U"\u0639\u0645"},
    {0xFC2B, U"\u063A\u062C"},
    {0xFC2C, U"\u063A\u0645"},
    {0xFC2D, U"\u0641\u062C"},
    {0xFC2E, U"\u0641\u062D"},
    {0xFC2F, U"\u0641\u062E"},
    {0xFC30, U"\u0641\u0645"},
    {0xFC31, U"\u0641\u0649"},
    {0xFC32, U"\u0641\u064A"},
    {0xFC33, U"\u0642\u062D"},
    {0xFC34, U"\u0642\u0645"},
    {0xFC35, U"\u0642\u0649"},
    {0xFC36, U"\u0642\u064A"},
    {0xFC37, U"\u0643\u0627"},
    {0xFC38, U"\u0643\u062C"},
    {0xFC39, U"\u0643\u062D"},
    {0xFC3A, U"\u0643\u062E"},
    {0xFC3B, U"\u0643\u0644"},
    {0xFC3C, U"\u0643\u0645"},
    {0xFC3D, U"\u0643\u0649"},
    {0xFC3E, U"\u0643\u064A"},
    {0xFC3F, U"\u0644\u062C"},
    {0xFC40, U"\u0644\u062D"},
    {0xFC41, U"\u0644\u062E"},
    {0xFC42, U"\u0644\u0645"},
    {0xFC43, U"\u0644\u0649"},
    {0xFC44, U"\u0644\u064A"},
    {0xFC45, U"\u0645\u062C"},
    {0xFC46, U"\u0645\u062D"},
    {0xFC47, U"\u0645\u062E"},
    {0xFC48, U"\u0645\u0645"},
    {0xFC49, U"\u0645\u0649"},
    {0xFC4A, U"\u0645\u064A"},
    {0xFC4B, U"\u0646\u062C"},
    {0xFC4C, U"\u0646\u062D"},
    {0xFC4D, U"\u0646\u062E"},
    {0xFC4E, U"\u0646\u0645"},
    {0xFC4F, U"\u0646\u0649"},
    {0xFC50, U"\u0646\u064A"},
    {0xFC51, U"\u0647\u062C"},
    {0xFC52, U"\u0647\u0645"},
    {0xFC53, U"\u0647\u0649"},
    {0xFC54, U"\u0647\u064A"},
    {0xFC55, U"\u064A\u062C"},
    {0xFC56, U"\u064A\u062D"},
    {0xFC57, U"\u064A\u062E"},
    {0xFC58, U"\u064A\u0645"},
    {0xFC59, U"\u064A\u0649"},
    {0xFC5A, U"\u064A\u064A"},
    {0xFC5E, U" \u064C\u0651"},
    {0xFC5F, U" \u064D\u0651"},
    {0xFC60, U" \u064E\u0651"},
    {0xFC61, U" \u064F\u0651"},
    {0xFC62, U" \u0650\u0651"},
    {0xFC64, U"\u0626\u0631"},
    {0xFC65, U"\u0626\u0632"},
    {0xFC66, U"\u0626\u0645"},
    {0xFC67, U"\u0626\u0646"},
    {0xFC68, U"\u0626\u0649"},
    {0xFC69, U"\u0626\u064A"},
    {0xFC6A, U"\u0628\u0631"},
    {0xFC6B, U"\u0628\u0632"},
    {0xFC6C, U"\u0628\u0645"},
    {0xFC6D, U"\u0628\u0646"},
    {0xFC6E, U"\u0628\u0649"},
    {0xFC6F, U"\u0628\u064A"},
    {0xFC70, U"\u062A\u0631"},
    {0xFC71, U"\u062A\u0632"},
    {0xFC72, U"\u062A\u0645"},
    {0xFC73, U"\u062A\u0646"},
    {0xFC74, U"\u062A\u0649"},
    {0xFC75, U"\u062A\u064A"},
    {0xFC76, U"\u062B\u0631"},
    {0xFC77, U"\u062B\u0632"},
    {0xFC78, U"\u062B\u0645"},
    {0xFC79, U"\u062B\u0646"},
    {0xFC7A, U"\u062B\u0649"},
    {0xFC7B, U"\u062B\u064A"},
    {0xFC7C, U"\u0641\u0649"},
    {0xFC7D, U"\u0641\u064A"},
    {0xFC7E, U"\u0642\u0649"},
    {0xFC7F, U"\u0642\u064A"},
    {0xFC80, U"\u0643\u0627"},
    {0xFC81, U"\u0643\u0644"},
    {0xFC82, U"\u0643\u0645"},
    {0xFC83, U"\u0643\u0649"},
    {0xFC84, U"\u0643\u064A"},
    {0xFC85, U"\u0644\u0645"},
    {0xFC86, U"\u0644\u0649"},
    {0xFC87, U"\u0644\u064A"},
    {0xFC88, U"\u0645\u0627"},
    {0xFC89, U"\u0645\u0645"},
    {0xFC8A, U"\u0646\u0631"},
    {0xFC8B, U"\u0646\u0632"},
    {0xFC8C, U"\u0646\u0645"},
    {0xFC8D, U"\u0646\u0646"},
    {0xFC8E, U"\u0646\u0649"},
    {0xFC8F, U"\u0646\u064A"},
    {0xFC91, U"\u064A\u0631"},
    {0xFC92, U"\u064A\u0632"},
    {0xFC93, U"\u064A\u0645"},
    {0xFC94, U"\u064A\u0646"},
    {0xFC95, U"\u064A\u0649"},
    {0xFC96, U"\u064A\u064A"},
    {0xFC97, U"\u0626\u062C"},
    {0xFC98, U"\u0626\u062D"},
    {0xFC99, U"\u0626\u062E"},
    {0xFC9A, U"\u0626\u0645"},
    {0xFC9B, U"\u0626\u0647"},
    {0xFC9C, U"\u0628\u062C"},
    {0xFC9D, U"\u0628\u062D"},
    {0xFC9E, U"\u0628\u062E"},
    {0xFC9F, U"\u0628\u0645"},
    {0xFCA0, U"\u0628\u0647"},
    {0xFCA1, U"\u062A\u062C"},
    {0xFCA2, U"\u062A\u062D"},
    {0xFCA3, U"\u062A\u062E"},
    {0xFCA4, U"\u062A\u0645"},
    {0xFCA5, U"\u062A\u0647"},
    {0xFCA6, U"\u062B\u0645"},
    {0xFCA7, U"\u062C\u062D"},
    {0xFCA8, U"\u062C\u0645"},
    {0xFCA9, U"\u062D\u062C"},
    {0xFCAA, U"\u062D\u0645"},
    {0xFCAB, U"\u062E\u062C"},
    {0xFCAC, U"\u062E\u0645"},
    {0xFCAD, U"\u0633\u062C"},
    {0xFCAE, U"\u0633\u062D"},
    {0xFCAF, U"\u0633\u062E"},
    {0xFCB0, U"\u0633\u0645"},
    {0xFCB1, U"\u0635\u062D"},
    {0xFCB2, U"\u0635\u062E"},
    {0xFCB3, U"\u0635\u0645"},
    {0xFCB4, U"\u0636\u062C"},
    {0xFCB5, U"\u0636\u062D"},
    {0xFCB6, U"\u0636\u062E"},
    {0xFCB7, U"\u0636\u0645"},
    {0xFCB8, U"\u0637\u062D"},
    {0xFCB9, U"\u0638\u0645"},
    {0xFCBA, U"\u0639\u062C"},
    {0xFCBB, U"\u0639\u0645"},
    {0xFCBC, U"\u063A\u062C"},
    {0xFCBD, U"\u063A\u0645"},
    {0xFCBE, U"\u0641\u062C"},
    {0xFCBF, U"\u0641\u062D"},
    {0xFCC0, U"\u0641\u062E"},
    {0xFCC1, U"\u0641\u0645"},
    {0xFCC2, U"\u0642\u062D"},
    {0xFCC3, U"\u0642\u0645"},
    {0xFCC4, U"\u0643\u062C"},
    {0xFCC5, U"\u0643\u062D"},
    {0xFCC6, U"\u0643\u062E"},
    {0xFCC7, U"\u0643\u0644"},
    {0xFCC8, U"\u0643\u0645"},
    {0xFCC9, U"\u0644\u062C"},
    {0xFCCA, U"\u0644\u062D"},
    {0xFCCB, U"\u0644\u062E"},
    {0xFCCC, U"\u0644\u0645"},
    {0xFCCD, U"\u0644\u0647"},
    {0xFCCE, U"\u0645\u062C"},
    {0xFCCF, U"\u0645\u062D"},
    {0xFCD0, U"\u0645\u062E"},
    {0xFCD1, U"\u0645\u0645"},
    {0xFCD2, U"\u0646\u062C"},
    {0xFCD3, U"\u0646\u062D"},
    {0xFCD4, U"\u0646\u062E"},
    {0xFCD5, U"\u0646\u0645"},
    {0xFCD6, U"\u0646\u0647"},
    {0xFCD7, U"\u0647\u062C"},
    {0xFCD8, U"\u0647\u0645"},
    {0xFCDA, U"\u064A\u062C"},
    {0xFCDB, U"\u064A\u062D"},
    {0xFCDC, U"\u064A\u062E"},
    {0xFCDD, U"\u064A\u0645"},
    {0xFCDE, U"\u064A\u0647"},
    {0xFCDF, U"\u0626\u0645"},
    {0xFCE0, U"\u0626\u0647"},
    {0xFCE1, U"\u0628\u0645"},
    {0xFCE2, U"\u0628\u0647"},
    {0xFCE3, U"\u062A\u0645"},
    {0xFCE4, U"\u062A\u0647"},
    {0xFCE5, U"\u062B\u0645"},
    {0xFCE6, U"\u062B\u0647"},
    {0xFCE7, U"\u0633\u0645"},
    {0xFCE8, U"\u0633\u0647"},
    {0xFCE9, U"\u0634\u0645"},
    {0xFCEA, U"\u0634\u0647"},
    {0xFCEB, U"\u0643\u0644"},
    {0xFCEC, U"\u0643\u0645"},
    {0xFCED, U"\u0644\u0645"},
    {0xFCEE, U"\u0646\u0645"},
    {0xFCEF, U"\u0646\u0647"},
    {0xFCF0, U"\u064A\u0645"},
    {0xFCF1, U"\u064A\u0647"},
    {0xFCF2, U"\u0640\u064E\u0651"},
    {0xFCF3, U"\u0640\u064F\u0651"},
    {0xFCF4, U"\u0640\u0650\u0651"},
    {0xFCF5, U"\u0637\u0649"},
    {0xFCF6, U"\u0637\u064A"},
    {0xFCF7, U"\u0639\u0649"},
    {0xFCF8, U"\u0639\u064A"},
    {0xFCF9, U"\u063A\u0649"},
    {0xFCFA, U"\u063A\u064A"},
    {0xFCFB, U"\u0633\u0649"},
    {0xFCFC, U"\u0633\u064A"},
    {0xFCFD, U"\u0634\u0649"},
    {0xFCFE, U"\u0634\u064A"},
    {0xFCFF, U"\u062D\u0649"},
    {0xFD00, U"\u062D\u064A"},
    {0xFD01, U"\u062C\u0649"},
    {0xFD02, U"\u062C\u064A"},
    {0xFD03, U"\u062E\u0649"},
    {0xFD04, U"\u062E\u064A"},
    {0xFD05, U"\u0635\u0649"},
    {0xFD06, U"\u0635\u064A"},
    {0xFD07, U"\u0636\u0649"},
    {0xFD08, U"\u0636\u064A"},
    {0xFD09, U"\u0634\u062C"},
    {0xFD0A, U"\u0634\u062D"},
    {0xFD0B, U"\u0634\u062E"},
    {0xFD0C, U"\u0634\u0645"},
    {0xFD0D, U"\u0634\u0631"},
    {0xFD0E, U"\u0633\u0631"},
    {0xFD0F, U"\u0635\u0631"},
    {0xFD10, U"\u0636\u0631"},
    {0xFD11, U"\u0637\u0649"},
    {0xFD12, U"\u0637\u064A"},
    {0xFD13, U"\u0639\u0649"},
    {0xFD14, U"\u0639\u064A"},
    {0xFD15, U"\u063A\u0649"},
    {0xFD16, U"\u063A\u064A"},
    {0xFD17, U"\u0633\u0649"},
    {0xFD18, U"\u0633\u064A"},
    {0xFD19, U"\u0634\u0649"},
    {0xFD1A, U"\u0634\u064A"},
    {0xFD1B, U"\u062D\u0649"},
    {0xFD1C, U"\u062D\u064A"},
    {0xFD1D, U"\u062C\u0649"},
    {0xFD1E, U"\u062C\u064A"},
    {0xFD1F, U"\u062E\u0649"},
    {0xFD20, U"\u062E\u064A"},
    {0xFD21, U"\u0635\u0649"},
    {0xFD22, U"\u0635\u064A"},
    {0xFD23, U"\u0636\u0649"},
    {0xFD24, U"\u0636\u064A"},
    {0xFD25, U"\u0634\u062C"},
    {0xFD26, U"\u0634\u062D"},
    {0xFD27, U"\u0634\u062E"},
    {0xFD28, U"\u0634\u0645"},
    {0xFD29, U"\u0634\u0631"},
    {0xFD2A, U"\u0633\u0631"},
    {0xFD2B, U"\u0635\u0631"},
    {0xFD2C, U"\u0636\u0631"},
    {0xFD2D, U"\u0634\u062C"},
    {0xFD2E, U"\u0634\u062D"},
    {0xFD2F, U"\u0634\u062E"},
    {0xFD30, U"\u0634\u0645"},
    {0xFD31, U"\u0633\u0647"},
    {0xFD32, U"\u0634\u0647"},
    {0xFD33, U"\u0637\u0645"},
    {0xFD34, U"\u0633\u062C"},
    {0xFD35, U"\u0633\u062D"},
    {0xFD36, U"\u0633\u062E"},
    {0xFD37, U"\u0634\u062C"},
    {0xFD38, U"\u0634\u062D"},
    {0xFD39, U"\u0634\u062E"},
    {0xFD3A, U"\u0637\u0645"},
    {0xFD3B, U"\u0638\u0645"},
    {0xFD3C, U"\u0627\u064B"},
    {0xFD3D, U"\u0627\u064B"},
    {0xFD50, U"\u062A\u062C\u0645"},
    {0xFD51, U"\u062A\u062D\u062C"},
    {0xFD52, U"\u062A\u062D\u062C"},
    {0xFD53, U"\u062A\u062D\u0645"},
    {0xFD54, U"\u062A\u062E\u0645"},
    {0xFD55, U"\u062A\u0645\u062C"},
    {0xFD56, U"\u062A\u0645\u062D"},
    {0xFD57, U"\u062A\u0645\u062E"},
    {0xFD58, U"\u062C\u0645\u062D"},
    {0xFD59, U"\u062C\u0645\u062D"},
    {0xFD5A, U"\u062D\u0645\u064A"},
    {0xFD5B, U"\u062D\u0645\u0649"},
    {0xFD5C, U"\u0633\u062D\u062C"},
    {0xFD5D, U"\u0633\u062C\u062D"},
    {0xFD5E, U"\u0633\u062C\u0649"},
    {0xFD5F, U"\u0633\u0645\u062D"},
    {0xFD60, U"\u0633\u0645\u062D"},
    {0xFD61, U"\u0633\u0645\u062C"},
    {0xFD62, U"\u0633\u0645\u0645"},
    {0xFD63, U"\u0633\u0645\u0645"},
    {0xFD64, U"\u0635\u062D\u062D"},
    {0xFD65, U"\u0635\u062D\u062D"},
    {0xFD66, U"\u0635\u0645\u0645"},
    {0xFD67, U"\u0634\u062D\u0645"},
    {0xFD68, U"\u0634\u062D\u0645"},
    {0xFD69, U"\u0634\u062C\u064A"},
    {0xFD6A, U"\u0634\u0645\u062E"},
    {0xFD6B, U"\u0634\u0645\u062E"},
    {0xFD6C, U"\u0634\u0645\u0645"},
    {0xFD6D, U"\u0634\u0645\u0645"},
    {0xFD6E, U"\u0636\u062D\u0649"},
    {0xFD6F, U"\u0636\u062E\u0645"},
    {0xFD70, U"\u0636\u062E\u0645"},
    {0xFD71, U"\u0637\u0645\u062D"},
    {0xFD72, U"\u0637\u0645\u062D"},
    {0xFD73, U"\u0637\u0645\u0645"},
    {0xFD74, U"\u0637\u0645\u064A"},
    {0xFD75, U"\u0639\u062C\u0645"},
    {0xFD76, U"\u0639\u0645\u0645"},
    {0xFD77, U"\u0639\u0645\u0645"},
    {0xFD78, U"\u0639\u0645\u0649"},
    {0xFD79, U"\u063A\u0645\u0645"},
    {0xFD7A, U"\u063A\u0645\u064A"},
    {0xFD7B, U"\u063A\u0645\u0649"},
    {0xFD7C, U"\u0641\u062E\u0645"},
    {0xFD7D, U"\u0641\u062E\u0645"},
    {0xFD7E, U"\u0642\u0645\u062D"},
    {0xFD7F, U"\u0642\u0645\u0645"},
    {0xFD80, U"\u0644\u062D\u0645"},
    {0xFD81, U"\u0644\u062D\u064A"},
    {0xFD82, U"\u0644\u062D\u0649"},
    {0xFD83, U"\u0644\u062C\u062C"},
    {0xFD84, U"\u0644\u062C\u062C"},
    {0xFD85, U"\u0644\u062E\u0645"},
    {0xFD86, U"\u0644\u062E\u0645"},
    {0xFD87, U"\u0644\u0645\u062D"},
    {0xFD88, U"\u0644\u0645\u062D"},
    {0xFD89, U"\u0645\u062D\u062C"},
    {0xFD8A, U"\u0645\u062D\u0645"},
    {0xFD8B, U"\u0645\u062D\u064A"},
    {0xFD8C, U"\u0645\u062C\u062D"},
    {0xFD8D, U"\u0645\u062C\u0645"},
    {0xFD8E, U"\u0645\u062E\u062C"},
    {0xFD8F, U"\u0645\u062E\u0645"},
    {0xFD92, U"\u0645\u062C\u062E"},
    {0xFD93, U"\u0647\u0645\u062C"},
    {0xFD94, U"\u0647\u0645\u0645"},
    {0xFD95, U"\u0646\u062D\u0645"},
    {0xFD96, U"\u0646\u062D\u0649"},
    {0xFD97, U"\u0646\u062C\u0645"},
    {0xFD98, U"\u0646\u062C\u0645"},
    {0xFD99, U"\u0646\u062C\u0649"},
    {0xFD9A, U"\u0646\u0645\u064A"},
    {0xFD9B, U"\u0646\u0645\u0649"},
    {0xFD9C, U"\u064A\u0645\u0645"},
    {0xFD9D, U"\u064A\u0645\u0645"},
    {0xFD9E, U"\u0628\u062E\u064A"},
    {0xFD9F, U"\u062A\u062C\u064A"},
    {0xFDA0, U"\u062A\u062C\u0649"},
    {0xFDA1, U"\u062A\u062E\u064A"},
    {0xFDA2, U"\u062A\u062E\u0649"},
    {0xFDA3, U"\u062A\u0645\u064A"},
    {0xFDA4, U"\u062A\u0645\u0649"},
    {0xFDA5, U"\u062C\u0645\u064A"},
    {0xFDA6, U"\u062C\u062D\u0649"},
    {0xFDA7, U"\u062C\u0645\u0649"},
    {0xFDA8, U"\u0633\u062E\u0649"},
    {0xFDA9, U"\u0635\u062D\u064A"},
    {0xFDAA, U"\u0634\u062D\u064A"},
    {0xFDAB, U"\u0636\u062D\u064A"},
    {0xFDAC, U"\u0644\u062C\u064A"},
    {0xFDAD, U"\u0644\u0645\u064A"},
    {0xFDAE, U"\u064A\u062D\u064A"},
    {0xFDAF, U"\u064A\u062C\u064A"},
    {0xFDB0, U"\u064A\u0645\u064A"},
    {0xFDB1, U"\u0645\u0645\u064A"},
    {0xFDB2, U"\u0642\u0645\u064A"},
    {0xFDB3, U"\u0646\u062D\u064A"},
    {0xFDB4, U"\u0642\u0645\u062D"},
    {0xFDB5, U"\u0644\u062D\u0645"},
    {0xFDB6, U"\u0639\u0645\u064A"},
    {0xFDB7, U"\u0643\u0645\u064A"},
    {0xFDB8, U"\u0646\u062C\u062D"},
    {0xFDB9, U"\u0645\u062E\u064A"},
    {0xFDBA, U"\u0644\u062C\u0645"},
    {0xFDBB, U"\u0643\u0645\u0645"},
    {0xFDBC, U"\u0644\u062C\u0645"},
    {0xFDBD, U"\u0646\u062C\u062D"},
    {0xFDBE, U"\u062C\u062D\u064A"},
    {0xFDBF, U"\u062D\u062C\u064A"},
    {0xFDC0, U"\u0645\u062C\u064A"},
    {0xFDC1, U"\u0641\u0645\u064A"},
    {0xFDC2, U"\u0628\u062D\u064A"},
    {0xFDC3, U"\u0643\u0645\u0645"},
    {0xFDC4, U"\u0639\u062C\u0645"},
    {0xFDC5, U"\u0635\u0645\u0645"},
    {0xFDC6, U"\u0633\u062E\u064A"},
    {0xFDC7, U"\u0646\u062C\u064A"},
    {0xFDF0, U"\u0635\u0644\u06D2"},
    {0xFDF1, U"\u0642\u0644\u06D2"},
    {0xFDF2, U"\u0627\u0644\u0644\u0647"},
    {0xFDF3, U"\u0627\u0643\u0628\u0631"},
    {0xFDF4, U"\u0645\u062D\u0645\u062F"},
    {0xFDF5, U"\u0635\u0644\u0639\u0645"},
    {0xFDF6, U"\u0631\u0633\u0648\u0644"},
    {0xFDF7, U"\u0639\u0644\u064A\u0647"},
    {0xFDF8, U"\u0648\u0633\u0644\u0645"},
    {0xFDF9, U"\u0635\u0644\u0649"},
    {0xFDFA,
     U"\u0635\u0644\u0649 \u0627\u0644\u0644\u0647 \u0639\u0644\u064A\u0647 "
     U"\u0648\u0633\u0644\u0645"},
    {0xFDFB, U"\u062C\u0644 \u062C\u0644\u0627\u0644\u0647"},
    {0xFDFC, U"\u0631\u064A\u0627\u0644"},
    {0xFE70, U"\u064B"},
    {0xFE71, U"\u064B"},
    {0xFE72, U"\u064C"},
    {0xFE74, U"\u064D"},
    {0xFE76, U"\u064E"},
    {0xFE77, U"\u064E"},
    {0xFE78, U"\u064F"},
    {0xFE79, U"\u064F"},
    {0xFE7A, U"\u0650"},
    {0xFE7B, U"\u0650"},
    {0xFE7C, U"\u0651"},
    {0xFE7D, U"\u0651"},
    {0xFE7E, U"\u0652"},
    {0xFE7F, U"\u0652"},
    {0xFE80, U"\u0621"},
    {0xFE81, U"\u0622"},
    {0xFE82, U"\u0622"},
    {0xFE83, U"\u0623"},
    {0xFE84, U"\u0623"},
    {0xFE85, U"\u0624"},
    {0xFE86, U"\u0624"},
    {0xFE87, U"\u0625"},
    {0xFE88, U"\u0625"},
    {0xFE89, U"\u0626"},
    {0xFE8A, U"\u0626"},
    {0xFE8B, U"\u0626"},
    {0xFE8C, U"\u0626"},
    {0xFE8D, U"\u0627"},
    {0xFE8E, U"\u0627"},
    {0xFE8F, U"\u0628"},
    {0xFE90, U"\u0628"},
    {0xFE91, U"\u0628"},
    {0xFE92, U"\u0628"},
    {0xFE93, U"\u0629"},
    {0xFE94, U"\u0629"},
    {0xFE95, U"\u062A"},
    {0xFE96, U"\u062A"},
    {0xFE97, U"\u062A"},
    {0xFE98, U"\u062A"},
    {0xFE99, U"\u062B"},
    {0xFE9A, U"\u062B"},
    {0xFE9B, U"\u062B"},
    {0xFE9C, U"\u062B"},
    {0xFE9D, U"\u062C"},
    {0xFE9E, U"\u062C"},
    {0xFE9F, U"\u062C"},
    {0xFEA0, U"\u062C"},
    {0xFEA1, U"\u062D"},
    {0xFEA2, U"\u062D"},
    {0xFEA3, U"\u062D"},
    {0xFEA4, U"\u062D"},
    {0xFEA5, U"\u062E"},
    {0xFEA6, U"\u062E"},
    {0xFEA7, U"\u062E"},
    {0xFEA8, U"\u062E"},
    {0xFEA9, U"\u062F"},
    {0xFEAA, U"\u062F"},
    {0xFEAB, U"\u0630"},
    {0xFEAC, U"\u0630"},
    {0xFEAD, U"\u0631"},
    {0xFEAE, U"\u0631"},
    {0xFEAF, U"\u0632"},
    {0xFEB0, U"\u0632"},
    {0xFEB1, U"\u0633"},
    {0xFEB2, U"\u0633"},
    {0xFEB3, U"\u0633"},
    {0xFEB4, U"\u0633"},
    {0xFEB5, U"\u0634"},
    {0xFEB6, U"\u0634"},
    {0xFEB7, U"\u0634"},
    {0xFEB8, U"\u0634"},
    {0xFEB9, U"\u0635"},
    {0xFEBA, U"\u0635"},
    {0xFEBB, U"\u0635"},
    {0xFEBC, U"\u0635"},
    {0xFEBD, U"\u0636"},
    {0xFEBE, U"\u0636"},
    {0xFEBF, U"\u0636"},
    {0xFEC0, U"\u0636"},
    {0xFEC1, U"\u0637"},
    {0xFEC2, U"\u0637"},
    {0xFEC3, U"\u0637"},
    {0xFEC4, U"\u0637"},
    {0xFEC5, U"\u0638"},
    {0xFEC6, U"\u0638"},
    {0xFEC7, U"\u0638"},
    {0xFEC8, U"\u0638"},
    {0xFEC9, U"\u0639"},
    {0xFECA, U"\u0639"},
    {0xFECB, U"\u0639"},
    {0xFECC, U"\u0639"},
    {0xFECD, U"\u063A"},
    {0xFECE, U"\u063A"},
    {0xFECF, U"\u063A"},
    {0xFED0, U"\u063A"},
    {0xFED1, U"\u0641"},
    {0xFED2, U"\u0641"},
    {0xFED3, U"\u0641"},
    {0xFED4, U"\u0641"},
    {0xFED5, U"\u0642"},
    {0xFED6, U"\u0642"},
    {0xFED7, U"\u0642"},
    {0xFED8, U"\u0642"},
    {0xFED9, U"\u0643"},
    {0xFEDA, U"\u0643"},
    {0xFEDB, U"\u0643"},
    {0xFEDC, U"\u0643"},
    {0xFEDD, U"\u0644"},
    {0xFEDE, U"\u0644"},
    {0xFEDF, U"\u0644"},
    {0xFEE0, U"\u0644"},
    {0xFEE1, U"\u0645"},
    {0xFEE2, U"\u0645"},
    {0xFEE3, U"\u0645"},
    {0xFEE4, U"\u0645"},
    {0xFEE5, U"\u0646"},
    {0xFEE6, U"\u0646"},
    {0xFEE7, U"\u0646"},
    {0xFEE8, U"\u0646"},
    {0xFEE9, U"\u0647"},
    {0xFEEA, U"\u0647"},
    {0xFEEB, U"\u0647"},
    {0xFEEC, U"\u0647"},
    {0xFEED, U"\u0648"},
    {0xFEEE, U"\u0648"},
    {0xFEEF, U"\u0649"},
    {0xFEF0, U"\u0649"},
    {0xFEF1, U"\u064A"},
    {0xFEF2, U"\u064A"},
    {0xFEF3, U"\u064A"},
    {0xFEF4, U"\u064A"},
    {0xFEF5, U"\u0644\u0622"},
    {0xFEF6, U"\u0644\u0622"},
    {0xFEF7, U"\u0644\u0623"},
    {0xFEF8, U"\u0644\u0623"},
    {0xFEF9, U"\u0644\u0625"},
    {0xFEFA, U"\u0644\u0625"},
    {0xFEFB, U"\u0644\u0627"},
    {0xFEFC, U"\u0644\u0627"},
    {0xFF01, U"!"},
    {0xFF02, U"\u0022"},
    {0xFF03, U"#"},
    {0xFF04, U"$"},
    {0xFF05, U"%"},
    {0xFF06, U"&"},
    {0xFF07, U"'"},
    {0xFF08, U"("},
    {0xFF09, U")"},
    {0xFF0A, U"*"},
    {0xFF0B, U"+"},
    {0xFF0C, U","},
    {0xFF0D, U"-"},
    {0xFF0E, U"."},
    {0xFF0F, U"/"},
    {0xFF10, U"0"},
    {0xFF11, U"1"},
    {0xFF12, U"2"},
    {0xFF13, U"3"},
    {0xFF14, U"4"},
    {0xFF15, U"5"},
    {0xFF16, U"6"},
    {0xFF17, U"7"},
    {0xFF18, U"8"},
    {0xFF19, U"9"},
    {0xFF1A, U":"},
    {0xFF1B, U";"},
    {0xFF1C, U"<"},
    {0xFF1D, U"="},
    {0xFF1E, U">"},
    {0xFF1F, U"?"},
    {0xFF20, U"@"},
    {0xFF21, U"A"},
    {0xFF22, U"B"},
    {0xFF23, U"C"},
    {0xFF24, U"D"},
    {0xFF25, U"E"},
    {0xFF26, U"F"},
    {0xFF27, U"G"},
    {0xFF28, U"H"},
    {0xFF29, U"I"},
    {0xFF2A, U"J"},
    {0xFF2B, U"K"},
    {0xFF2C, U"L"},
    {0xFF2D, U"M"},
    {0xFF2E, U"N"},
    {0xFF2F, U"O"},
    {0xFF30, U"P"},
    {0xFF31, U"Q"},
    {0xFF32, U"R"},
    {0xFF33, U"S"},
    {0xFF34, U"T"},
    {0xFF35, U"U"},
    {0xFF36, U"V"},
    {0xFF37, U"W"},
    {0xFF38, U"X"},
    {0xFF39, U"Y"},
    {0xFF3A, U"Z"},
    {0xFF3B, U"["},
    {0xFF3C, U"\u005C"},
    {0xFF3D, U"]"},
    {0xFF3E, U"^"},
    {0xFF3F, U"_"},
    {0xFF40, U"`"},
    {0xFF41, U"a"},
    {0xFF42, U"b"},
    {0xFF43, U"c"},
    {0xFF44, U"d"},
    {0xFF45, U"e"},
    {0xFF46, U"f"},
    {0xFF47, U"g"},
    {0xFF48, U"h"},
    {0xFF49, U"i"},
    {0xFF4A, U"j"},
    {0xFF4B, U"k"},
    {0xFF4C, U"l"},
    {0xFF4D, U"m"},
    {0xFF4E, U"n"},
    {0xFF4F, U"o"},
    {0xFF50, U"p"},
    {0xFF51, U"q"},
    {0xFF52, U"r"},
    {0xFF53, U"s"},
    {0xFF54, U"t"},
    {0xFF55, U"u"},
    {0xFF56, U"v"},
    {0xFF57, U"w"},
    {0xFF58, U"x"},
    {0xFF59, U"y"},
    {0xFF5A, U"z"},
    {0xFF5B, U"{"},
    {0xFF5C, U"|"},
    {0xFF5D, U"}"},
    {0xFF5E, U"~"},
};

bool IsWindows1256(const std::string& name) {
    std::string n;
    for (char c : name) n += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return n == "WINDOWS-1256" || n == "CP1256" || n == "MS-ARAB" || n == "WINDOWS1256";
}

const char32_t* LookupBestFit(char32_t cp) {
    auto end = std::end(kBestFit1256);
    auto it = std::lower_bound(std::begin(kBestFit1256), end, cp,
                               [](const BestFit& e, char32_t c) { return e.from < c; });
    return it != end && it->from == cp ? it->to : nullptr;
}

// One UTF-8 sequence at s[i]: the code point and its length, or false for a sequence that
// is not valid UTF-8 (overlong forms, surrogates and values above U+10FFFF included).
bool DecodeUtf8(std::string_view s, std::size_t i, char32_t& cp, std::size_t& len) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) {
        cp = c;
        len = 1;
        return true;
    }
    char32_t min;
    if ((c & 0xE0) == 0xC0) {
        len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return false;
    }
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    return cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class Iconv {
  public:
    Iconv(const std::string& to, const std::string& from)
        : cd_(iconv_open(to.c_str(), from.c_str())) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw std::invalid_argument("no conversion between " + from + " and " + to + ": " +
                                        std::strerror(errno));
    }
    ~Iconv() { iconv_close(cd_); }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    // Converts in[pos..]; returns the number of bytes consumed and appends the output. Stops
    // at the first sequence that cannot be converted; err is then EILSEQ or EINVAL, else 0.
    std::size_t Run(std::string_view in, std::size_t pos, std::string& out, int& err) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data() + pos);
        std::size_t left = in.size() - pos;
        err = 0;
        char buf[4096];
        while (left > 0) {
            char* dst = buf;
            std::size_t room = sizeof buf;
            std::size_t r = iconv(cd_, &src, &left, &dst, &room);
            out.append(buf, dst - buf);
            if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
                err = errno;
                break;
            }
        }
        if (err == 0) {
            char* dst = buf;
            std::size_t room = sizeof buf;
            iconv(cd_, nullptr, nullptr, &dst, &room);  // flush shift state
            out.append(buf, dst - buf);
        }
        return in.size() - pos - left;
    }

  private:
    iconv_t cd_;
};

// One code page. A single-byte page is turned into two tables once (iconv tells what each
// byte means); conversions are then lookups, safe from any thread. Other encodings go
// through iconv on every call.
class Page {
  public:
    explicit Page(const std::string& name) : name_(name), bestFit_(IsWindows1256(name)) {
        Iconv toUtf32("UTF-32LE", name);  // throws for an unknown name
        Iconv fromUtf32(name, "UTF-32LE");
        singleByte_ = true;
        for (int b = 0; b < 256; ++b) {
            std::string in(1, static_cast<char>(b)), out;
            int err = 0;
            toUtf32.Run(in, 0, out, err);
            if (err == EINVAL || out.size() > 4) {
                singleByte_ = false;  // a lead byte of a longer sequence
                break;
            }
            decode_[b] = kUndefined;
            if (err == 0 && out.size() == 4) {
                char32_t cp = static_cast<unsigned char>(out[0]) |
                              static_cast<unsigned char>(out[1]) << 8 |
                              static_cast<unsigned char>(out[2]) << 16 |
                              static_cast<char32_t>(static_cast<unsigned char>(out[3])) << 24;
                decode_[b] = cp;
                encode_.emplace(cp, static_cast<unsigned char>(b));
            }
        }
        std::string q(4, '\0');
        q[0] = '?';
        int err = 0;
        std::string question;
        fromUtf32.Run(q, 0, question, err);
        if (err == 0 && !question.empty()) question_ = question;
    }

    std::string FromUtf8(std::string_view utf8) const {
        std::string out;
        out.reserve(utf8.size());
        if (singleByte_) {
            for (std::size_t i = 0; i < utf8.size();) {
                char32_t cp;
                std::size_t len;
                if (!DecodeUtf8(utf8, i, cp, len)) {
                    out += question_;
                    ++i;
                    continue;
                }
                i += len;
                if (auto it = encode_.find(cp); it != encode_.end()) {
                    out += static_cast<char>(it->second);
                } else {
                    AppendBestFit(out, cp);
                }
            }
            return out;
        }
        Iconv cv(name_, "UTF-8");
        for (std::size_t i = 0; i < utf8.size();) {
            int err = 0;
            i += cv.Run(utf8, i, out, err);
            if (err == 0) break;
            char32_t cp;
            std::size_t len;
            if (err == EILSEQ && DecodeUtf8(utf8, i, cp, len)) {
                i += len;
                AppendBestFit(out, cp);
            } else {
                out += question_;
                ++i;
            }
        }
        return out;
    }

    std::string ToUtf8(std::string_view bytes) const {
        std::string out;
        out.reserve(bytes.size() * 2);
        if (singleByte_) {
            for (unsigned char b : bytes)
                AppendUtf8(out, decode_[b] == kUndefined ? 0xFFFD : decode_[b]);
            return out;
        }
        Iconv cv("UTF-8", name_);
        for (std::size_t i = 0; i < bytes.size();) {
            int err = 0;
            i += cv.Run(bytes, i, out, err);
            if (err == 0) break;
            AppendUtf8(out, 0xFFFD);
            if (err == EINVAL) break;  // cut short at the end
            ++i;
        }
        return out;
    }

  private:
    void AppendBestFit(std::string& out, char32_t cp) const {
        if (bestFit_) {
            if (const char32_t* to = LookupBestFit(cp)) {
                std::string fit;
                for (; *to; ++to) {
                    auto it = encode_.find(*to);
                    if (it == encode_.end()) break;
                    fit += static_cast<char>(it->second);
                }
                if (*to == 0) {
                    out += fit;
                    return;
                }
            }
        }
        out += question_;
    }

    std::string name_;
    bool bestFit_;
    bool singleByte_ = false;
    std::array<char32_t, 256> decode_{};
    std::unordered_map<char32_t, unsigned char> encode_;
    std::string question_ = "?";
};

std::mutex pagesMutex;
std::map<std::string, std::shared_ptr<const Page>> pages;  // by name as given
std::shared_ptr<const Page> current;
std::string currentName;

std::shared_ptr<const Page> PageFor(const std::string& name) {
    // Caller holds pagesMutex.
    auto it = pages.find(name);
    if (it != pages.end()) return it->second;
    auto page = std::make_shared<const Page>(name);
    // Names come from provider answers too, and iconv takes endless spellings of one
    // encoding ("windows-1256//anything"): past the cap a page is built for the one call.
    if (pages.size() < kMaxCachedPages) pages.emplace(name, page);
    return page;
}

std::shared_ptr<const Page> CurrentPage() {
    std::lock_guard lock(pagesMutex);
    if (!current) {
        const char* env = std::getenv("KAVAR_ANSI_CODEPAGE");
        std::string name = env && *env ? env : kDefaultCodePage;
        try {
            current = PageFor(name);
        } catch (const std::invalid_argument& e) {
            // A typo in the environment must not silence the log: say so once, go on
            // with the default page.
            std::fprintf(stderr, "KAVAR_ANSI_CODEPAGE: %s; using %s\n", e.what(), kDefaultCodePage);
            name = kDefaultCodePage;
            current = PageFor(name);
        }
        currentName = name;
    }
    return current;
}

std::shared_ptr<const Page> NamedPage(const std::string& encoding) {
    std::lock_guard lock(pagesMutex);
    return PageFor(encoding);
}

}  // namespace

std::string Current() {
    CurrentPage();
    std::lock_guard lock(pagesMutex);
    return currentName;
}

void SetCurrent(const std::string& name) {
    std::lock_guard lock(pagesMutex);
    current = PageFor(name);
    currentName = name;
}

std::size_t CachedPageCount() {
    std::lock_guard lock(pagesMutex);
    return pages.size();
}

std::string FromUtf8(std::string_view utf8) { return CurrentPage()->FromUtf8(utf8); }
std::string ToUtf8(std::string_view bytes) { return CurrentPage()->ToUtf8(bytes); }
std::string FromUtf8(std::string_view utf8, const std::string& encoding) {
    return NamedPage(encoding)->FromUtf8(utf8);
}
std::string ToUtf8(std::string_view bytes, const std::string& encoding) {
    return NamedPage(encoding)->ToUtf8(bytes);
}

}  // namespace kavar::codepage
