// Velmo end to end: the real program in a temp program folder (beside Net, SC, KavarSetup
// and its KavarConfig.ini), under a private service-manager root, sending through the
// provider simulator into an embedded outbox database.
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>

#include "platform/db/db.h"
#include "platform/scm/scm_fixture.h"
#include "support/ProviderSimProcess.h"

namespace kavar::scm::testing {
namespace {

namespace fs = std::filesystem;

const char* const kDash = "----------------------------------";
const std::vector<std::string> kStartLines = {"Initialize",
                                              "InitializeDatabase Successfully",
                                              "SetTimer : ==> TimerIsActived = True",
                                              "VELMO STARTED",
                                              "ServiceExecute",
                                              kDash};

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
}

// Whether `wanted` occurs in `lines` in this order (other lines may come between).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    size_t next = 0;
    for (const auto& line : lines) {
        if (next < wanted.size() && line == wanted[next]) ++next;
    }
    return next == wanted.size();
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    return text;
}

// The sending window needs a time strictly between 00:00 and 23:59.
bool NearMidnight() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    const int minute = tm.tm_hour * 60 + tm.tm_min;
    return minute <= 1 || minute >= 23 * 60 + 58;
}

bool CanUnshareNetwork() {
    return RunProgram({"/usr/bin/unshare", "-n", "/bin/true"}).exitCode == 0;
}

class VelmoTest : public ScmTest {
  protected:
    using Settings = std::map<std::string, std::string>;

    void SetUp() override {
        ScmTest::SetUp();
        prog_ = dir_ + "/prog";
        fs::create_directories(prog_);
        for (const char* program : {"Velmo", "Net", "SC", "KavarSetup"}) {
            std::error_code ec;
            fs::create_hard_link(BinDir() + "/" + program, prog_ + "/" + program, ec);
            if (ec) fs::copy_file(BinDir() + "/" + program, prog_ + "/" + program);
        }
        // The machine running the tests may have no network; being online is forced here
        // and taken away for real (a network namespace) where a test needs it.
        ::setenv("KAVAR_FORCE_NETSTATE", "1", 1);
        sim_ = std::make_unique<test::ProviderSimProcess>();
    }

    void TearDown() override {
        // Stopped the proper way when possible; whatever is left is killed by ScmTest.
        if (SC_HANDLE svc = OpenService(manager_, "Velmo", SERVICE_ALL_ACCESS)) {
            SERVICE_STATUS status{};
            if (QueryServiceStatus(svc, &status) && status.dwCurrentState != SERVICE_STOPPED &&
                ControlService(svc, SERVICE_CONTROL_STOP, &status))
                WaitFor(svc, SERVICE_STOPPED, 15);
            CloseServiceHandle(svc);
        }
        // The service's own output: where a sanitizer report of the service lands.
        const std::string output = ReadFile(root_ + "/run/velmo/output");
        EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
        ScmTest::TearDown();
        ::unsetenv("KAVAR_FORCE_NETSTATE");
    }

    RunResult Run(const std::string& program, std::vector<std::string> args,
                  const std::vector<std::string>& prefix = {}) {
        std::vector<std::string> all = prefix;
        all.push_back(prog_ + "/" + program);
        all.insert(all.end(), args.begin(), args.end());
        return RunProgram(all);
    }

    // Writes KavarConfig.ini: sending on, TimerDelay 1, the window open all day, the
    // embedded database of the program folder and the simulator as the provider.
    void WriteSettings(const Settings& overrides = {}) {
        Settings s = {{"SMS_PanelUser", "user"},
                      {"SMS_PanelPass", "pass"},
                      {"SMS_NormalNumber", "30001234"},
                      {"SQL_ServerName", "sqlite:"},
                      {"SQL_DBName", "Kavar_SMS"},
                      {"AutoSendSMS", "1"},
                      {"TimerDelay", "1"},
                      {"SVCKAVARSMS", "1"},
                      {"ActiveTimeStart", "00:00"},
                      {"ActiveTimeEnd", "23:59"},
                      {"Provider.EndpointURL", sim_->Url()}};
        for (const auto& [k, v] : overrides) s[k] = v;
        std::vector<std::string> args{"--dir", prog_, "settings"};
        for (const auto& [k, v] : s) args.push_back(k + "=" + v);
        const RunResult r = Run("KavarSetup", args);
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }

