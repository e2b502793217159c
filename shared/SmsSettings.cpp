// The settings file KavarConfig.ini beside the executable, and the password scrambling.
#include <stdexcept>

#include "platform/codepage/codepage.h"
#include "platform/profile/profile.h"
#include "shared/SmsTexts.h"
#include "shared/uSmsUtils.h"

namespace {

constexpr char kSMSPanel[] = "SMSPanel";
constexpr char kDATABASE[] = "DATABASE";
constexpr char kAppSetting[] = "AppSetting";
constexpr char kProvider[] = "Provider";

std::string SettingsFileName(const std::string& AppPath) {
    std::size_t slash = AppPath.rfind('/');
    std::string dir = slash == std::string::npos ? "" : AppPath.substr(0, slash + 1);
    return dir + "KavarConfig.ini";
}

// Text -> ANSI bytes -> scrambled -> text of the same code page, and back: the form a
// password takes in the file.
std::string Scrambled(const std::string& text) {
    namespace cp = kavar::codepage;
    return cp::ToUtf8(EncodeDecode(cp::FromUtf8(text)));
}

bool ReadBool(const kavar::profile::IniFile& ini, const char* section, const char* key) {
    return ini.ReadInteger(section, key, 0) != 0;
}

}  // namespace

std::string EncodeDecode(const std::string& Str) {
    constexpr std::size_t keyLength = sizeof kavar::texts::kScrambleKey - 1;
    std::string out(Str.size(), '\0');
    for (std::size_t j = 0; j < Str.size(); ++j) {
        auto k = static_cast<unsigned char>(kavar::texts::kScrambleKey[(j + 1) % keyLength]);
        out[j] =
            static_cast<char>(static_cast<unsigned char>(Str[j]) ^ static_cast<unsigned char>(~k));
    }
    return out;
}

void TSMSUtil::LoadSetting(const std::string& AppPath, TAppSetting& AppSetting) {
    std::string fileName = SettingsFileName(AppPath);
    kavar::profile::IniFile ini(fileName);
    if (!ini.Exists()) {
        Logger(std::string(kavar::texts::kFilePrefix) + fileName + kavar::texts::kNotFoundSuffix);
        return;
    }
    // A file that exists but cannot be read gives every key its default, as before; the
    // log says why.
    if (!ini.LoadError().empty()) Logger(ini.LoadError());
    TAppSetting s;
    s.SMS_PanelUser = ini.ReadString(kSMSPanel, "SMS_PanelUser", "");
    s.SMS_PanelPass = Scrambled(ini.ReadString(kSMSPanel, "SMS_PanelPass", ""));
    s.SMS_NormalNumber = ini.ReadString(kSMSPanel, "SMS_NormalNumber", "");
    s.SMS_ServiceNumber = ini.ReadString(kSMSPanel, "SMS_ServiceNumber", "");
    s.SMS_ActiveServerNumber = ReadBool(ini, kSMSPanel, "SMS_ActiveServerNumber");
    s.SQL_ServerName = ini.ReadString(kDATABASE, "SQL_ServerName", "");
    s.SQL_User = ini.ReadString(kDATABASE, "SQL_User", "");
    s.SQL_Pass = Scrambled(ini.ReadString(kDATABASE, "SQL_Pass", ""));
    s.SQL_DBName = ini.ReadString(kDATABASE, "SQL_DBName", "");
    s.AutoSendSMS = ReadBool(ini, kAppSetting, "AutoSendSMS");
    s.TimerDelay = ini.ReadInteger(kAppSetting, "TimerDelay", 1);
    s.SVCKAVARSMS = ReadBool(ini, kAppSetting, "SVCKAVARSMS");
    s.ActiveTimeStart = ini.ReadString(kAppSetting, "ActiveTimeStart", "0000");
    s.ActiveTimeEnd = ini.ReadString(kAppSetting, "ActiveTimeEnd", "2359");
    AppSetting = s;
    TSendSmsWS::SetEndpoint(ini.ReadString(kProvider, "EndpointURL", ""),
                            ini.ReadString(kProvider, "Namespace", ""));
}

void TSMSUtil::SaveSetting(const std::string& AppPath, const TAppSetting& AppSetting) {
    std::string fileName = SettingsFileName(AppPath);
    kavar::profile::IniFile ini(fileName);
    // A password the file cannot give back unchanged (characters outside the code page,
    // scrambled bytes that are line breaks, or blanks at either end) would be lost without
    // a word: refuse it, and write nothing.
    auto putPassword = [&](const char* section, const char* key, const std::string& password) {
        try {
            ini.WriteString(section, key, Scrambled(password));
        } catch (const std::invalid_argument&) {
        }
        if (Scrambled(ini.ReadString(section, key, "")) != password)
            throw std::runtime_error("The password " + std::string(key) +
                                     " cannot be stored in \"" + fileName +
                                     "\": it holds characters the file cannot keep");
    };
    auto put = [&](const char* section, const char* key, const std::string& value) {
        ini.WriteString(section, key, value);
    };
    put(kSMSPanel, "SMS_PanelUser", AppSetting.SMS_PanelUser);
    putPassword(kSMSPanel, "SMS_PanelPass", AppSetting.SMS_PanelPass);
    put(kSMSPanel, "SMS_NormalNumber", AppSetting.SMS_NormalNumber);
    put(kSMSPanel, "SMS_ServiceNumber", AppSetting.SMS_ServiceNumber);
    put(kSMSPanel, "SMS_ActiveServerNumber", AppSetting.SMS_ActiveServerNumber ? "1" : "0");
    put(kDATABASE, "SQL_ServerName", AppSetting.SQL_ServerName);
    put(kDATABASE, "SQL_User", AppSetting.SQL_User);
    putPassword(kDATABASE, "SQL_Pass", AppSetting.SQL_Pass);
    put(kDATABASE, "SQL_DBName", AppSetting.SQL_DBName);
    put(kAppSetting, "AutoSendSMS", AppSetting.AutoSendSMS ? "1" : "0");
    put(kAppSetting, "TimerDelay", std::to_string(AppSetting.TimerDelay));
    put(kAppSetting, "SVCKAVARSMS", AppSetting.SVCKAVARSMS ? "1" : "0");
    put(kAppSetting, "ActiveTimeStart", AppSetting.ActiveTimeStart);
    put(kAppSetting, "ActiveTimeEnd", AppSetting.ActiveTimeEnd);
    // All fourteen keys reach the file in one atomic replacement: a failure leaves the
    // previous file whole.
    ini.Save(0600);
}
