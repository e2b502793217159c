// KavarSetup: the operator's command-line companion for a program folder: write the
// settings file, create the embedded database, queue messages and look at the outbox.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "outbox/Dispatcher.h"
#include "outbox/Installer.h"
#include "outbox/Schema.h"
#include "platform/db/db.h"
#include "platform/profile/profile.h"
#include "shared/uSmsUtils.h"

namespace {

const char* const kUsage =
    "usage: KavarSetup [--dir FOLDER] COMMAND ...\n"
    "  FOLDER is the program folder (default: the folder of KavarSetup itself)\n"
    "commands:\n"
    "  settings KEY=VALUE...   set settings keys in KavarConfig.ini and save it; keys:\n"
    "                          SMS_PanelUser SMS_PanelPass SMS_NormalNumber SMS_ServiceNumber\n"
    "                          SMS_ActiveServerNumber SQL_ServerName SQL_User SQL_Pass\n"
    "                          SQL_DBName AutoSendSMS TimerDelay SVCKAVARSMS ActiveTimeStart\n"
    "                          ActiveTimeEnd, and Provider.EndpointURL Provider.Namespace\n"
    "                          DATABASE.SQL_OdbcDriver (Booleans as 1/0)\n"
    "  show                    print the settings (passwords hidden)\n"
    "  initdb                  create the database tables (an embedded database file is\n"
    "                          created when missing)\n"
    "  enqueue ID NUMBER TEXT  put one message into Outbox_High_Auto\n"
    "  outbox                  count pending, invalid and sent messages\n";

std::string OwnFolder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/'));
}

bool ParseBool(const std::string& v) { return v != "0" && !v.empty(); }

int Settings(const std::string& folder, const std::vector<std::string>& args) {
    const std::string appPath = folder + "/Velmo";
    const std::string iniPath = folder + "/KavarConfig.ini";
    TAppSetting s;
    TSMSUtil::LoadSetting(appPath, s);
    std::map<std::string, std::pair<std::string, std::string>> extra;  // key -> section, value
    for (const std::string& arg : args) {
        std::size_t eq = arg.find('=');
        if (eq == std::string::npos) {
            std::cerr << "KavarSetup: expected KEY=VALUE, got " << arg << "\n";
            return 2;
        }
        const std::string key = arg.substr(0, eq), v = arg.substr(eq + 1);
        if (key == "SMS_PanelUser")
            s.SMS_PanelUser = v;
        else if (key == "SMS_PanelPass")
            s.SMS_PanelPass = v;
        else if (key == "SMS_NormalNumber")
            s.SMS_NormalNumber = v;
        else if (key == "SMS_ServiceNumber")
            s.SMS_ServiceNumber = v;
        else if (key == "SMS_ActiveServerNumber")
            s.SMS_ActiveServerNumber = ParseBool(v);
        else if (key == "SQL_ServerName")
            s.SQL_ServerName = v;
        else if (key == "SQL_User")
            s.SQL_User = v;
        else if (key == "SQL_Pass")
            s.SQL_Pass = v;
        else if (key == "SQL_DBName")
            s.SQL_DBName = v;
        else if (key == "AutoSendSMS")
            s.AutoSendSMS = ParseBool(v);
        else if (key == "TimerDelay") {
            std::int32_t n = 0;
            if (!kavar::profile::TryParseInteger(v, n)) {
                std::cerr << "KavarSetup: TimerDelay must be a whole number\n";
                return 2;
            }
            s.TimerDelay = n;
        } else if (key == "SVCKAVARSMS")
            s.SVCKAVARSMS = ParseBool(v);
        else if (key == "ActiveTimeStart")
            s.ActiveTimeStart = v;
        else if (key == "ActiveTimeEnd")
            s.ActiveTimeEnd = v;
        else if (key == "Provider.EndpointURL" || key == "Provider.Namespace" ||
                 key == "DATABASE.SQL_OdbcDriver") {
            std::size_t dot = key.find('.');
            extra[key.substr(dot + 1)] = {key.substr(0, dot), v};
        } else {
            std::cerr << "KavarSetup: unknown key " << key << "\n";
            return 2;
        }
    }
    TSMSUtil::SaveSetting(appPath, s);
    if (!extra.empty()) {
        kavar::profile::IniFile ini(iniPath);
        for (const auto& [key, sv] : extra) ini.WriteString(sv.first, key, sv.second);
        ini.Save();
    }
    std::cout << "saved " << iniPath << "\n";
    return 0;
}

