#include "platform/profile/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/codepage/codepage.h"

namespace fs = std::filesystem;
using kavar::profile::IniFile;

namespace {

class Profile : public ::testing::Test {
  protected:
    void SetUp() override {
        kavar::codepage::SetCurrent("windows-1256");
        char tmpl[] = "/tmp/kavar-profile-XXXXXX";
        dir = mkdtemp(tmpl);
        file = dir + "/KavarConfig.ini";
    }
    void TearDown() override { fs::remove_all(dir); }

    void Put(const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }
    std::string Get() {
        std::ifstream in(file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string dir, file;
};

const char kSample[] =
    "; written by hand\r\n"
    "orphan=before any section\r\n"
    "[SMSPanel]\r\n"
    "  sms_paneluser =  \"quoted user\"  \r\n"
    "garbage line without equals\r\n"
    "SMS_PanelUser=second, ignored\r\n"
    "\r\n"
    "[DATABASE]\r\n"
    "SQL_ServerName=srv\r\n"
    "[smspanel]\r\n"
    "SMS_NormalNumber=in a repeated section, ignored\r\n";

}  // namespace

TEST_F(Profile, ReadsLikeTheSystemsIniServices) {
    Put(kSample);
    IniFile ini(file);
    EXPECT_TRUE(ini.Exists());
    EXPECT_EQ(ini.ReadString("SMSPANEL", "SMS_PanelUser", "-"), "quoted user");
    EXPECT_EQ(ini.ReadString("database", "sql_servername", "-"), "srv");
    EXPECT_EQ(ini.ReadString("SMSPanel", "SMS_NormalNumber", "-"), "-");
    EXPECT_EQ(ini.ReadString("SMSPanel", "orphan", "-"), "-");
    EXPECT_EQ(ini.ReadString("Missing", "x", "def"), "def");

    IniFile none(dir + "/nothing.ini");
    EXPECT_FALSE(none.Exists());
    EXPECT_EQ(none.ReadString("a", "b", "def"), "def");
}

TEST_F(Profile, ValuesAreCutAt2047CharactersAndConvertedFromTheCodePage) {
    Put("[S]\r\nlong=" + std::string(5000, 'x') + "\r\nfa=\xED\x98\x9D\r\n");
    IniFile ini(file);
    EXPECT_EQ(ini.ReadString("S", "long", ""), std::string(2047, 'x'));
    EXPECT_EQ(ini.ReadString("S", "fa", ""), "\u064A\u06A9\u200C");
}

TEST(ProfileInteger, DecimalHexOrDefault) {
    struct Case {
        const char* text;
        bool ok;
        std::int32_t value;
    } cases[] = {
        {"12", true, 12},
        {"-5", true, -5},
        {"+7", true, 7},
        {"0x1F", true, 31},
        {"0X10", true, 16},
        {"0xFFFFFFFF", true, -1},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"0x100000000", false, 0},
        {"abc", false, 0},
        {"12abc", false, 0},
        {"", false, 0},
        {"0x", false, 0},
        {"1.5", false, 0},
    };
    for (const auto& c : cases) {
        std::int32_t v = 0;
        EXPECT_EQ(kavar::profile::TryParseInteger(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST_F(Profile, WritesOneKeyInPlaceAndKeepsTheRest) {
    Put(kSample);
    IniFile ini(file);
    ini.WriteString("SMSPanel", "SMS_PanelUser", "\u06CC");   // replaced where it stands
    ini.WriteString("SMSPanel", "SMS_NormalNumber", "0912");  // added after the last key
    ini.WriteString("AppSetting", "TimerDelay", "5");         // a new section at the end
    ini.Save();
    EXPECT_EQ(Get(),
              "; written by hand\r\n"
              "orphan=before any section\r\n"
              "[SMSPanel]\r\n"
              "SMS_PanelUser=\xED\r\n"
              "garbage line without equals\r\n"
              "SMS_PanelUser=second, ignored\r\n"
              "SMS_NormalNumber=0912\r\n"
              "\r\n"
              "[DATABASE]\r\n"
              "SQL_ServerName=srv\r\n"
              "[smspanel]\r\n"
              "SMS_NormalNumber=in a repeated section, ignored\r\n"
              "[AppSetting]\r\n"
              "TimerDelay=5\r\n");
}

TEST_F(Profile, KeepsTheFilesLineBreaks) {
    Put("[A]\nx=1");  // LF only, no break after the last line
    IniFile ini(file);
    ini.WriteString("A", "y", "2");
    ini.WriteString("B", "z", "3");
    EXPECT_EQ(ini.Bytes(), "[A]\nx=1\ny=2\n[B]\nz=3\n");
}

TEST_F(Profile, SavesAtomicallyWithOwnerOnlyModeForNewFiles) {
    kavar::profile::WriteString(file, "S", "k", "v");
    EXPECT_EQ(kavar::profile::ReadString(file, "s", "K", ""), "v");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    chmod(file.c_str(), 0640);
    kavar::profile::WriteString(file, "S", "k", "w");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    int entries = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(dir)) ++entries;
    EXPECT_EQ(entries, 1) << "a temporary file was left behind";
}

TEST_F(Profile, RefusesWhatWouldCorruptTheFile) {
    Put("[S]\r\nk=old\r\n");
    IniFile ini(file);
    EXPECT_THROW(ini.WriteString("S", "k", "a\r\n[T]\r\nx=y"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("S", "k=", "v"), std::invalid_argument);
    EXPECT_EQ(ini.ReadString("S", "k", ""), "old");
}

TEST_F(Profile, FailuresNameTheFile) {
    // A folder where the file should be: unreadable, and never saved over.
    fs::create_directory(file);
    IniFile unreadable(file);
    EXPECT_TRUE(unreadable.Exists());
    EXPECT_FALSE(unreadable.LoadError().empty());
    EXPECT_EQ(unreadable.ReadString("S", "k", "def"), "def");
    try {
        unreadable.Save();
        FAIL() << "saved over an unreadable file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
    }
    IniFile noFolder(dir + "/missing/KavarConfig.ini");
    noFolder.WriteString("S", "k", "v");
    try {
        noFolder.Save();
        FAIL() << "saved into a missing folder";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("missing/KavarConfig.ini"), std::string::npos);
    }
}
