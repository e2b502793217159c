#include "platform/formats/formats.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>

namespace kavar::formats {
namespace {

constexpr double kMsPerDay = 86400000.0;
// Days from 0001-01-01 (day 1) to 1899-12-30.
constexpr int kDateDelta = 693594;

struct Settings {
    std::string shortDate;
    std::string longTime;
    std::string decimal;
};

// strftime directives as picture strings; a letter the picture language would read
// as a field is quoted.
std::string PictureFromStrftime(const char* fmt, bool wantDate) {
    std::string out, literal;
    auto flushLiteral = [&] {
        if (literal.empty()) return;
        bool hasLetter = false;
        for (char c : literal) hasLetter |= std::isalpha(static_cast<unsigned char>(c)) != 0;
        out += hasLetter ? "'" + literal + "'" : literal;
        literal.clear();
    };
    for (const char* p = fmt; *p; ++p) {
        if (*p != '%') {
            literal += *p;
            continue;
        }
        ++p;
        while (*p == 'E' || *p == 'O' || *p == '-' || *p == '_' || *p == '0' || *p == '^' ||
               *p == '#')
            ++p;
        if (!*p) break;
        const char* field = nullptr;
        switch (*p) {
            case 'd':
                field = "dd";
                break;
            case 'e':
                field = "d";
                break;
            case 'm':
                field = "MM";
                break;
            case 'b':
            case 'h':
                field = "MMM";
                break;
            case 'B':
                field = "MMMM";
                break;
            case 'a':
                field = "ddd";
                break;
            case 'A':
                field = "dddd";
                break;
            case 'Y':
                field = "yyyy";
                break;
            case 'y':
            case 'C':
                field = "yy";
                break;
            case 'H':
                field = "HH";
                break;
            case 'k':
                field = "H";
                break;
            case 'I':
                field = "hh";
                break;
            case 'l':
                field = "h";
                break;
            case 'M':
                field = "mm";
                break;
            case 'S':
                field = "ss";
                break;
            case 'p':
            case 'P':
                field = "tt";
                break;
            case 'T':
                field = "HH:mm:ss";
                break;
            case 'R':
                field = "HH:mm";
                break;
            case 'r':
                field = "hh:mm:ss tt";
                break;
            case 'D':
                field = "MM/dd/yy";
                break;
            case 'F':
                field = "yyyy-MM-dd";
                break;
            case 'n':
                literal += '\n';
                break;
            case 't':
                literal += '\t';
                break;
            case '%':
                literal += '%';
                break;
            default:
                break;  // fields the pictures lack (week numbers, zones) are dropped
        }
        if (field) {
            flushLiteral();
            out += field;
        }
    }
    flushLiteral();
    if (out.empty()) return wantDate ? "MM/dd/yy" : "HH:mm:ss";
    return out;
}

Settings LocaleDefaults() {
    Settings s{"MM/dd/yy", "HH:mm:ss", "."};
    locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0))
        loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0)) return s;
    s.shortDate = PictureFromStrftime(nl_langinfo_l(D_FMT, loc), true);
    s.longTime = PictureFromStrftime(nl_langinfo_l(T_FMT, loc), false);
    const char* radix = nl_langinfo_l(RADIXCHAR, loc);
    if (radix && *radix) s.decimal = radix;
    freelocale(loc);
    return s;
}

std::mutex settingsMutex;
std::optional<Settings> settings;

Settings& Current() {
    // Caller holds settingsMutex.
    if (!settings) settings = LocaleDefaults();
    return *settings;
}

bool IsLeap(int y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }
int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& value) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month))
        return false;
    for (int m = 1; m < month; ++m) day += DaysInMonth(year, m);
    int y = year - 1;
    value = y * 365 + y / 4 - y / 100 + y / 400 + day - kDateDelta;
    return true;
}

bool TryEncodeTime(int h, int m, int s, int ms, TDateTime& value) {
    if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59 || ms < 0 || ms > 999) return false;
    value = (h * 3600000.0 + m * 60000.0 + s * 1000.0 + ms) / kMsPerDay;
    return true;
}

// Whole milliseconds since day 0 split into days and time of day; negative values keep the
// time of day as a positive fraction of the day, as the day-count convention wants.
void Split(TDateTime value, long long& days, long long& msOfDay) {
    long long total = std::llround(value * kMsPerDay);
    days = total / 86400000LL;
    msOfDay = std::llabs(total) % 86400000LL;
}

TDateTime FromTm(const std::tm& tm, int ms) {
    TDateTime d = 0, t = 0;
    TryEncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, d);
    TryEncodeTime(tm.tm_hour, tm.tm_min, std::min(tm.tm_sec, 59), ms, t);
    return d >= 0 ? d + t : d - t;
}

const char* const kShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kLongMonths[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};
const char* const kShortDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kLongDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};

