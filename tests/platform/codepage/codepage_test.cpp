#include "platform/codepage/codepage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "platform/codepage/codepage_internal.h"

using namespace kavar::codepage;

namespace {

std::string Bytes(std::initializer_list<unsigned char> b) {
    return std::string(b.begin(), b.end());
}

class CodePage1256 : public ::testing::Test {
  protected:
    void SetUp() override { SetCurrent("windows-1256"); }
};

}  // namespace

TEST_F(CodePage1256, EveryByteSurvivesTheRoundTrip) {
    // The password scrambling relies on it: each byte is one character and comes back.
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    std::string text = ToUtf8(all);
    EXPECT_EQ(text.find("\xEF\xBF\xBD"), std::string::npos) << "a byte without a character";
    EXPECT_EQ(FromUtf8(text), all);
}

TEST_F(CodePage1256, PersianTextOfTheSystem) {
    // Keheh, peh, ZWNJ, tatweel and the direction marks are in the page itself.
    EXPECT_EQ(FromUtf8("\u06A9\u067E\u200C\u0640\u200E\u200F\u0686\u0698\u06AF"),
              Bytes({0x98, 0x81, 0x9D, 0xDC, 0xFD, 0xFE, 0x8D, 0x8E, 0x90}));
    EXPECT_EQ(ToUtf8(Bytes({0xED, 0x98, 0xC7})), "\u064A\u06A9\u0627");
}

TEST_F(CodePage1256, CharactersOutsideThePageTakeTheirBestFit) {
    struct Case {
        const char* utf8;
        std::string bytes;
    } cases[] = {
        {"\u06CC", Bytes({0xED})},                          // Farsi yeh -> Arabic yeh
        {"\u06F1\u06F2\u06F0", "120"},                      // Extended Arabic-Indic digits
        {"\u0661\u0669", "19"},                             // Arabic-Indic digits
        {"\uFEFB", Bytes({0xE1, 0xC7})},                    // lam-alef ligature -> two letters
        {"\uFB8F\uFB93\uFEF4", Bytes({0x98, 0x90, 0xED})},  // final keheh, gaf, medial yeh
        {"\uFBFD", Bytes({0xED})},                          // final Farsi yeh form
        {"\uFDFC", Bytes({0xD1, 0xED, 0xC7, 0xE1})},        // rial sign -> its letters
        {"\uFF21\uFF41", "Aa"},                             // fullwidth Latin
        {"\u00C9", "E"},            // accented capital missing from the page
        {"\u0671", Bytes({0xC7})},  // alef wasla -> alef
        {"\u6F22", "?"},            // no best fit
        {"\U0001F600", "?"},
        {"a\xFF"
         "b",
         "a?b"},                  // invalid UTF-8
        {"a\xE2\x82", "a??"},     // cut short
        {"\xED\xA0\x80", "???"},  // an encoded surrogate is not UTF-8
    };
    for (const auto& c : cases) EXPECT_EQ(FromUtf8(c.utf8), c.bytes) << c.utf8;
}

TEST_F(CodePage1256, OtherPagesHaveNoBestFit) {
    SetCurrent("ISO-8859-1");
    EXPECT_EQ(Current(), "ISO-8859-1");
    EXPECT_EQ(FromUtf8("\u00E9\u06CC\u06F1"), Bytes({0xE9, '?', '?'}));
    EXPECT_EQ(ToUtf8(Bytes({0xE9})), "\u00E9");
}

TEST(CodePage, NamedAndMultiByteEncodings) {
    EXPECT_EQ(FromUtf8("\u06CC", "CP1256"), Bytes({0xED}));
    EXPECT_EQ(ToUtf8("a\xFF"
                     "b",
                     "UTF-8"),
              "a\uFFFD"
              "b");
    EXPECT_EQ(FromUtf8("\u00E9\u6F22", "UTF-8"), "\u00E9\u6F22");
    EXPECT_EQ(ToUtf8(Bytes({0xE4, 0xB8}), "UTF-8"), "\uFFFD");
    EXPECT_THROW(FromUtf8("x", "no-such-encoding"), std::invalid_argument);
    EXPECT_THROW(SetCurrent("no-such-encoding"), std::invalid_argument);
}

TEST(CodePageDeathTest, TakenFromTheEnvironmentAtFirstUse) {
    // A fresh process (threadsafe style re-runs the program) reads the variable.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("KAVAR_ANSI_CODEPAGE", "ISO-8859-6", 1);
    EXPECT_EXIT(std::exit(Current() == "ISO-8859-6" && FromUtf8("\u0627") == "\xC7" ? 0 : 1),
                ::testing::ExitedWithCode(0), "");
    setenv("KAVAR_ANSI_CODEPAGE", "no-such-encoding", 1);
    EXPECT_EXIT(std::exit(Current() == "windows-1256" ? 0 : 1), ::testing::ExitedWithCode(0),
                "KAVAR_ANSI_CODEPAGE");
    unsetenv("KAVAR_ANSI_CODEPAGE");
}

TEST(CodePage, EncodingNamesFromOutsideDoNotPileUp) {
    // An answer may name its encoding in any spelling iconv takes; each call still converts,
    // but the pages kept stay bounded.
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(ToUtf8("\xC7", "windows-1256//x" + std::to_string(i)), "\u0627");
    EXPECT_LE(kavar::codepage::CachedPageCount(), kavar::codepage::kMaxCachedPages);
}