    void InitDb() {
        const RunResult r = Run("KavarSetup", {"--dir", prog_, "initdb"});
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }

    void Enqueue(int id, const std::string& number, const std::string& text) {
        const RunResult r =
            Run("KavarSetup", {"--dir", prog_, "enqueue", std::to_string(id), number, text});
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }

    // `Velmo -install` registers the service and starts it through Net.
    SC_HANDLE Install(const std::vector<std::string>& prefix = {}) {
        const RunResult r = Run("Velmo", {"-install"}, prefix);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(r.output, "Service Velmo installed successfully.\n");
        return Open("Velmo");
    }

    // The log entries of the service: one per line, the time taken off.
    std::vector<std::string> Log() const {
        std::vector<std::string> lines;
        std::vector<fs::path> files;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(prog_ + "/Log", ec))
            if (e.path().filename().string().rfind("SVCKavarSMS_", 0) == 0)
                files.push_back(e.path());
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            const std::string text = ReadFile(file.string());
            size_t at = 0;
            while (at < text.size()) {
                size_t end = text.find("\r\n", at);
                if (end == std::string::npos) end = text.size();
                std::string line = text.substr(at, end - at);
                // "hh:mm:ss : message"
                const size_t sep = line.find(" : ");
                if (sep != std::string::npos && sep <= 12 && line.find(':') < sep)
                    line = line.substr(sep + 3);
                // A lone CR inside a message (the database error) also starts a line here.
                for (size_t cr; (cr = line.find('\r')) != std::string::npos;) {
                    lines.push_back(line.substr(0, cr));
                    line.erase(0, cr + 1);
                }
                lines.push_back(line);
                at = end + 2;
            }
        }
        return lines;
    }

    bool WaitForLog(const std::string& line, size_t times = 1, int seconds = 30) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            if (Count(Log(), line) >= times) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    size_t Sends() {
        size_t n = 0;
        for (const auto& r : sim_->Requests())
            if (r.Operation == "SendBatchSms") ++n;
        return n;
    }

    // Runs one counting query on the program folder's database.
    int Scalar(const std::string& sql) {
        db::Connection c;
        c.OpenSQLite(prog_ + "/Kavar_SMS.sqlite");
        return c.Query(sql).FieldAt(0).AsInteger();
    }
    int Pending() {
        return Scalar(
            "SELECT COUNT(*) FROM Outbox_High_Auto WHERE IFNULL(ResultCode,-1) <> 0 AND "
            "IFNULL(IsNotValid,0) = 0");
    }
    int SentItems() { return Scalar("SELECT COUNT(*) FROM Sent_Item"); }

    bool WaitUntil(const std::function<bool()>& done, int seconds = 30) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    bool StopService(SC_HANDLE svc, DWORD control = SERVICE_CONTROL_STOP) {
        SERVICE_STATUS status{};
        return ControlService(svc, control, &status) && WaitFor(svc, SERVICE_STOPPED);
    }

    std::string prog_;
    std::unique_ptr<test::ProviderSimProcess> sim_;
};