std::string Pad(long long v, int width) {
    std::string s = std::to_string(v);
    if (static_cast<int>(s.size()) < width) s.insert(0, width - s.size(), '0');
    return s;
}

}  // namespace

std::string ShortDateFormat() {
    std::lock_guard lock(settingsMutex);
    return Current().shortDate;
}
void SetShortDateFormat(const std::string& picture) {
    std::lock_guard lock(settingsMutex);
    Current().shortDate = picture;
}
std::string LongTimeFormat() {
    std::lock_guard lock(settingsMutex);
    return Current().longTime;
}
void SetLongTimeFormat(const std::string& picture) {
    std::lock_guard lock(settingsMutex);
    Current().longTime = picture;
}
std::string DecimalSeparator() {
    std::lock_guard lock(settingsMutex);
    return Current().decimal;
}
void SetDecimalSeparator(const std::string& separator) {
    std::lock_guard lock(settingsMutex);
    Current().decimal = separator;
}
void ResetToLocaleDefaults() {
    Settings fresh = LocaleDefaults();
    std::lock_guard lock(settingsMutex);
    settings = fresh;
}

TDateTime EncodeDate(int year, int month, int day) {
    TDateTime v;
    if (!TryEncodeDate(year, month, day, v)) throw EConvertError("Invalid argument to date encode");
    return v;
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
    TDateTime v;
    if (!TryEncodeTime(hour, minute, second, millisecond, v))
        throw EConvertError("Invalid argument to time encode");
    return v;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
    long long days, ms;
    Split(value, days, ms);
    long long n = days + kDateDelta;  // 1 = 0001-01-01
    if (n <= 0) {
        year = month = day = 0;
        return;
    }
    --n;
    long long y = 1;
    long long q = n / 146097;
    n %= 146097;
    y += q * 400;
    long long c = std::min(n / 36524, 3LL);
    n -= c * 36524;
    y += c * 100;
    long long f = n / 1461;
    n %= 1461;
    y += f * 4;
    long long o = std::min(n / 365, 3LL);
    n -= o * 365;
    y += o;
    year = static_cast<int>(y);
    month = 1;
    while (n >= DaysInMonth(year, month)) n -= DaysInMonth(year, month++);
    day = static_cast<int>(n) + 1;
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond) {
    long long days, ms;
    Split(value, days, ms);
    hour = static_cast<int>(ms / 3600000);
    minute = static_cast<int>(ms / 60000 % 60);
    second = static_cast<int>(ms / 1000 % 60);
    millisecond = static_cast<int>(ms % 1000);
}

TDateTime Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return UnixToLocal(ts.tv_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

TDateTime Date() { return std::floor(Now()); }

TDateTime UnixToLocal(std::int64_t unixSeconds, int milliseconds) {
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    return FromTm(tm, milliseconds);
}

std::string FormatDateTime(std::string_view picture, TDateTime value) {
    int y, mo, d, h, mi, s, ms;
    DecodeDate(value, y, mo, d);
    DecodeTime(value, h, mi, s, ms);
    long long days, msOfDay;
    Split(value, days, msOfDay);
    // 1899-12-30 was a Saturday.
    int weekday = static_cast<int>(((days + 6) % 7 + 7) % 7);
    std::string out;
    for (std::size_t i = 0; i < picture.size();) {
        char c = picture[i];
        std::size_t n = 1;
        while (i + n < picture.size() && picture[i + n] == c) ++n;
        switch (c) {
            case '\'':
            case '"': {
                std::size_t close = picture.find(c, i + 1);
                if (close == std::string_view::npos) close = picture.size();
                out.append(picture.substr(i + 1, close - i - 1));
                i = close + 1;
                continue;
            }
            case 'y':
                out += n <= 1 ? std::to_string(y % 100) : n == 2 ? Pad(y % 100, 2) : Pad(y, 4);
                break;
            case 'M':
                if (mo < 1) {
                    out += Pad(mo, n > 1 ? 2 : 1);
                } else {
                    out += n == 1   ? std::to_string(mo)
                           : n == 2 ? Pad(mo, 2)
                           : n == 3 ? kShortMonths[mo - 1]
                                    : kLongMonths[mo - 1];
                }
                break;
            case 'd':
                out += n == 1   ? std::to_string(d)
                       : n == 2 ? Pad(d, 2)
                       : n == 3 ? kShortDays[weekday]
                                : kLongDays[weekday];
                break;
            case 'H':
                out += Pad(h, n > 1 ? 2 : 1);
                break;
            case 'h':
                out += Pad(h % 12 == 0 ? 12 : h % 12, n > 1 ? 2 : 1);
                break;
            case 'm':
                out += Pad(mi, n > 1 ? 2 : 1);
                break;
            case 's':
                out += Pad(s, n > 1 ? 2 : 1);
                break;
            case 'z':
                out += Pad(ms, n > 1 ? 3 : 1);
                break;
            case 't':
                out += n > 1 ? (h < 12 ? "AM" : "PM") : (h < 12 ? "A" : "P");
                break;
            default:
                out.append(n, c);
                break;
        }
        i += n;
    }
    return out;
}

std::string DateToStr(TDateTime value) { return FormatDateTime(ShortDateFormat(), value); }
std::string TimeToStr(TDateTime value) { return FormatDateTime(LongTimeFormat(), value); }
std::string DateTimeToStr(TDateTime value) {
    long long days, ms;
    Split(value, days, ms);
    std::string s = DateToStr(value);
    if (ms != 0) {
        s += ' ';
        s += TimeToStr(value);
    }
    return s;
}

namespace {

struct Scanner {
    std::string_view s;
    std::size_t pos = 0;

    void Blanks() {
        while (pos < s.size() && s[pos] == ' ') ++pos;
    }
    bool Number(int& n) {
        Blanks();
        std::size_t start = pos;
        long long v = 0;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
            if (v < 100000) v = v * 10 + (s[pos] - '0');
            ++pos;
        }
        if (pos == start) return false;
        n = static_cast<int>(v);
        return true;
    }
    bool Char(std::string_view c) {
        Blanks();
        if (s.substr(pos, c.size()) != c) return false;
        pos += c.size();
        return true;
    }
    bool Word(std::string_view w) {  // ASCII, either case
        Blanks();
        if (s.size() - pos < w.size()) return false;
        for (std::size_t k = 0; k < w.size(); ++k)
            if (std::toupper(static_cast<unsigned char>(s[pos + k])) != w[k]) return false;
        pos += w.size();
        return true;
    }
    int AmPm() { return Word("AM") ? 0 : Word("PM") ? 12 : -1; }
};

}  // namespace

