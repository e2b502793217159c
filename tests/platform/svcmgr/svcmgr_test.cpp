// The service framework, through TestService processes: the install switches, the start,
// execute and stop sequence, pause, errors that escape, and the check point.
#include "platform/svcmgr/svcmgr.h"

#include <sys/stat.h>

#include <filesystem>

#include "platform/scm/scm_fixture.h"

namespace kavar::scm::testing {
namespace {

size_t Count(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
}

class SvcMgrTest : public ScmTest {
  protected:
    std::string EventLog() const { return ReadFile(root_ + "/EventLog.log"); }

    bool WaitForEvent(const std::string& text, size_t times = 1) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < until) {
            if (Count(EventLog(), text) >= times) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

TEST_F(SvcMgrTest, InstallSwitchesRegisterAndRemoveTheService) {
    // A program folder with a blank: the registered path must be quoted.
    const std::string folder = dir_ + "/Program Folder";
    std::filesystem::create_directories(folder);
    const std::string exe = folder + "/TestService";
    std::filesystem::copy_file(TestServicePath(), exe);
    ::chmod(exe.c_str(), 0755);

    RunResult r = RunProgram({exe, "-INSTALL", "--name=Velmo"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "Service Velmo installed successfully.\n");
    SC_HANDLE svc = Open("velmo");
    ASSERT_NE(svc, nullptr);
    DWORD needed = 0;
    QueryServiceConfig(svc, nullptr, 0, &needed);
    std::vector<std::max_align_t> buffer(needed / sizeof(std::max_align_t) + 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIG*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfig(svc, config, needed, &needed));
    EXPECT_EQ(config->dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(config->dwStartType, SERVICE_AUTO_START);
    EXPECT_EQ(config->dwErrorControl, SERVICE_ERROR_NORMAL);
    EXPECT_EQ(std::string(config->lpBinaryPathName), "\"" + exe + "\"");
    EXPECT_STREQ(config->lpDisplayName, "Velmo");
    EXPECT_STREQ(config->lpServiceStartName, "LocalSystem");
    EXPECT_STREQ(config->lpDependencies, "");

    // The registration starts as a service; failures are reported even when silent.
    ASSERT_TRUE(Start(svc)) << GetLastError();
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    r = RunProgram({exe, "/install", "SILENT", "--name=Velmo"});
    EXPECT_EQ(r.exitCode, ERROR_SERVICE_EXISTS & 0xFF);
    EXPECT_NE(r.output.find(SystemErrorMessage(ERROR_SERVICE_EXISTS)), std::string::npos)
        << r.output;
    ASSERT_TRUE(Stop(svc));

    r = RunProgram({exe, "/Uninstall", "-silent", "--name=Velmo"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(Open("Velmo"), nullptr);
    r = RunProgram({exe, "-uninstall", "--name=Velmo"});
    EXPECT_EQ(r.exitCode, ERROR_SERVICE_DOES_NOT_EXIST & 0xFF);
}

TEST_F(SvcMgrTest, MainThreadTimersTickOnWhileTheServiceIsPaused) {
    SC_HANDLE svc = Register("T", "--tick-ms=20");
    ASSERT_TRUE(Start(svc));
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_PAUSE, &status));
    ASSERT_TRUE(WaitFor(svc, SERVICE_PAUSED));
    const size_t ticks = Count(Trace("T"), "tick\n");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Count(Trace("T"), "tick\n") < ticks + 3 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GE(Count(Trace("T"), "tick\n"), ticks + 3);
    EXPECT_EQ(Status(svc).dwCurrentState, SERVICE_PAUSED);
    // A stop ends a pause too.
    EXPECT_TRUE(ControlService(svc, SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(WaitFor(svc, SERVICE_STOPPED));
    EXPECT_EQ(Count(Trace("T"), "stop\n"), 1u);
}

TEST_F(SvcMgrTest, AnErrorEscapingATickIsLoggedAndTheServiceKeepsRunning) {
    SC_HANDLE svc = Register("T", "--tick-ms=20 --throw-tick");
    ASSERT_TRUE(Start(svc));
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    const size_t before = Count(EventLog(), "\tError\tT\ttick failed\n");
    EXPECT_TRUE(WaitForEvent("\tError\tT\ttick failed\n", before + 2));
    EXPECT_EQ(Status(svc).dwCurrentState, SERVICE_RUNNING);
    EXPECT_TRUE(Stop(svc));
}

TEST_F(SvcMgrTest, FailedStartsAndExecutesEndTheServiceWithTheirReason) {
    struct Case {
        const char* options;
        const char* event;  // null: nothing logged
        DWORD exitCode;
    };
    const Case cases[] = {
        {"--throw=start", "Service failed on start: TestService failed in start",
         ERROR_EXCEPTION_IN_SERVICE},
        {"--throw=running", "Service failed on execute: TestService failed in running",
         ERROR_EXCEPTION_IN_SERVICE},
        {"--fail-start", nullptr, ERROR_SUCCESS},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string name = "S" + std::to_string(++n);
        SC_HANDLE svc = Register(name, c.options);
        ASSERT_TRUE(Start(svc));
        ASSERT_TRUE(WaitFor(svc, SERVICE_STOPPED));
        EXPECT_EQ(Status(svc).dwWin32ExitCode, c.exitCode);
        if (c.event != nullptr) {
            EXPECT_NE(EventLog().find("\tError\t" + name + "\t" + c.event), std::string::npos)
                << EventLog();
        } else {
            EXPECT_EQ(EventLog().find("\t" + name + "\t"), std::string::npos);
        }
    }
}

TEST_F(SvcMgrTest, StopShutdownAndCustomControlsReachTheirHooks) {
    SC_HANDLE stubborn = Register("Stubborn", "--refuse-stop");
    SC_HANDLE svc = Register("T");
    ASSERT_TRUE(Start(stubborn));
    ASSERT_TRUE(Start(svc));
    ASSERT_TRUE(WaitFor(stubborn, SERVICE_RUNNING));
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(stubborn, SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(WaitForTrace("Stubborn", "stop"));
    EXPECT_TRUE(WaitFor(stubborn, SERVICE_RUNNING));

    ASSERT_TRUE(ControlService(svc, 200, &status));
    EXPECT_TRUE(WaitForTrace("T", "control 200"));
    ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_SHUTDOWN, &status));
    ASSERT_TRUE(WaitFor(svc, SERVICE_STOPPED));
    EXPECT_NE(Trace("T").find("shutdown\n"), std::string::npos);
    EXPECT_EQ(Trace("T").find("stop\n"), std::string::npos);  // no stop hook on shutdown
}

TEST_F(SvcMgrTest, ALongStartReportsProgressAndCanBeStoppedWhenAllowed) {
    SC_HANDLE svc = Register("Slow", "--start-ms=60000 --stop-while-starting --wait-hint=3000");
    ASSERT_TRUE(Start(svc));
    ASSERT_TRUE(WaitForTrace("Slow", "start"));
    // The check point rises while the start works.
    SERVICE_STATUS first = Status(svc);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    SERVICE_STATUS later = first;
    while (later.dwCheckPoint <= first.dwCheckPoint && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        later = Status(svc);
    }
    EXPECT_EQ(later.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_GT(later.dwCheckPoint, first.dwCheckPoint);
    EXPECT_EQ(later.dwWaitHint, 3000u);
    EXPECT_EQ(later.dwControlsAccepted, SERVICE_ACCEPT_STOP);

    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
    ASSERT_TRUE(WaitFor(svc, SERVICE_STOPPED));
    EXPECT_EQ(Trace("Slow"), "args\nstart\nstarted\nexecute\nstop\n");
}

}  // namespace
}  // namespace kavar::scm::testing
