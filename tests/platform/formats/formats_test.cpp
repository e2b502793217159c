#include "platform/formats/formats.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace kavar::formats;

namespace {

class Formats : public ::testing::Test {
  protected:
    void SetUp() override {
        SetDecimalSeparator(".");
        SetShortDateFormat("MM/dd/yy");
        SetLongTimeFormat("HH:mm:ss");
    }
    void TearDown() override { ResetToLocaleDefaults(); }
};

}  // namespace

TEST_F(Formats, FloatToStrGeneralForm) {
    struct Case {
        double value;
        const char* text;
    } cases[] = {
        {0, "0"},
        {1, "1"},
        {-1.5, "-1.5"},
        {0.1, "0.1"},
        {1.0 / 3, "0.333333333333333"},
        {2.0 / 3, "0.666666666666667"},
        {1234567.125, "1234567.125"},
        {1e-5, "0.00001"},
        {1e-6, "1E-6"},
        {-2.5e-10, "-2.5E-10"},
        {123456789012345, "123456789012345"},
        {1e15, "1E15"},
        {1.5e20, "1.5E20"},
        {99999999999999.99, "100000000000000"},  // rounded to 15 digits first
        {0.000009999999999999999, "0.00001"},
    };
    for (const auto& c : cases) EXPECT_EQ(FloatToStr(c.value), c.text) << c.value;
    SetDecimalSeparator(",");
    EXPECT_EQ(FloatToStr(-1.5), "-1,5");
    EXPECT_EQ(FloatToStr(1.25e-7), "1,25E-7");
}

TEST_F(Formats, TryStrToFloatUsesTheRegionalSeparator) {
    double v = 0;
    EXPECT_TRUE(TryStrToFloat(" -12.5 ", v));
    EXPECT_EQ(v, -12.5);
    EXPECT_TRUE(TryStrToFloat("1e3", v));
    EXPECT_EQ(v, 1000);
    for (const char* bad : {"", " ", "abc", "1.5x", "1e", "--1", "1,5"})
        EXPECT_FALSE(TryStrToFloat(bad, v)) << bad;
    SetDecimalSeparator(",");
    EXPECT_TRUE(TryStrToFloat("1,5", v));
    EXPECT_EQ(v, 1.5);
    EXPECT_FALSE(TryStrToFloat("1.5", v));
}

TEST_F(Formats, StrToTimeReadsTimesOfDay) {
    struct Case {
        const char* text;
        int h, m, s;  // h < 0: not a time
    } cases[] = {
        {"0000", 0, 0, 0},      {"08:00", 8, 0, 0},     {"8:5", 8, 5, 0},
        {"08:00:30", 8, 0, 30}, {" 08 : 00 ", 8, 0, 0}, {"12:00 AM", 0, 0, 0},
        {"PM 1:30", 13, 30, 0}, {"12:15pm", 12, 15, 0}, {"23:59", 23, 59, 0},
        {"2359", -1, 0, 0},     {"", -1, 0, 0},         {"24:00", -1, 0, 0},
        {"13:00 PM", -1, 0, 0}, {"0 AM", -1, 0, 0},     {"08:00x", -1, 0, 0},
        {"08:", -1, 0, 0},      {"08:60", -1, 0, 0},    {"99999999999", -1, 0, 0},
    };
    for (const auto& c : cases) {
        TDateTime v = -1;
        bool ok = TryStrToTime(c.text, v);
        EXPECT_EQ(ok, c.h >= 0) << c.text;
        if (ok && c.h >= 0) {
            EXPECT_EQ(v, EncodeTime(c.h, c.m, c.s, 0)) << c.text;
        }
    }
    try {
        StrToTime("2359");
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'2359' is not a valid time");
    }
}

TEST_F(Formats, DayCountDates) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
    EXPECT_EQ(EncodeDate(2024, 1, 15), 45306);
    EXPECT_EQ(EncodeDate(2000, 3, 1) - EncodeDate(2000, 2, 28), 2);  // 2000 is a leap year
    EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
    EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
    int y, mo, d, h, mi, s, ms;
    for (TDateTime v : {EncodeDate(2024, 2, 29), EncodeDate(1, 1, 1), EncodeDate(9999, 12, 31)}) {
        DecodeDate(v, y, mo, d);
        EXPECT_EQ(EncodeDate(y, mo, d), v);
    }
    // Before day 0 the time of day still counts forward from midnight.
    DecodeDate(-1.25, y, mo, d);
    DecodeTime(-1.25, h, mi, s, ms);
    EXPECT_EQ(std::tie(y, mo, d, h, mi), std::make_tuple(1899, 12, 29, 6, 0));
    DecodeTime(EncodeTime(23, 59, 59, 999), h, mi, s, ms);
    EXPECT_EQ(std::tie(h, mi, s, ms), std::make_tuple(23, 59, 59, 999));
}

TEST_F(Formats, PicturesAndDateTimeTexts) {
    TDateTime v = EncodeDate(2024, 1, 15) + EncodeTime(14, 5, 9, 7);
    EXPECT_EQ(FormatDateTime("yyyy_MM_dd", v), "2024_01_15");
    EXPECT_EQ(FormatDateTime("HH:mm:ss.zzz", v), "14:05:09.007");
    EXPECT_EQ(FormatDateTime("d/M/yy h:m tt", v), "15/1/24 2:5 PM");
    EXPECT_EQ(FormatDateTime("'at' HH \"h\" dddd MMM", v), "at 14 h Monday Jan");
    EXPECT_EQ(DateTimeToStr(v), "01/15/24 14:05:09");
    EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 1, 15)), "01/15/24");  // midnight: date only
    SetShortDateFormat("yyyy_MM_dd");
    EXPECT_EQ(DateToStr(v), "2024_01_15");
}

TEST_F(Formats, UnixToLocalFollowsTheZone) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "IRST-3:30", 1);
    tzset();
    EXPECT_EQ(UnixToLocal(0, 500), EncodeDate(1970, 1, 1) + EncodeTime(3, 30, 0, 500));
    old ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST_F(Formats, DefaultsComeFromTheLocale) {
    const char* old = std::getenv("LC_ALL");
    std::string saved = old ? old : "";
    setenv("LC_ALL", "C", 1);
    ResetToLocaleDefaults();
    EXPECT_EQ(ShortDateFormat(), "MM/dd/yy");
    EXPECT_EQ(LongTimeFormat(), "HH:mm:ss");
    EXPECT_EQ(DecimalSeparator(), ".");
    old ? setenv("LC_ALL", saved.c_str(), 1) : unsetenv("LC_ALL");
}