bool TryStrToTime(std::string_view text, TDateTime& value) {
    Scanner sc{text};
    int base = sc.AmPm();
    int hour = 0, min = 0, sec = 0, msec = 0;
    if (!sc.Number(hour)) return false;
    if (sc.Char(":")) {
        if (!sc.Number(min)) return false;
        if (sc.Char(":")) {
            if (!sc.Number(sec)) return false;
            if (sc.Char(DecimalSeparator()) && !sc.Number(msec)) return false;
        }
    }
    if (base < 0) base = sc.AmPm();
    if (base >= 0) {
        if (hour == 0 || hour > 12) return false;
        if (hour == 12) hour = 0;
        hour += base;
    }
    sc.Blanks();
    if (sc.pos != text.size()) return false;
    return TryEncodeTime(hour, min, sec, msec, value);
}

TDateTime StrToTime(std::string_view text) {
    TDateTime v;
    if (!TryStrToTime(text, v))
        throw EConvertError("'" + std::string(text) + "' is not a valid time");
    return v;
}

std::string FloatToStr(double value) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
    if (value == 0) return "0";
    char buf[64];
    // d.dddddddddddddde[+-]x: 15 significant digits, correctly rounded.
    std::snprintf(buf, sizeof buf, "%.14e", std::fabs(value));
    std::string digits;
    const char* p = buf;
    for (; *p && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9') digits += *p;
    int exp = std::atoi(p + 1);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string sep = DecimalSeparator();
    std::string out = value < 0 ? "-" : "";
    if (exp >= -5 && exp < 15) {
        if (exp < 0) {
            out += "0" + sep + std::string(-exp - 1, '0') + digits;
        } else if (static_cast<int>(digits.size()) <= exp + 1) {
            out += digits + std::string(exp + 1 - digits.size(), '0');
        } else {
            out += digits.substr(0, exp + 1) + sep + digits.substr(exp + 1);
        }
    } else {
        out += digits.substr(0, 1);
        if (digits.size() > 1) out += sep + digits.substr(1);
        out += 'E';
        out += std::to_string(exp);
    }
    return out;
}

bool TryStrToFloat(std::string_view text, double& value) {
    std::size_t b = 0, e = text.size();
    while (b < e && text[b] == ' ') ++b;
    while (e > b && text[e - 1] == ' ') --e;
    std::string_view t = text.substr(b, e - b);
    std::string sep = DecimalSeparator();
    std::string plain;
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    bool anyDigit = false;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') plain += t[i++], anyDigit = true;
    if (!sep.empty() && t.substr(i, sep.size()) == sep) {
        i += sep.size();
        plain += '.';
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') plain += t[i++], anyDigit = true;
    }
    if (!anyDigit) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        plain += 'e';
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) plain += t[i++];
        std::size_t start = i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') plain += t[i++];
        if (i == start) return false;
    }
    if (i != t.size()) return false;
    double v = 0;
    auto r = std::from_chars(plain.data(), plain.data() + plain.size(), v);
    if (r.ec != std::errc() || r.ptr != plain.data() + plain.size() || std::isinf(v)) return false;
    value = negative ? -v : v;
    return true;
}

}  // namespace kavar::formats
