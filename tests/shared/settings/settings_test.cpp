#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/codepage/codepage.h"
#include "platform/formats/formats.h"
#include "platform/netstate/netstate.h"
#include "shared/uSmsUtils.h"

namespace fs = std::filesystem;
namespace fmt = kavar::formats;

namespace {

const std::string kKey =
    "Vq8@Lm2#Tx5$Hb9%Rw3^Nf7&Zc1*Jd6!Ke4_Py0.Gs8-Ua2@Xo5#Ci9$Wl3%Bn7^Mt1&Qe6*Dv4!Sh0_Fr8.Ij2-Ak5@"
    "Yg9#Ep3$Oz7%Ru1^Ly6&Hc4*Nw0!Tb8_Xm2.";

// The scrambling written out once more, to hold the file's bytes against.
std::string Scramble(const std::string& bytes) {
    std::string out = bytes;
    for (std::size_t j = 0; j < out.size(); ++j)
        out[j] = static_cast<char>(out[j] ^ ~kKey[(j + 1) % kKey.size()]);
    return out;
}

std::string Printable(std::size_t length, int seed) {
    std::string s;
    for (std::size_t i = 0; i < length; ++i) s += static_cast<char>(0x20 + (i * 7 + seed) % 95);
    return s;
}

class Settings : public ::testing::Test {
  protected:
    void SetUp() override {
        kavar::codepage::SetCurrent("windows-1256");
        char tmpl[] = "/tmp/kavar-settings-XXXXXX";
        dir = mkdtemp(tmpl);
        exe = dir + "/Velmo";
        ini = dir + "/KavarConfig.ini";
        TSMSUtil::ApplicationExeName = dir;
        TSMSUtil::CallerProg = "APP";
        TSendSmsWS::SetEndpoint("", "");
    }
    void TearDown() override {
        fs::remove_all(dir);
        TSendSmsWS::SetEndpoint("", "");
    }

    void Put(const std::string& bytes) { std::ofstream(ini, std::ios::binary) << bytes; }
    static std::string Read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The raw value of key= in the settings file.
    std::string RawValue(const std::string& key) {
        std::string text = Read(ini);
        std::size_t at = text.find("\n" + key + "=");
        if (at == std::string::npos) return "<missing>";
        at += key.size() + 2;
        return text.substr(at, text.find('\r', at) - at);
    }

    std::string dir, exe, ini;
};

TAppSetting Full(const std::string& panelPass, const std::string& sqlPass) {
    TAppSetting s;
    s.SMS_PanelUser = "user \u06A9\u06CC";  // Farsi yeh comes back as Arabic yeh
    s.SMS_PanelPass = panelPass;
    s.SMS_NormalNumber = "3000123";
    s.SMS_ServiceNumber = "5000456";
    s.SMS_ActiveServerNumber = true;
    s.SQL_ServerName = "sqlite:";
    s.SQL_User = "sa";
    s.SQL_Pass = sqlPass;
    s.SQL_DBName = "Kavar_SMS";
    s.AutoSendSMS = true;
    s.TimerDelay = -17;
    s.SVCKAVARSMS = true;
    s.ActiveTimeStart = "08:00";
    s.ActiveTimeEnd = "17:30";
    return s;
}

}  // namespace