TEST_F(VelmoTest, InstallSendsTheOutboxAndTheBatchFileCommandsStopAndRemoveIt) {
    if (NearMidnight()) GTEST_SKIP() << "the sending window is closed around midnight";
    WriteSettings();
    InitDb();
    Enqueue(7, "09120000007", "second");
    Enqueue(3, "09120000003", "first");

    SC_HANDLE svc = Install();
    ASSERT_NE(svc, nullptr);
    DWORD needed = 0;
    QueryServiceConfig(svc, nullptr, 0, &needed);
    std::vector<std::max_align_t> buffer(needed / sizeof(std::max_align_t) + 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIG*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfig(svc, config, needed, &needed));
    EXPECT_EQ(config->dwStartType, SERVICE_AUTO_START);
    EXPECT_EQ(std::string(config->lpBinaryPathName), prog_ + "/Velmo");
    EXPECT_STREQ(config->lpDisplayName, "Velmo");
    EXPECT_EQ(Run("SC", {"Config", "Velmo", "Start=", "delayed-auto"}).exitCode, 0);

    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    ASSERT_TRUE(WaitUntil([&] { return SentItems() == 2; })) << Joined(Log());
    EXPECT_EQ(Pending(), 0);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Outbox_High_Auto"), 0);
    const auto requests = sim_->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].Body.find("09120000003"), std::string::npos);  // lower ID first
    EXPECT_TRUE(InOrder(Log(), kStartLines)) << Joined(Log());
    EXPECT_EQ(Count(Log(), "SMSDataset_High.RecordCount : 2"), 1u) << Joined(Log());

    // SVCstop.BAT: stop, then disable; a disabled service does not start.
    RunResult r = Run("SC", {"STOP", "Velmo"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    ASSERT_TRUE(WaitFor(svc, SERVICE_STOPPED));
    std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "VELMO STOPED") << Joined(log);
    EXPECT_EQ(log.back(), kDash);
    EXPECT_EQ(Run("SC", {"Config", "Velmo", "Start=", "disabled"}).exitCode, 0);
    r = Run("SC", {"START", "velmo"});
    EXPECT_NE(r.output.find("FAILED 1058"), std::string::npos) << r.output;

    // SVCuninstall.BAT
    r = Run("Velmo", {"-uninstall"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "Service Velmo uninstalled successfully.\n");
    EXPECT_EQ(OpenService(manager_, "Velmo", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

// Cases in which the service runs but must not send.
TEST_F(VelmoTest, NothingIsSentWithSendingSwitchedOffOutsideTheWindowOrOffline) {
    struct Case {
        const char* name;
        Settings settings;
        const char* setTimerLine;
        bool offline;
        const char* tickLine;  // what each tick logs; null: ticks leave no trace
    };
    const Case cases[] = {
        {"service switch off",
         {{"SVCKAVARSMS", "0"}},
         "SetTimer : ==> TimerIsActived = False",
         false,
         nullptr},
        {"auto send off",
         {{"AutoSendSMS", "0"}},
         "SetTimer : ==> TimerIsActived = False",
         false,
         nullptr},
        {"zero delay never ticks",
         {{"TimerDelay", "0"}},
         "SetTimer : ==> TimerIsActived = True",
         false,
         nullptr},
        // An end not later than the start: the window never opens.
        {"window closed",
         {{"ActiveTimeStart", "23:59"}, {"ActiveTimeEnd", "23:59"}},
         "SetTimer : ==> TimerIsActived = True",
         false,
         nullptr},
        {"offline",
         {},
         "SetTimer : ==> TimerIsActived = True",
         true,
         "(SMSTimer) NO INTERNET CONNECTION"},
    };
    if (NearMidnight()) GTEST_SKIP() << "the sending window is closed around midnight";
    WriteSettings();
    InitDb();
    Enqueue(1, "09120000001", "text");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(prog_ + "/Log");
        WriteSettings(c.settings);
        std::vector<std::string> prefix;
        if (c.offline) {
            // A network namespace with only a loopback that is down: really offline.
            if (CanUnshareNetwork()) {
                prefix = {"/usr/bin/unshare", "-n"};
                ::unsetenv("KAVAR_FORCE_NETSTATE");
            } else {
                ::setenv("KAVAR_FORCE_NETSTATE", "0", 1);
            }
        }
        SC_HANDLE svc = Install(prefix);
        ::setenv("KAVAR_FORCE_NETSTATE", "1", 1);
        ASSERT_NE(svc, nullptr);
        ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
        ASSERT_TRUE(WaitForLog("ServiceExecute")) << Joined(Log());
        if (c.tickLine) {
            EXPECT_TRUE(WaitForLog(c.tickLine, 2)) << Joined(Log());
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // a few periods
        }
        ASSERT_TRUE(StopService(svc));
        const std::vector<std::string> log = Log();
        EXPECT_EQ(Count(log, c.setTimerLine), 1u) << Joined(log);
        // Nothing beyond the six lines of the start, the two of the stop and the ticks'
        // own lines (each with its dash line).
        const size_t ticks = c.tickLine ? Count(log, c.tickLine) : 0;
        EXPECT_EQ(log.size(), 8 + 2 * ticks) << Joined(log);
        EXPECT_EQ(CountPrefix(log, "SMSDataset_High.RecordCount"), 0u) << Joined(log);
        EXPECT_EQ(Sends(), 0u);
        EXPECT_EQ(Pending(), 1);
        ASSERT_EQ(Run("Velmo", {"-uninstall", "SILENT"}).exitCode, 0);
        CloseServiceHandle(svc);
        handles_.erase(std::remove(handles_.begin(), handles_.end(), svc), handles_.end());
    }
}

TEST_F(VelmoTest, ADatabaseMissingAtStartIsTriedTwiceAndTheServiceRunsAndSendsOnceItAppears) {
    if (NearMidnight()) GTEST_SKIP() << "the sending window is closed around midnight";
    WriteSettings();  // no database file yet
    SC_HANDLE svc = Install();
    ASSERT_NE(svc, nullptr);
    ASSERT_TRUE(WaitForLog("Initialize"));
    // The wait between the attempts keeps the manager informed.
    ASSERT_EQ(Status(svc).dwCurrentState, SERVICE_START_PENDING);
    const DWORD checkPoint = Status(svc).dwCheckPoint;
    EXPECT_TRUE(WaitUntil([&] { return Status(svc).dwCheckPoint > checkPoint + 1; }));
    EXPECT_EQ(Status(svc).dwCurrentState, SERVICE_START_PENDING);

    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING, 60));
    std::vector<std::string> log = Log();
    EXPECT_TRUE(InOrder(log, {"Initialize", "Exception in open  ADO Connection.Kavar_SMS : ", kDash,
                              "Exception in open  ADO Connection.Kavar_SMS : ", kDash,
                              "SetTimer : ==> TimerIsActived = True", "VELMO STARTED"}))
        << Joined(log);

    // Every cycle tries the connection again: the database created now is used.
    InitDb();
    Enqueue(1, "09120000001", "late");
    EXPECT_TRUE(WaitUntil([&] { return SentItems() == 1; })) << Joined(Log());
    EXPECT_TRUE(StopService(svc));
}

TEST_F(VelmoTest, AStopDuringTheWaitForTheDatabaseEndsTheStartAtOnce) {
    WriteSettings();  // no database file
    SC_HANDLE svc = Install();
    ASSERT_NE(svc, nullptr);
    ASSERT_TRUE(WaitForLog(kDash));  // the first attempt has failed
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    ASSERT_TRUE(WaitFor(svc, SERVICE_STOPPED));
    const std::vector<std::string> log = Log();
    EXPECT_EQ(CountPrefix(log, "Exception in open"), 1u) << Joined(log);
    EXPECT_EQ(Count(log, "VELMO STARTED"), 0u) << Joined(log);
    EXPECT_EQ(log[log.size() - 2], "VELMO STOPED") << Joined(log);
    EXPECT_EQ(Status(svc).dwWin32ExitCode, 0u);
}

TEST_F(VelmoTest, AStopLetsTheRowBeingSentFinishAndLeavesTheRestPending) {
    if (NearMidnight()) GTEST_SKIP() << "the sending window is closed around midnight";
    WriteSettings();
    InitDb();
    for (int id = 1; id <= 5; ++id) Enqueue(id, "0912000000" + std::to_string(id), "text");
    sim_->SetDelay(1500);
    SC_HANDLE svc = Install();
    ASSERT_NE(svc, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return Sends() >= 1; }));  // a provider call is under way
    ASSERT_TRUE(StopService(svc));

    // The row in flight was recorded and moved; the connection was not pulled from under
    // it, and the cycle went no further.
    const size_t sends = Sends();
    EXPECT_LT(sends, 5u);
    EXPECT_EQ(SentItems(), static_cast<int>(sends));
    EXPECT_EQ(Pending(), 5 - static_cast<int>(sends));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Outbox_High_Auto WHERE ResultCode IS NOT NULL"), 0);
    const std::vector<std::string> log = Log();
    EXPECT_EQ(CountPrefix(log, "FinalizedSMS Failed"), 0u) << Joined(log);
    EXPECT_EQ(CountPrefix(log, "SendedSMSMoveToSendItem Failed"), 0u) << Joined(log);
    EXPECT_EQ(log[log.size() - 2], "VELMO STOPED") << Joined(log);
}

