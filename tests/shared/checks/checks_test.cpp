#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/codepage/codepage.h"
#include "platform/formats/formats.h"
#include "shared/uSmsUtils.h"

namespace fs = std::filesystem;
namespace fmt = kavar::formats;

namespace {

// The operator texts, as the system words them.
const std::string kEnterMessage = "متن پیامک را وارد نمایید";
const std::string kEnterNumbers = "شماره گیرندگان را وارد نمایید";
const std::string kEnterSender = "شماره فرستنده را وارد نمایید";
const std::string kEnterSmsId = "را وارد نمایید SmsId";
const std::string kEnterUser = "نام کاربری را وارد نمایید";
const std::string kEnterPassword = "کلمه عبور را وارد نمایید";
const std::string kRefused = "نام کاربری یا کلمه عبور اشتباه میباشد";
const std::string kInactive = "کاربر شما فعال نمیباشد";
const std::string kCredit = "مانده اعتبار : ";
const std::string kInbox = "تعداد پیامکهای دریافتی : ";
const std::string kSms = " پیامک";

class Checks : public ::testing::Test {
  protected:
    void SetUp() override {
        kavar::codepage::SetCurrent("windows-1256");
        char tmpl[] = "/tmp/kavar-checks-XXXXXX";
        dir = mkdtemp(tmpl);
        TSMSUtil::ApplicationExeName = dir;
        TSMSUtil::CallerProg = "APP";
    }
    void TearDown() override { fs::remove_all(dir); }

    // The untimed texts of the day's log, one per line.
    std::string Logged() {
        std::ifstream in(
            dir + "/Log/APPKavarSMS_" + fmt::FormatDateTime("yyyy_MM_dd", fmt::Now()) + ".LOG",
            std::ios::binary);
        std::string line, out;
        while (std::getline(in, line)) out += line.substr(line.find(" : ") + 3) + "\n";
        return kavar::codepage::ToUtf8(out);  // lines end in "\r\n"
    }

    std::string dir;
};

}  // namespace

TEST_F(Checks, FailuresHandBackAndLogTheirText) {
    using Check = std::function<bool(std::string&)>;
    struct Case {
        const char* name;
        Check check;
        std::string text;  // empty: passes
    } cases[] = {
        {"blank message", [](std::string& l) { return TSMSUtil::ValidateMessage(" \r\n\t ", l); },
         kEnterMessage},
        {"one character", [](std::string& l) { return TSMSUtil::ValidateMessage("x", l); }, ""},
        {"blank numbers", [](std::string& l) { return TSMSUtil::ValidateNumbers("\r\n \r\n", l); },
         kEnterNumbers},
        {"numbers", [](std::string& l) { return TSMSUtil::ValidateNumbers("\r\n0912", l); }, ""},
        {"no sender", [](std::string& l) { return TSMSUtil::ValidateSenderNumber("", l); },
         kEnterSender},
        {"sender with blank",
         [](std::string& l) { return TSMSUtil::ValidateSenderNumber(" 3000", l); }, ""},
        {"SmsId 0", [](std::string& l) { return TSMSUtil::ValidateSMSID(0, l); }, kEnterSmsId},
        {"SmsId -1", [](std::string& l) { return TSMSUtil::ValidateSMSID(-1, l); }, kEnterSmsId},
        {"SmsId 1", [](std::string& l) { return TSMSUtil::ValidateSMSID(1, l); }, ""},
        {"both empty", [](std::string& l) { return TSMSUtil::ValidateUser("", "", l); },
         kEnterUser},
        {"blank password", [](std::string& l) { return TSMSUtil::ValidateUser("u", "  ", l); },
         kEnterPassword},
        {"account", [](std::string& l) { return TSMSUtil::ValidateUser("u", "p", l); }, ""},
    };
    std::string expectedLog;
    for (const auto& c : cases) {
        std::string log = "earlier text";
        EXPECT_EQ(c.check(log), c.text.empty()) << c.name;
        EXPECT_EQ(log, c.text.empty() ? "earlier text" : c.text) << c.name;
        // In the log the text is in the ANSI code page: Farsi yeh reads back as Arabic yeh.
        if (!c.text.empty())
            expectedLog += kavar::codepage::ToUtf8(kavar::codepage::FromUtf8(c.text)) + "\r\n";
    }
    // Each failure wrote its text to the log once; passing checks wrote nothing.
    EXPECT_EQ(Logged(), expectedLog);
}

TEST(ResultTexts, CodesAndAmounts) {
    EXPECT_EQ(TSMSUtil::GetMessageStatusText(0), "ارسال با موفقيت انجام شد");
    EXPECT_EQ(TSMSUtil::GetMessageStatusText(11), "پياده سازي نشده است");
    EXPECT_EQ(TSMSUtil::GetDeliveryStateText(-5),
              "برای گرفتن گزارش تحویل حداقل یک دقیقه بعد از ارسال اقدام نمایید");
    EXPECT_EQ(TSMSUtil::GetDeliveryStateText(-3),
              "به علت اینکه مهلت یک هفتهای گرفتن گزارش پایان یافته است، امکان گرفتن گزارش تحویل  "
              "وجود ندارد");
    EXPECT_EQ(TSMSUtil::GetDeliveryStateText(10), "کنسل شده توسط اپراتور");
    // Each table keeps its own wording of -1.
    EXPECT_EQ(TSMSUtil::GetMessageStatusText(-1), "خطا در ارتباط با سرويس دهنده");
    EXPECT_EQ(TSMSUtil::GetDeliveryStateText(-1), "خطا در ارتباط با سرویسدهنده");
    for (int code : {-2, 12, 100}) EXPECT_EQ(TSMSUtil::GetMessageStatusText(code), "") << code;
    for (int code : {-6, 11}) EXPECT_EQ(TSMSUtil::GetDeliveryStateText(code), "") << code;
    for (int code = -1; code <= 11; ++code) EXPECT_NE(TSMSUtil::GetMessageStatusText(code), "");
    for (int code = -5; code <= 10; ++code) EXPECT_NE(TSMSUtil::GetDeliveryStateText(code), "");

    struct Case {
        std::string credit, text;
    } byStr[] = {
        {"-1", kRefused},
        {"-2", kInactive},
        {" -1", kCredit + " -1" + kSms},
        {"-1.0", kCredit + "-1.0" + kSms},
        {"", kCredit + kSms},
        {"1250", kCredit + "1250" + kSms},
    };
    for (const auto& c : byStr)
        EXPECT_EQ(TSMSUtil::GetCreditStateTextByStr(c.credit), c.text) << c.credit;

    fmt::SetDecimalSeparator(".");
    EXPECT_EQ(TSMSUtil::GetCreditStateText(-1.0), kRefused);
    EXPECT_EQ(TSMSUtil::GetCreditStateText(-2.0), kInactive);
    EXPECT_EQ(TSMSUtil::GetCreditStateText(1250.5), kCredit + "1250.5" + kSms);
    EXPECT_EQ(TSMSUtil::GetCreditStateText(-1.5), kCredit + "-1.5" + kSms);

    EXPECT_EQ(TSMSUtil::GetInboxCountText(-1), kRefused);
    EXPECT_EQ(TSMSUtil::GetInboxCountText(-2), kInbox + "-2" + kSms);
    EXPECT_EQ(TSMSUtil::GetInboxCountText(0), kInbox + "0" + kSms);
}