TEST_F(Settings, SaveThenLoadGivesEveryFieldBack) {
    for (std::size_t length : {0, 1, 127, 128, 129, 300}) {
        SCOPED_TRACE(length);
        TAppSetting saved = Full(Printable(length, 3), Printable(length, 50));
        TSMSUtil::SaveSetting(exe, saved);
        // The passwords are stored as exactly the scrambled bytes.
        EXPECT_EQ(RawValue("SMS_PanelPass"), Scramble(saved.SMS_PanelPass));
        EXPECT_EQ(RawValue("SQL_Pass"), Scramble(saved.SQL_Pass));
        EXPECT_EQ(RawValue("SMS_ActiveServerNumber"), "1");
        EXPECT_EQ(RawValue("TimerDelay"), "-17");

        TAppSetting loaded;
        TSMSUtil::LoadSetting(exe, loaded);
        TAppSetting expected = saved;
        expected.SMS_PanelUser = "user \u06A9\u064A";
        EXPECT_EQ(loaded, expected);
    }
    EXPECT_EQ(fs::status(ini).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(Settings, ScramblingUndoesItselfAndKeepsAsciiAwayFromTheFilesSyntax) {
    std::string all;
    for (int i = 0; i < 600; ++i) all += static_cast<char>(i * 37);
    EXPECT_EQ(EncodeDecode(EncodeDecode(all)), all);
    EXPECT_EQ(EncodeDecode(""), "");
    for (unsigned char c : EncodeDecode(Printable(300, 0))) EXPECT_GE(c, 0x80);
}

TEST_F(Settings, MissingFileLeavesTheRecordAndSaysSo) {
    TAppSetting kept = Full("a", "b");
    TAppSetting record = kept;
    TSMSUtil::LoadSetting(exe, record);
    EXPECT_EQ(record, kept);
    std::string log =
        Read(dir + "/Log/APPKavarSMS_" + fmt::FormatDateTime("yyyy_MM_dd", fmt::Now()) + ".LOG");
    std::string expected = kavar::codepage::FromUtf8(
        "\u0641\u0627\u06CC\u0644 " + ini + " \u06CC\u0627\u0641\u062A \u0646\u0634\u062F. \r\n");
    ASSERT_GE(log.size(), expected.size());
    EXPECT_EQ(log.substr(log.size() - expected.size()), expected);
}

TEST_F(Settings, MissingKeysAndBadValuesTakeTheDefaults) {
    Put("[AppSetting]\r\n"
        "AutoSendSMS=yes\r\n"
        "TimerDelay=soon\r\n"
        "SVCKAVARSMS=0x10\r\n"
        "junk line\r\n"
        "[SMSPanel]\r\n"
        "SMS_ActiveServerNumber=2\r\n"
        "SMS_PanelUser=" +
        std::string(3000, 'u') +
        "\r\n"
        "SMS_NormalNumber=\x81\xFF\r\n");
    TAppSetting s = Full("x", "y");
    TSMSUtil::LoadSetting(exe, s);
    EXPECT_FALSE(s.AutoSendSMS);
    EXPECT_EQ(s.TimerDelay, 1);
    EXPECT_TRUE(s.SVCKAVARSMS);
    EXPECT_TRUE(s.SMS_ActiveServerNumber);
    EXPECT_EQ(s.SMS_PanelUser, std::string(2047, 'u'));
    EXPECT_EQ(s.SMS_NormalNumber, "\u067E\u06D2");
    EXPECT_EQ(s.SMS_PanelPass, "");
    EXPECT_EQ(s.SQL_ServerName, "");
    EXPECT_EQ(s.ActiveTimeStart, "0000");
    EXPECT_EQ(s.ActiveTimeEnd, "2359");

    // Unreadable (a folder in its place): every key at its default, no crash.
    fs::remove(ini);
    fs::create_directory(ini);
    TSMSUtil::LoadSetting(exe, s);
    EXPECT_EQ(s.TimerDelay, 1);
    EXPECT_EQ(s.SMS_PanelUser, "");
    std::string log =
        Read(dir + "/Log/APPKavarSMS_" + fmt::FormatDateTime("yyyy_MM_dd", fmt::Now()) + ".LOG");
    EXPECT_NE(log.find(ini), std::string::npos) << "the reason is not logged";
}

TEST_F(Settings, ProviderSectionIsReadAndKeptBySave) {
    const std::string head =
        "; notes of the operator\r\n"
        "[Provider]\r\n"
        "EndpointURL=http://127.0.0.1:8080/SendService.svc\r\n"
        "Namespace=http://example.org/\r\n";
    Put(head);
    TAppSetting s;
    TSMSUtil::LoadSetting(exe, s);
    EXPECT_EQ(TSendSmsWS::Endpoint().EndpointURL, "http://127.0.0.1:8080/SendService.svc");
    EXPECT_EQ(TSendSmsWS::Endpoint().Namespace, "http://example.org/");
    TSMSUtil::SaveSetting(exe, Full("p", "q"));
    EXPECT_EQ(Read(ini).substr(0, head.size()), head);
    EXPECT_NE(Read(ini).find("\r\n[SMSPanel]\r\nSMS_PanelUser="), std::string::npos);

    Put("[Provider]\r\nEndpointURL=\r\n");  // empty: the compiled defaults again
    TSMSUtil::LoadSetting(exe, s);
    TSendSmsWS::SetEndpoint("", "");
    TProviderEndpoint defaults = TSendSmsWS::Endpoint();
    EXPECT_EQ(TSendSmsWS::Endpoint().EndpointURL, defaults.EndpointURL);
}

TEST_F(Settings, APasswordTheFileCannotKeepIsRefusedAndNothingIsWritten) {
    TSMSUtil::SaveSetting(exe, Full("old", "old"));
    const std::string before = Read(ini);
    // A character outside the code page, and one whose scrambled byte is a line break.
    for (const std::string& bad :
         {std::string("\u6F22"), kavar::codepage::ToUtf8(Scramble("\n"))}) {
        EXPECT_THROW(TSMSUtil::SaveSetting(exe, Full(bad, "ok")), std::runtime_error);
        EXPECT_EQ(Read(ini), before);
    }
}

TEST_F(Settings, SaveFailureNamesTheFile) {
    try {
        TSMSUtil::SaveSetting(dir + "/missing/Velmo", Full("a", "b"));
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("missing/KavarConfig.ini"), std::string::npos);
    }
}

TEST(SendingWindow, OpenStrictlyBetweenItsLimitsAtWholeMinutes) {
    struct Case {
        const char* start;
        const char* end;
        int hour, minute, second;
        const char* result;  // "open", "closed" or "error"
    } cases[] = {
        {"08:00", "17:00", 8, 0, 59, "closed"},
        {"08:00", "17:00", 8, 1, 0, "open"},
        {"08:00", "17:00", 16, 59, 59, "open"},
        {"08:00", "17:00", 17, 0, 0, "closed"},
        {"00:00", "23:59", 0, 0, 0, "closed"},
        {"00:00", "23:59", 0, 1, 0, "open"},
        {"00:00", "23:59", 23, 58, 0, "open"},
        {"00:00", "23:59", 23, 59, 0, "closed"},
        {"08:00:30", "17:00", 8, 0, 45, "closed"},
        {"08:00:30", "17:00", 8, 1, 0, "open"},
        {"22:00", "06:00", 23, 0, 0, "closed"},
        {"22:00", "06:00", 3, 0, 0, "closed"},
        {"8:00 AM", "5:00 PM", 12, 0, 0, "open"},
        // The defaults of a file without the two keys.
        {"0000", "2359", 0, 0, 0, "closed"},
        {"0000", "2359", 0, 1, 0, "error"},
        // The end is read only when the start has passed.
        {"09:00", "garbage", 8, 0, 0, "closed"},
        {"", "17:00", 8, 0, 0, "error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.start) + "-" + c.end + " at " + std::to_string(c.hour) + ":" +
                     std::to_string(c.minute));
        TAppSetting s;
        s.ActiveTimeStart = c.start;
        s.ActiveTimeEnd = c.end;
        fmt::TDateTime now =
            fmt::EncodeDate(2024, 1, 15) + fmt::EncodeTime(c.hour, c.minute, c.second, 0);
        std::string got;
        try {
            got = kavar::CheckActiveTimeAt(s, now) ? "open" : "closed";
        } catch (const fmt::EConvertError&) {
            got = "error";
        }
        EXPECT_EQ(got, c.result);
    }
    TAppSetting s;
    s.ActiveTimeStart = "0000";
    s.ActiveTimeEnd = "2359";
    try {
        kavar::CheckActiveTimeAt(s, fmt::EncodeTime(12, 0, 0, 0));
        FAIL() << "no error";
    } catch (const fmt::EConvertError& e) {
        EXPECT_STREQ(e.what(), "'2359' is not a valid time");
    }
}

TEST(ActiveNumberAndInternet, FollowTheSwitchAndTheSystem) {
    TAppSetting s;
    s.SMS_NormalNumber = "";
    s.SMS_ServiceNumber = "5000";
    EXPECT_EQ(TSMSUtil::GetActiveNumber(s), "");
    s.SMS_ActiveServerNumber = true;
    EXPECT_EQ(TSMSUtil::GetActiveNumber(s), "5000");
    kavar::netstate::ForceState(false);
    EXPECT_FALSE(TSMSUtil::InternetState());
    kavar::netstate::ForceState(true);
    EXPECT_TRUE(TSMSUtil::InternetState());
    kavar::netstate::ForceState(std::nullopt);
}