TEST_F(VelmoTest, AServiceKilledMidCycleReadsStoppedAndARestartFinishesTheWork) {
    if (NearMidnight()) GTEST_SKIP() << "the sending window is closed around midnight";
    WriteSettings();
    InitDb();
    const int rows = 8;
    for (int id = 1; id <= rows; ++id) Enqueue(id, "0912000000" + std::to_string(id), "text");
    sim_->SetDelay(300);
    SC_HANDLE svc = Install();
    ASSERT_NE(svc, nullptr);
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    ASSERT_TRUE(WaitUntil([&] { return Sends() >= 3; }));
    ASSERT_EQ(::kill(static_cast<pid_t>(Pid(svc)), SIGKILL), 0);
    ASSERT_TRUE(WaitFor(svc, SERVICE_STOPPED));
    EXPECT_EQ(Status(svc).dwWin32ExitCode, ERROR_PROCESS_ABORTED);

    // Every row is whole: in the outbox or in the sent items, never both or neither.
    const auto consistent = [&] {
        EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Outbox_High_Auto") + SentItems(), rows);
        EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Outbox_High_Auto o JOIN Sent_Item s ON "
                         "s.Mobile_Number = o.Mobile_Number"),
                  0);
    };
    consistent();

    sim_->SetDelay(0);
    ASSERT_TRUE(StartService(svc, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitUntil([&] { return Pending() == 0; })) << Joined(Log());
    ASSERT_TRUE(StopService(svc));
    consistent();
    // Nothing sent twice but, at most, the row whose answer the kill cut off.
    EXPECT_EQ(Scalar("SELECT COUNT(DISTINCT Mobile_Number) FROM Sent_Item"), SentItems());
    EXPECT_LE(Sends(), static_cast<size_t>(rows) + 1);
    // A row can stay behind only as accepted and fully recorded: the kill fell between
    // its update and its move.
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Outbox_High_Auto WHERE IFNULL(ResultCode,-1) <> 0 OR "
                     "IFNULL(SmsId,0) = 0"),
              0);
}

