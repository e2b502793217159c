// The conversions applied to the texts of an answer, the code tables, and the printout of
// one message record.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/formats/formats.h"
#include "shared/uSendSmsWS.h"
#include "shared/uSendSmsWS_internal.h"
#include "shared/uSmsUtils.h"

namespace fmt = kavar::formats;
using namespace kavar::sendsms;

struct TSendSmsWSTestAccess {
    static std::int32_t MessageType(const std::string& s) { return TSendSmsWS::GetMessageType(s); }
    static std::int32_t Lang(const std::string& s) { return TSendSmsWS::GetSmsLang(s); }
    static std::int32_t Status(const std::string& s) { return TSendSmsWS::GetSmsStatus(s); }
};

namespace {

TEST(ClientConversions, Int32AcceptsSignedDecimalWithinRangeOnly) {
    struct Case {
        const char* text;
        bool ok;
        std::int32_t value;
    } cases[] = {
        {"0", true, 0},
        {"12345", true, 12345},
        {"-1", true, -1},
        {"+7", true, 7},
        {"007", true, 7},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999999999999999", false, 0},
        {"", false, 0},
        {"-", false, 0},
        {" 1", false, 0},
        {"1 ", false, 0},
        {"1.0", false, 0},
        {"0x10", false, 0},
        {"12a", false, 0},
    };
    for (const auto& c : cases) {
        std::int32_t v = 99;
        EXPECT_EQ(TryStrToInt32(c.text, v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : 99) << c.text;
    }
}

TEST(ClientConversions, BooleanTakesWordsInAnyCaseAndNumerals) {
    fmt::SetDecimalSeparator(".");
    struct Case {
        const char* text;
        bool ok;
        bool value;
    } cases[] = {
        {"True", true, true}, {"FALSE", true, false}, {"tRuE", true, true},
        {"1", true, true},    {"0", true, false},     {"-2", true, true},
        {"0.0", true, false}, {"0.5", true, true},    {"yes", false, false},
        {"T", false, false},  {"", false, false},     {"true ", false, false},
    };
    for (const auto& c : cases) {
        bool v = false;
        EXPECT_EQ(TryStrToBoolean(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(ClientConversions, CodeTablesIgnoreAsciiCaseAndGiveMinusTenOtherwise) {
    struct Case {
        std::int32_t (*convert)(const std::string&);
        const char* text;
        std::int32_t code;
    } cases[] = {
        {TSendSmsWSTestAccess::MessageType, "In", 1},
        {TSendSmsWSTestAccess::MessageType, "OUT", 2},
        {TSendSmsWSTestAccess::MessageType, "schedule", 3},
        {TSendSmsWSTestAccess::MessageType, "Outbox", -10},
        {TSendSmsWSTestAccess::MessageType, "", -10},
        {TSendSmsWSTestAccess::Lang, "fa", 1},
        {TSendSmsWSTestAccess::Lang, "En", 2},
        {TSendSmsWSTestAccess::Lang, "FA ", -10},
        {TSendSmsWSTestAccess::Status, "pending", 1},
        {TSendSmsWSTestAccess::Status, "Illegal", 2},
        {TSendSmsWSTestAccess::Status, "SENDING", 3},
        {TSendSmsWSTestAccess::Status, "notapproved", 4},
        {TSendSmsWSTestAccess::Status, "Canceled", 6},
        {TSendSmsWSTestAccess::Status, "Error", 7},
        {TSendSmsWSTestAccess::Status, "NoCredit", 8},
        {TSendSmsWSTestAccess::Status, "NotSent", 9},
        {TSendSmsWSTestAccess::Status, "WaitForSend", 10},
        {TSendSmsWSTestAccess::Status, "Delivered", -10},
        {TSendSmsWSTestAccess::Status, "5", -10},
    };
    for (const auto& c : cases) EXPECT_EQ(c.convert(c.text), c.code) << c.text;
}

// Sets TZ for one test and restores it afterwards.
class ZoneTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) saved_ = tz, hadTz_ = true;
    }
    void TearDown() override {
        if (hadTz_)
            setenv("TZ", saved_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void Zone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    static fmt::TDateTime At(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
        return fmt::EncodeDate(y, mo, d) + fmt::EncodeTime(h, mi, s, ms);
    }

  private:
    std::string saved_;
    bool hadTz_ = false;
};

TEST_F(ZoneTest, DateTimeGoesThroughUtcAndLocalZoneThenBackFourAndAHalfHours) {
    Zone("<+0330>-3:30");
    struct Case {
        const char* text;
        fmt::TDateTime expected;
    } cases[] = {
        // No designator: taken as UTC, +3:30 to local, -4:30: one hour earlier than written.
        {"2024-01-15T10:00:00", At(2024, 1, 15, 9, 0, 0)},
        {"2024-01-15T10:00:00Z", At(2024, 1, 15, 9, 0, 0)},
        {"2024-01-15T10:00:00+03:30", At(2024, 1, 15, 5, 30, 0)},
        {"2024-01-15T10:00:00-01:00", At(2024, 1, 15, 10, 0, 0)},
        {"2024-01-15T00:30:00", At(2024, 1, 14, 23, 30, 0)},
        {"2024-01-15T10:00:00.25", At(2024, 1, 15, 9, 0, 0, 250)},
        {"2024-01-15T10:00:00.1239", At(2024, 1, 15, 9, 0, 0, 123)},
        {"2024-02-29T23:00:00", At(2024, 2, 29, 22, 0, 0)},
        {"2024-01-15T24:00:00", At(2024, 1, 15, 23, 0, 0)},
    };
    for (const auto& c : cases) {
        fmt::TDateTime v = 0;
        ASSERT_TRUE(TryXmlDateTimeToLocal(c.text, v)) << c.text;
        EXPECT_NEAR(v, c.expected, 1e-8)
            << c.text << " gave " << fmt::FormatDateTime("yyyy-MM-dd HH:mm:ss.zzz", v);
    }
}

TEST_F(ZoneTest, DateTimeUsesTheZoneRulesOfThatDate) {
    // Tehran kept summer time (+4:30) until 2022.
    Zone("Asia/Tehran");
    fmt::TDateTime summer = 0, winter = 0;
    ASSERT_TRUE(TryXmlDateTimeToLocal("2021-06-01T12:00:00Z", summer));
    ASSERT_TRUE(TryXmlDateTimeToLocal("2021-12-01T12:00:00Z", winter));
    EXPECT_NEAR(summer, At(2021, 6, 1, 12, 0, 0), 1e-8);
    EXPECT_NEAR(winter, At(2021, 12, 1, 11, 0, 0), 1e-8);
}

TEST_F(ZoneTest, DateTimeRejectsWhatIsNotAnXmlDateTime) {
    Zone("UTC");
    for (const char* text : {"",
                             "abc",
                             "2024-01-15",
                             "2024-01-15 10:00:00",
                             "2024-01-15T10:00",
                             "2024-1-15T10:00:00",
                             "2024-02-30T10:00:00",
                             "2023-02-29T10:00:00",
                             "2024-13-01T10:00:00",
                             "2024-01-15T25:00:00",
                             "2024-01-15T24:00:01",
                             "2024-01-15T10:60:00",
                             "2024-01-15T10:00:60",
                             "2024-01-15T10:00:00.",
                             "2024-01-15T10:00:00+0330",
                             "2024-01-15T10:00:00+15:00",
                             "2024-01-15T10:00:00Z ",
                             "0000-01-01T00:00:00",
                             "0001-01-01T00:00:00+01:00",
                             "0001-01-01T00:00:00"}) {
        fmt::TDateTime v = 123;
        EXPECT_FALSE(TryXmlDateTimeToLocal(text, v)) << text;
        EXPECT_EQ(v, 123) << text;
    }
}

TEST(ClientPrintout, NineteenLinesWithRegionalFormatsAndBooleansAsNumbers) {
    fmt::SetShortDateFormat("yyyy_MM_dd");
    fmt::SetLongTimeFormat("HH:mm:ss");
    fmt::SetDecimalSeparator(",");
    TMessageInfoRec m;
    m.MessageId = 7;
    m.UserId = -3;
    m.Tariff = 1.5;
    m.Content = "a\r\nb";
    m.ActionDateTime = fmt::EncodeDate(2024, 1, 15) + fmt::EncodeTime(9, 5, 3, 0);
    m.MessageType = 2;
    m.Sender = "3000";
    m.Receiver = "0912";
    m.IsFlash = true;
    m.Pages = 1;
    m.SmsLang = 1;
    m.SmsStatus = -10;
    m.Title = "T";
    m.Count = 1;
    m.Sent = 1;
    m.IsRead = true;
    EXPECT_EQ(TSMSUtil::GetMessagesText(m),
              "MessageId = 7\r\nUserId = -3\r\nTariff = 1,5\r\nContent = a\r\nb\r\n"
              "ActionDateTime = 2024_01_15 09:05:03\r\nMessageType = 2\r\nSender = 3000\r\n"
              "Receiver = 0912\r\nFlash = -1\r\nPages = 1\r\nLang = 1\r\nStatus = -10\r\n"
              "Title = T\r\nCount = 1\r\nSent = 1\r\nDescription = \r\nNotSent = 0\r\n"
              "MoneyIsRefunded = 0\r\nIsRead = -1\r\n");

    // A fresh record: midnight prints the date alone, the double prints as 0.
    EXPECT_EQ(TSMSUtil::GetMessagesText(TMessageInfoRec{}),
              "MessageId = 0\r\nUserId = 0\r\nTariff = 0\r\nContent = \r\n"
              "ActionDateTime = 1899_12_30\r\nMessageType = 0\r\nSender = \r\nReceiver = \r\n"
              "Flash = 0\r\nPages = 0\r\nLang = 0\r\nStatus = 0\r\nTitle = \r\nCount = 0\r\n"
              "Sent = 0\r\nDescription = \r\nNotSent = 0\r\nMoneyIsRefunded = 0\r\nIsRead = 0\r\n");
    fmt::ResetToLocaleDefaults();
}

}  // namespace
