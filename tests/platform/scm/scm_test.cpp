// The service manager stand-in with real service processes (TestService) under a private
// root: registration, lookup, errors, the size protocols, the database lock, access, and
// states that stay truthful when a process crashes, hangs or is started twice.
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/scm/scm_fixture.h"

namespace kavar::scm::testing {
namespace {

using Buffer = std::vector<std::max_align_t>;

Buffer Bytes(DWORD size) { return Buffer(size / sizeof(std::max_align_t) + 1); }

TEST_F(ScmTest, RegistrationIsStoredAndChangedPieceByPiece) {
    const char deps[] = "Other\0+SomeGroup\0";
    ASSERT_NE(Register("Other"), nullptr);
    SC_HANDLE svc = Register("Velmo", "", SERVICE_AUTO_START, deps, "Kavar Sender");
    ASSERT_NE(svc, nullptr) << GetLastError();

    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceConfig(svc, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    Buffer small = Bytes(needed - 1);
    EXPECT_FALSE(QueryServiceConfig(svc, reinterpret_cast<QUERY_SERVICE_CONFIG*>(small.data()),
                                    needed - 1, &needed));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    Buffer buffer = Bytes(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIG*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfig(svc, config, needed, &needed));
    EXPECT_EQ(config->dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(config->dwStartType, SERVICE_AUTO_START);
    EXPECT_EQ(config->dwErrorControl, SERVICE_ERROR_NORMAL);
    EXPECT_STREQ(config->lpDisplayName, "Kavar Sender");
    EXPECT_STREQ(config->lpServiceStartName, "LocalSystem");
    EXPECT_NE(std::string(config->lpBinaryPathName).find("TestService\" --name=Velmo"),
              std::string::npos);
    EXPECT_EQ(std::string(config->lpDependencies, sizeof deps - 1),
              std::string(deps, sizeof deps - 1));

    // NO_CHANGE and null keep a value; the delayed flag is its own setting.
    ASSERT_TRUE(ChangeServiceConfig(svc, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    SERVICE_DELAYED_AUTO_START_INFO delayed{1};
    ASSERT_TRUE(ChangeServiceConfig2(svc, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed));
    delayed.fDelayedAutostart = 0;
    ASSERT_TRUE(QueryServiceConfig2(svc, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed));
    EXPECT_EQ(delayed.fDelayedAutostart, 1);
    ASSERT_TRUE(QueryServiceConfig(svc, config, needed, &needed));
    EXPECT_EQ(config->dwStartType, SERVICE_DISABLED);
    EXPECT_STREQ(config->lpDisplayName, "Kavar Sender");

    // Never started: stopped with the "never started" exit code.
    const SERVICE_STATUS status = Status(svc);
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, ERROR_SERVICE_NEVER_STARTED);
}

TEST_F(ScmTest, KeyNamesMatchInAnyAsciiCaseDisplayNamesDoNot) {
    ASSERT_NE(Register("Velmo", "", SERVICE_DEMAND_START, nullptr, "Kavar Sender"), nullptr);
    EXPECT_NE(Open("VELMO"), nullptr);
    EXPECT_NE(Open("velmo"), nullptr);
    EXPECT_EQ(Open("Kavar Sender"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(Register("vELMO"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);

    DWORD needed = 0, count = 0, resume = 0;
    Buffer buffer = Bytes(4096);
    auto* list = reinterpret_cast<ENUM_SERVICE_STATUS*>(buffer.data());
    ASSERT_TRUE(EnumServicesStatus(manager_, SERVICE_WIN32, SERVICE_STATE_ALL, list, 4096, &needed,
                                   &count, &resume));
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(list[0].lpServiceName, "Velmo");  // the case it was registered in
    EXPECT_STREQ(list[0].lpDisplayName, "Kavar Sender");
}

TEST_F(ScmTest, FailuresCarryTheSystemErrorCodes) {
    ASSERT_NE(Register("Velmo", "", SERVICE_DEMAND_START, nullptr, "Kavar Sender"), nullptr);
    const auto create = [&](const char* name, const char* display, DWORD type, DWORD start,
                            const char* path, const char* deps) {
        SC_HANDLE h = Keep(CreateService(manager_, name, display, SERVICE_ALL_ACCESS, type, start,
                                         SERVICE_ERROR_NORMAL, path, nullptr, nullptr, deps,
                                         nullptr, nullptr));
        return h == nullptr ? GetLastError() : ERROR_SUCCESS;
    };
    const DWORD own = SERVICE_WIN32_OWN_PROCESS;
    const DWORD demand = SERVICE_DEMAND_START;
    EXPECT_EQ(create("a/b", nullptr, own, demand, "/bin/true", nullptr), ERROR_INVALID_NAME);
    EXPECT_EQ(create("", nullptr, own, demand, "/bin/true", nullptr), ERROR_INVALID_NAME);
    EXPECT_EQ(create("X", "kavar sender", own, demand, "/bin/true", nullptr),
              ERROR_DUPLICATE_SERVICE_NAME);
    EXPECT_EQ(create("Y", "velmo", own, demand, "/bin/true", nullptr),
              ERROR_DUPLICATE_SERVICE_NAME);
    EXPECT_EQ(create("X", nullptr, 0x1, demand, "/bin/true", nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(create("X", nullptr, own, SERVICE_BOOT_START, "/bin/true", nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(create("X", nullptr, own, demand, "", nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(create("X", nullptr, own, demand, "/bin/true", "X\0"), ERROR_CIRCULAR_DEPENDENCY);

    EXPECT_EQ(Open("Nothing"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(OpenSCManager("\\\\elsewhere", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RPC_SERVER_UNAVAILABLE);

    SERVICE_STATUS status{};
    EXPECT_FALSE(QueryServiceStatus(reinterpret_cast<SC_HANDLE>(manager_), &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SC_HANDLE readOnly = Open("Velmo", SERVICE_QUERY_STATUS);
    EXPECT_FALSE(StartService(readOnly, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    SC_HANDLE velmo = Open("Velmo");
    EXPECT_FALSE(ControlService(velmo, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    ASSERT_TRUE(ChangeServiceConfig(velmo, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(Start(velmo));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DISABLED);
    EXPECT_EQ(Trace("Velmo"), "");  // nothing was launched

    SC_HANDLE missing = Keep(CreateService(
        manager_, "Gone", nullptr, SERVICE_ALL_ACCESS, own, demand, SERVICE_ERROR_NORMAL,
        "/nonexistent/Gone.exe --x", nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(missing, nullptr);
    EXPECT_FALSE(Start(missing));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(SystemErrorMessage(ERROR_SERVICE_DISABLED),
              "The service cannot be started, either because it is disabled or because it has no "
              "enabled devices associated with it.");
    EXPECT_EQ(SystemErrorMessage(4242), "Unknown error 4242.");
}

TEST_F(ScmTest, EnumerationHandsOutWhatFitsAndTellsWhatIsMissing) {
    for (const char* name : {"Charlie", "alpha", "Bravo"}) ASSERT_NE(Register(name), nullptr);
    DWORD needed = 0, count = 0, resume = 0;
    EXPECT_FALSE(EnumServicesStatus(manager_, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                                    &count, &resume));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    const DWORD total = needed;

    // Room for about one entry: the first comes back, the resume handle continues.
    const DWORD oneEntry = sizeof(ENUM_SERVICE_STATUS) + 16;
    Buffer buffer = Bytes(total);
    auto* list = reinterpret_cast<ENUM_SERVICE_STATUS*>(buffer.data());
    resume = 0;
    EXPECT_FALSE(EnumServicesStatus(manager_, SERVICE_WIN32, SERVICE_STATE_ALL, list, oneEntry,
                                    &needed, &count, &resume));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(list[0].lpServiceName, "alpha");
    EXPECT_LT(needed, total);
    std::vector<std::string> names{list[0].lpServiceName};
    while (!EnumServicesStatus(manager_, SERVICE_WIN32, SERVICE_STATE_ALL, list, oneEntry, &needed,
                               &count, &resume)) {
        ASSERT_EQ(GetLastError(), ERROR_MORE_DATA);
        ASSERT_EQ(count, 1u);
        names.push_back(list[0].lpServiceName);
    }
    names.push_back(list[0].lpServiceName);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Bravo", "Charlie"}));

    resume = 0;
    ASSERT_TRUE(EnumServicesStatus(manager_, SERVICE_WIN32, SERVICE_STATE_ALL, list, total, &needed,
                                   &count, &resume));
    EXPECT_EQ(count, 3u);
    // Filters: none is running.
    EXPECT_TRUE(EnumServicesStatus(manager_, SERVICE_WIN32, SERVICE_ACTIVE, nullptr, 0, &needed,
                                   &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(
        EnumServicesStatus(manager_, SERVICE_WIN32, 0, list, total, &needed, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ScmTest, ServiceRunsThroughItsStatesWithItsArguments) {
    SC_HANDLE svc = Register("Velmo");
    ASSERT_NE(svc, nullptr);
    const char* args[] = {"one", "two words"};
    ASSERT_TRUE(StartService(svc, 2, args)) << GetLastError();
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    EXPECT_TRUE(WaitForTrace("Velmo", "args one two words"));
    EXPECT_EQ(Status(svc).dwControlsAccepted,
              SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN);
    const DWORD pid = Pid(svc);
    EXPECT_GT(pid, 0u);
    EXPECT_EQ(::kill(static_cast<pid_t>(pid), 0), 0);

    EXPECT_FALSE(Start(svc));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);

    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_PAUSE, &status));
    ASSERT_TRUE(WaitFor(svc, SERVICE_PAUSED));
    ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_PAUSED);
    ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_CONTINUE, &status));
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(status.dwCurrentState == SERVICE_STOP_PENDING ||
                status.dwCurrentState == SERVICE_STOPPED);
    ASSERT_TRUE(WaitFor(svc, SERVICE_STOPPED));
    EXPECT_EQ(Status(svc).dwWin32ExitCode, ERROR_SUCCESS);
    EXPECT_EQ(Pid(svc), 0u);
    EXPECT_EQ(Trace("Velmo"),
              "args one two words\nstart\nstarted\nexecute\npause\ncontinue\nstop\n");

    // A stopped service starts again.
    ASSERT_TRUE(Start(svc)) << GetLastError();
    EXPECT_TRUE(Stop(svc));
}

TEST_F(ScmTest, ControlsTheServiceDoesNotAcceptAreRefused) {
    SC_HANDLE fixed = Register("Fixed", "--no-stop --no-pause");
    SC_HANDLE slow = Register("Slow", "--start-ms=60000");
    ASSERT_TRUE(Start(fixed));
    ASSERT_TRUE(WaitFor(fixed, SERVICE_RUNNING));
    ASSERT_TRUE(Start(slow));
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(fixed, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);  // the status comes back anyway
    EXPECT_FALSE(ControlService(fixed, SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_FALSE(ControlService(fixed, 42, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ControlService(slow, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_EQ(status.dwCurrentState, SERVICE_START_PENDING);
    // Shutdown is accepted by every running service built on the framework.
    ASSERT_TRUE(ControlService(fixed, SERVICE_CONTROL_SHUTDOWN, &status));
    EXPECT_TRUE(WaitFor(fixed, SERVICE_STOPPED));
}

TEST_F(ScmTest, ADeadProcessReadsAsStoppedAndCanBeStartedAgain) {
    SC_HANDLE svc = Register("Velmo");
    ASSERT_TRUE(Start(svc));
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    ASSERT_EQ(::kill(static_cast<pid_t>(Pid(svc)), SIGKILL), 0);
    ASSERT_TRUE(WaitFor(svc, SERVICE_STOPPED));
    EXPECT_EQ(Status(svc).dwWin32ExitCode, ERROR_PROCESS_ABORTED);
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(svc, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    ASSERT_TRUE(Start(svc)) << GetLastError();
    EXPECT_TRUE(WaitFor(svc, SERVICE_RUNNING));

    // A crash while start-pending, after the process connected.
    SC_HANDLE crash = Register("Crash", "--crash=start");
    ASSERT_TRUE(Start(crash)) << GetLastError();
    ASSERT_TRUE(WaitFor(crash, SERVICE_STOPPED));
    EXPECT_EQ(Status(crash).dwWin32ExitCode, ERROR_PROCESS_ABORTED);
}

TEST_F(ScmTest, AProcessThatNeverConnectsFailsTheStartAndIsKilled) {
    ::setenv("KAVAR_SCM_START_TIMEOUT_MS", "1500", 1);
    SC_HANDLE silent = Register("Silent", "--no-connect");
    EXPECT_FALSE(Start(silent));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(Status(silent).dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(Status(silent).dwWin32ExitCode, ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_TRUE(StartedPids().empty());

    SC_HANDLE quitter = Register("Quitter", "--exit-now=0");
    EXPECT_FALSE(Start(quitter));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(Status(quitter).dwCurrentState, SERVICE_STOPPED);
}

TEST_F(ScmTest, OnlyOneOfConcurrentStartsLaunchesTheService) {
    SC_HANDLE svc = Register("Velmo");
    ASSERT_NE(svc, nullptr);
    std::atomic<int> started{0}, running{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT);
            SC_HANDLE own = OpenService(manager, "Velmo", SERVICE_START);
            if (StartService(own, 0, nullptr)) {
                ++started;
            } else if (GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
                ++running;
            }
            CloseServiceHandle(own);
            CloseServiceHandle(manager);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(started, 1);
    EXPECT_EQ(running, 3);
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    EXPECT_EQ(Trace("Velmo").find("start\n"), Trace("Velmo").rfind("start\n"));
}

TEST_F(ScmTest, TheDatabaseLockBlocksStartsAndDiesWithItsHolder) {
    SC_HANDLE svc = Register("Velmo");
    SC_LOCK lock = LockServiceDatabase(manager_);
    ASSERT_NE(lock, nullptr) << GetLastError();
    EXPECT_EQ(LockServiceDatabase(manager_), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DATABASE_LOCKED);
    EXPECT_FALSE(Start(svc));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DATABASE_LOCKED);
    ASSERT_TRUE(UnlockServiceDatabase(lock));
    EXPECT_FALSE(UnlockServiceDatabase(lock));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_LOCK);

    SC_HANDLE noLockRight = Keep(OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT));
    EXPECT_EQ(LockServiceDatabase(noLockRight), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    // A holder that dies leaves no lock behind.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        SC_HANDLE m = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        const char ok = LockServiceDatabase(m) != nullptr ? 1 : 0;
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(LockServiceDatabase(manager_), nullptr);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    lock = LockServiceDatabase(manager_);
    EXPECT_NE(lock, nullptr);
    UnlockServiceDatabase(lock);
    ASSERT_TRUE(Start(svc));
}

TEST_F(ScmTest, DeletingARunningServiceRemovesItWhenItStops) {
    SC_HANDLE svc = Register("Velmo");
    ASSERT_TRUE(Start(svc));
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    ASSERT_TRUE(DeleteService(svc));
    EXPECT_FALSE(DeleteService(svc));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_EQ(Register("Velmo"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_FALSE(ChangeServiceConfig(svc, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);

    // Still there to be stopped, through a new handle too (the uninstall's "Net Stop").
    SC_HANDLE again = Open("velmo", SERVICE_STOP | SERVICE_QUERY_STATUS);
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(Stop(again));
    EXPECT_EQ(Open("Velmo"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    DWORD needed = 0, count = 0;
    EXPECT_TRUE(EnumServicesStatus(manager_, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                                   &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_NE(Register("Velmo"), nullptr) << GetLastError();
}

TEST_F(ScmTest, DependenciesStartFirstAndHoldTheirDependentsBack) {
    ASSERT_NE(Register("Base"), nullptr);
    SC_HANDLE top = Register("Top", "", SERVICE_DEMAND_START, "base\0");
    ASSERT_NE(top, nullptr);
    SC_HANDLE base = Open("Base");
    // A dependency that would close a circle is refused.
    EXPECT_FALSE(ChangeServiceConfig(base, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     nullptr, nullptr, nullptr, "Top\0", nullptr, nullptr,
                                     nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CIRCULAR_DEPENDENCY);

    DWORD needed = 0, count = 0;
    EXPECT_FALSE(EnumDependentServices(base, SERVICE_STATE_ALL, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    Buffer buffer = Bytes(needed);
    auto* list = reinterpret_cast<ENUM_SERVICE_STATUS*>(buffer.data());
    ASSERT_TRUE(EnumDependentServices(base, SERVICE_STATE_ALL, list, needed, &needed, &count));
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(list[0].lpServiceName, "Top");
    EXPECT_TRUE(EnumDependentServices(top, SERVICE_STATE_ALL, nullptr, 0, &needed, &count));
    EXPECT_EQ(count, 0u);

    ASSERT_TRUE(Start(top)) << GetLastError();
    EXPECT_NE(Status(base).dwCurrentState, SERVICE_STOPPED);
    ASSERT_TRUE(WaitFor(base, SERVICE_RUNNING));
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(base, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_DEPENDENT_SERVICES_RUNNING);
    ASSERT_TRUE(Stop(top));
    ASSERT_TRUE(Stop(base));

    ASSERT_TRUE(ChangeServiceConfig(base, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(Start(top));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DEPENDENCY_FAIL);
}

TEST_F(ScmTest, ChangesNeedWriteAccessToTheRoot) {
    ASSERT_NE(Register("Velmo"), nullptr);
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    // Runs the checks in a child without write access: as nobody when we are root (root may
    // write anywhere), else with the root made read-only.
    const bool asRoot = ::geteuid() == 0;
    if (!asRoot) {
        ASSERT_EQ(::chmod(root_.c_str(), 0555), 0);
    }
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (asRoot &&
            (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)) {
            ::_exit(99);
        }
        DWORD codes[6] = {};
        SC_HANDLE all = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        codes[0] = all == nullptr ? GetLastError() : 0;
        SC_HANDLE reader =
            OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
        codes[1] = reader == nullptr ? GetLastError() : 0;
        SC_HANDLE query = OpenService(reader, "Velmo", SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
        codes[2] = query == nullptr ? GetLastError() : 0;
        SC_HANDLE start = OpenService(reader, "Velmo", SERVICE_START);
        codes[3] = start == nullptr ? GetLastError() : 0;
        codes[4] = ReportEvent("Velmo", EVENTLOG_ERROR_TYPE, "x") ? 0 : GetLastError();
        DWORD needed = 0, count = 0;
        codes[5] = EnumServicesStatus(reader, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                                      &count, nullptr)
                       ? 0
                       : GetLastError();
        (void)!::write(report[1], codes, sizeof codes);
        ::_exit(0);
    }
    DWORD codes[6] = {};
    ASSERT_EQ(::read(report[0], codes, sizeof codes), static_cast<ssize_t>(sizeof codes));
    ::waitpid(child, nullptr, 0);
    if (!asRoot) ::chmod(root_.c_str(), 0755);
    EXPECT_EQ(codes[0], ERROR_ACCESS_DENIED);
    EXPECT_EQ(codes[1], ERROR_SUCCESS);
    EXPECT_EQ(codes[2], ERROR_SUCCESS);
    EXPECT_EQ(codes[3], ERROR_ACCESS_DENIED);
    EXPECT_EQ(codes[4], ERROR_ACCESS_DENIED);
    EXPECT_EQ(codes[5], ERROR_MORE_DATA);  // reading the list needs no write access
}

TEST_F(ScmTest, OnlyAProcessStartedByTheManagerConnects) {
    static const SERVICE_TABLE_ENTRY table[] = {{"Velmo", [](DWORD, char**) {}},
                                                {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcher(table));
    EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    // Inheriting the environment of a service is not enough: the descriptors must match.
    ::setenv("KAVAR_SCM_SERVICE", "Velmo", 1);
    ::setenv("KAVAR_SCM_LOCKFD", "0", 1);
    ::setenv("KAVAR_SCM_READYFD", "1", 1);
    EXPECT_FALSE(StartServiceCtrlDispatcher(table));
    EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    ::unsetenv("KAVAR_SCM_SERVICE");
    ::unsetenv("KAVAR_SCM_LOCKFD");
    ::unsetenv("KAVAR_SCM_READYFD");

    const RunResult run = RunProgram({TestServicePath()});
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.output.find(SystemErrorMessage(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)),
              std::string::npos);
}

TEST_F(ScmTest, EventLogEntriesStayOneLineEach) {
    ASSERT_TRUE(ReportEvent("Velmo", EVENTLOG_ERROR_TYPE, "first\nsecond"));
    ASSERT_TRUE(ReportEvent("Velmo", EVENTLOG_INFORMATION_TYPE, "third"));
    EXPECT_FALSE(ReportEvent("Velmo", 99, "x"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const std::string log = ReadFile(root_ + "/EventLog.log");
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\tError\tVelmo\tfirst\\nsecond"), std::string::npos);
    EXPECT_NE(lines[1].find("\tInformation\tVelmo\tthird"), std::string::npos);
}

}  // namespace
}  // namespace kavar::scm::testing
