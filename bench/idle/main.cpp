// bench_idle: what an idle Velmo costs.
//
// A temp program folder (Velmo, Net, KavarSetup, KavarConfig.ini with sending on,
// TimerDelay 60, an embedded database with an empty outbox) and a temp service-manager
// root. `Velmo -install` registers and starts the service; once it runs, it is left alone
// for the span (default 10 s) while its resident memory is sampled; its CPU time (user +
// system, all threads) over the span comes from /proc/<pid>/stat. Then it is stopped and
// removed and the folders are deleted.
//
//   bench_idle [SECONDS]
// Output: "pid: N", "vm_hwm_mb: N" (peak since the process began, start included),
// "rss_mb: N" (largest resident size seen during the span) and last "idle_cpu_ms: N".
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/scm/scm.h"

namespace fs = std::filesystem;
using namespace kavar::scm;

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "bench_idle: %s\n", what.c_str());
    std::exit(1);
}

// Runs a program, its output discarded unless it fails.
void Run(const std::vector<std::string>& args) {
    std::string command;
    for (const auto& a : args) command += "'" + a + "' ";
    command += ">/tmp/bench_idle.out 2>&1";
    if (std::system(command.c_str()) != 0) {
        std::ifstream in("/tmp/bench_idle.out");
        std::stringstream s;
        s << in.rdbuf();
        Fail("failed: " + command + "\n" + s.str());
    }
}

// utime + stime of all the process's threads, in clock ticks.
long long CpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) Fail("cannot read /proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // After the command: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::atoll(field.c_str());
        if (i == 15) stime = std::atoll(field.c_str());
    }
    return utime + stime;
}

// A "Vm...:  N kB" value of /proc/<pid>/status, in kB.
long StatusKb(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
    return 0;
}

bool WaitFor(SC_HANDLE service, DWORD state, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    SERVICE_STATUS status{};
    while (std::chrono::steady_clock::now() < until) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == state) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    char pattern[] = "/tmp/kavar-bench-idle-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) Fail("mkdtemp");
    const std::string dir = pattern, prog = dir + "/prog", root = dir + "/root";
    fs::create_directories(prog);
    ::setenv("KAVAR_SCM_ROOT", root.c_str(), 1);
    for (const char* program : {"Velmo", "Net", "KavarSetup"})
        fs::copy_file(std::string(KAVAR_BIN_DIR) + "/" + program, prog + "/" + program);

    const std::string setup = prog + "/KavarSetup";
    Run({setup, "--dir", prog, "settings", "SMS_PanelUser=user", "SMS_PanelPass=pass",
         "SMS_NormalNumber=30001234", "SQL_ServerName=sqlite:", "SQL_DBName=Kavar_SMS",
         "AutoSendSMS=1", "TimerDelay=60", "SVCKAVARSMS=1", "ActiveTimeStart=00:00",
         "ActiveTimeEnd=23:59", "Provider.EndpointURL=http://127.0.0.1:9/SendService.svc"});
    Run({setup, "--dir", prog, "initdb"});
    Run({prog + "/Velmo", "-install", "SILENT"});

    SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenService(manager, "Velmo", SERVICE_ALL_ACCESS) : nullptr;
    if (service == nullptr) Fail("Velmo is not installed: " + SystemErrorMessage(GetLastError()));
    if (!WaitFor(service, SERVICE_RUNNING, 60)) Fail("Velmo did not start");
    SERVICE_STATUS_PROCESS info{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, &info, sizeof info, &needed);
    const pid_t pid = static_cast<pid_t>(info.dwProcessId);
    // Let the start settle (its progress reporter ends, the first log lines are out).
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    const long long before = CpuTicks(pid);
    long rssKb = StatusKb(pid, "VmRSS");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        rssKb = std::max(rssKb, StatusKb(pid, "VmRSS"));
    }
    const long long after = CpuTicks(pid);
    const long hwmKb = StatusKb(pid, "VmHWM");

    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    if (!WaitFor(service, SERVICE_STOPPED, 30)) ::kill(pid, SIGKILL);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    Run({prog + "/Velmo", "-uninstall", "SILENT"});
    std::error_code ec;
    fs::remove_all(dir, ec);

    const long long cpuMs = (after - before) * 1000 / ::sysconf(_SC_CLK_TCK);
    std::printf("pid: %d\nseconds: %d\nvm_hwm_mb: %.1f\nrss_mb: %.1f\nidle_cpu_ms: %lld\n",
                static_cast<int>(pid), seconds, hwmKb / 1024.0, rssKb / 1024.0, cpuMs);
    return 0;
}