int Show(const std::string& folder) {
    TAppSetting s;
    TSMSUtil::LoadSetting(folder + "/Velmo", s);
    auto hidden = [](const std::string& p) { return p.empty() ? "" : "********"; };
    std::cout << "SMS_PanelUser=" << s.SMS_PanelUser << "\n"
              << "SMS_PanelPass=" << hidden(s.SMS_PanelPass) << "\n"
              << "SMS_NormalNumber=" << s.SMS_NormalNumber << "\n"
              << "SMS_ServiceNumber=" << s.SMS_ServiceNumber << "\n"
              << "SMS_ActiveServerNumber=" << s.SMS_ActiveServerNumber << "\n"
              << "SQL_ServerName=" << s.SQL_ServerName << "\n"
              << "SQL_User=" << s.SQL_User << "\n"
              << "SQL_Pass=" << hidden(s.SQL_Pass) << "\n"
              << "SQL_DBName=" << s.SQL_DBName << "\n"
              << "AutoSendSMS=" << s.AutoSendSMS << "\n"
              << "TimerDelay=" << s.TimerDelay << "\n"
              << "SVCKAVARSMS=" << s.SVCKAVARSMS << "\n"
              << "ActiveTimeStart=" << s.ActiveTimeStart << "\n"
              << "ActiveTimeEnd=" << s.ActiveTimeEnd << "\n"
              << "Provider.EndpointURL=" << TSendSmsWS::Endpoint().EndpointURL << "\n"
              << "Provider.Namespace=" << TSendSmsWS::Endpoint().Namespace << "\n";
    return 0;
}

// Opens the database the settings of the folder name.
void OpenDatabase(const std::string& folder, kavar::db::Connection& connection,
                  kavar::db::Connection::OpenMode mode) {
    TAppSetting s;
    TSMSUtil::LoadSetting(folder + "/Velmo", s);
    connection.Open(kavar::outbox::ConnectionSettingsOf(s), mode);
    kavar::outbox::PrepareConnection(connection);
}

// The installer's host: it only keeps the reports of the connection step, which tell
// why the database could not be reached.
class InstallHost final : public kavar::outbox::TOutboxHost {
  public:
    explicit InstallHost(const TAppSetting& setting) : setting_(setting) {}
    const kavar::outbox::TOutboxHostTraits& Traits() const override {
        return kavar::outbox::PanelTraits();
    }
    void AddResult(const std::string& msg, bool) override {
        // A report's bare CR would make a terminal overwrite its first line.
        for (char c : msg) reports_ += c == '\r' ? '\n' : c;
        reports_ += '\n';
    }
    TAppSetting GetAppSetting() override { return setting_; }
    std::string GetPanelUser() override { return {}; }
    std::string GetPanelPass() override { return {}; }
    std::string GetActiveNumber() override { return {}; }
    bool GetIsFlash() override { return false; }
    void ProcessMessages() override {}
    const std::string& Reports() const { return reports_; }

  private:
    TAppSetting setting_;
    std::string reports_;
};

// The control panel's installer: creates the database when it is missing (an embedded
// file or a SQL Server database) and brings it up to the schema.
int InitDb(const std::string& folder) {
    TAppSetting s;
    TSMSUtil::LoadSetting(folder + "/Velmo", s);
    InstallHost host(s);
    kavar::outbox::TOutboxDispatcher dispatcher(host);
    kavar::db::Connection master;
    try {
        kavar::outbox::InstallDatabase(s, master, dispatcher);
    } catch (const std::exception&) {
        std::cerr << host.Reports();
        throw;
    }
    std::cout << "database ready (" << dispatcher.Connection().DbmsName() << ")\n";
    return 0;
}

int Enqueue(const std::string& folder, const std::vector<std::string>& args) {
    if (args.size() != 3) {
        std::cerr << kUsage;
        return 2;
    }
    std::int32_t id = 0;
    if (!kavar::profile::TryParseInteger(args[0], id)) {
        std::cerr << "KavarSetup: ID must be a whole number\n";
        return 2;
    }
    kavar::db::Connection connection;
    OpenDatabase(folder, connection, kavar::db::Connection::OpenMode::Existing);
    using kavar::outbox::QuotedStr;
    connection.Execute("INSERT INTO Outbox_High_Auto (ID, Mobile_Number, Message) VALUES (" +
                       std::to_string(id) + ", " + QuotedStr(args[1]) + ", " + QuotedStr(args[2]) +
                       ")");
    return 0;
}

int Outbox(const std::string& folder) {
    kavar::db::Connection connection;
    OpenDatabase(folder, connection, kavar::db::Connection::OpenMode::Existing);
    auto count = [&](const std::string& sql) {
        kavar::db::Recordset rs = connection.Query(sql);
        return rs.FieldAt(0).AsInteger();
    };
    std::cout << "pending: "
              << count(
                     "SELECT COUNT(*) FROM Outbox_High_Auto WHERE IsNull(ResultCode,-1) <> 0 "
                     "AND ISNULL(IsNotValid,0) = 0")
              << "\ninvalid: "
              << count("SELECT COUNT(*) FROM Outbox_High_Auto WHERE IsNotValid = 1")
              << "\nsent: " << count("SELECT COUNT(*) FROM Sent_Item") << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string folder = OwnFolder();
    if (args.size() >= 2 && args[0] == "--dir") {
        folder = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    TSMSUtil::CallerProg = "APP";
    TSMSUtil::ApplicationExeName = folder;
    const std::string command = args[0];
    args.erase(args.begin());
    try {
        if (command == "settings") return Settings(folder, args);
        if (command == "show") return Show(folder);
        if (command == "initdb") return InitDb(folder);
        if (command == "enqueue") return Enqueue(folder, args);
        if (command == "outbox") return Outbox(folder);
    } catch (const std::exception& e) {
        std::cerr << "KavarSetup: " << e.what() << "\n";
        return 1;
    }
    std::cerr << kUsage;
    return 2;
}