TEST_F(VelmoTest, PausedItSendsOnAndAShutdownEndsItWithoutTheStopLines) {
    if (NearMidnight()) GTEST_SKIP() << "the sending window is closed around midnight";
    WriteSettings();
    InitDb();
    SC_HANDLE svc = Install();
    ASSERT_NE(svc, nullptr);
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_PAUSE, &status));
    ASSERT_TRUE(WaitFor(svc, SERVICE_PAUSED));
    Enqueue(1, "09120000001", "while paused");
    EXPECT_TRUE(WaitUntil([&] { return SentItems() == 1; })) << Joined(Log());
    ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_CONTINUE, &status));
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));

    ASSERT_TRUE(StopService(svc, SERVICE_CONTROL_SHUTDOWN));
    EXPECT_EQ(Count(Log(), "VELMO STOPED"), 0u) << Joined(Log());
}

TEST_F(VelmoTest, AnErrorEscapingATickGoesToTheEventLogAndTheServiceRunsOn) {
    if (NearMidnight()) GTEST_SKIP() << "the sending window is closed around midnight";
    WriteSettings({{"ActiveTimeEnd", "2359"}});  // not a time: every tick raises
    InitDb();
    SC_HANDLE svc = Install();
    ASSERT_NE(svc, nullptr);
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    const auto entries = [&] {
        const std::string events = ReadFile(root_ + "/EventLog.log");
        size_t n = 0;
        for (size_t at = events.find("\tError\tVelmo\t"); at != std::string::npos;
             at = events.find("\tError\tVelmo\t", at + 1))
            ++n;
        return std::make_pair(n, events);
    };
    EXPECT_TRUE(WaitUntil([&] { return entries().first >= 2; })) << entries().second;
    EXPECT_NE(entries().second.find("2359"), std::string::npos) << entries().second;
    EXPECT_EQ(Status(svc).dwCurrentState, SERVICE_RUNNING);
    EXPECT_TRUE(StopService(svc));
}

}  // namespace
}  // namespace kavar::scm::testing
