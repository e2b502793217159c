// A private service-manager root per test, TestService registration and process helpers.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/scm/scm.h"

namespace kavar::scm::testing {

inline std::string BinDir() { return KAVAR_BIN_DIR; }
inline std::string TestServicePath() { return BinDir() + "/TestService"; }

struct RunResult {
    int exitCode = -1;
    std::string output;
};

// Runs a program with its output captured (stdout and stderr together).
inline RunResult RunProgram(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    RunResult result;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, n);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ScmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kavar-scm-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        root_ = dir_ + "/root";
        ::setenv("KAVAR_SCM_ROOT", root_.c_str(), 1);
        manager_ = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager_, nullptr) << GetLastError();
    }

    void TearDown() override {
        // No service of a test may outlive it.
        for (const auto& pid : StartedPids()) ::kill(pid, SIGKILL);
        for (SC_HANDLE h : handles_) CloseServiceHandle(h);
        if (manager_ != nullptr) CloseServiceHandle(manager_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        ::unsetenv("KAVAR_SCM_ROOT");
        ::unsetenv("KAVAR_SCM_START_TIMEOUT_MS");
    }

    std::vector<pid_t> StartedPids() {
        std::vector<pid_t> pids;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(root_ + "/run", ec)) {
            std::ifstream in(entry.path() / "status");
            std::string line;
            while (std::getline(in, line)) {
                if (line.rfind("Pid=", 0) == 0 && std::atoi(line.c_str() + 4) > 0) {
                    pids.push_back(std::atoi(line.c_str() + 4));
                }
            }
        }
        return pids;
    }

    SC_HANDLE Keep(SC_HANDLE h) {
        if (h != nullptr) handles_.push_back(h);
        return h;
    }

    // Registers TestService under `name` with the given options on its command line.
    SC_HANDLE Register(const std::string& name, const std::string& options = "",
                       DWORD startType = SERVICE_DEMAND_START, const char* dependencies = nullptr,
                       const char* display = nullptr) {
        const std::string path = "\"" + TestServicePath() + "\" --name=" + name +
                                 " --trace=" + TracePath(name) +
                                 (options.empty() ? "" : " " + options);
        return Keep(CreateService(manager_, name.c_str(), display, SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                  path.c_str(), nullptr, nullptr, dependencies, nullptr, nullptr));
    }

    SC_HANDLE Open(const std::string& name, DWORD access = SERVICE_ALL_ACCESS) {
        return Keep(OpenService(manager_, name.c_str(), access));
    }

    std::string TracePath(const std::string& name) const { return dir_ + "/" + name + ".trace"; }
    std::string Trace(const std::string& name) const { return ReadFile(TracePath(name)); }

    SERVICE_STATUS Status(SC_HANDLE service) {
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(service, &status)) << GetLastError();
        return status;
    }

    DWORD Pid(SC_HANDLE service) {
        SERVICE_STATUS_PROCESS p{};
        DWORD needed = 0;
        EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, &p, sizeof p, &needed));
        return p.dwProcessId;
    }

    // Waits (bounded, generously: the machine is shared) until the service is in `state`.
    bool WaitFor(SC_HANDLE service, DWORD state, int seconds = 30) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            if (Status(service).dwCurrentState == state) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Waits until the trace of `name` contains `line`.
    bool WaitForTrace(const std::string& name, const std::string& line, int seconds = 30) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            if (Trace(name).find(line + "\n") != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    bool Start(SC_HANDLE service) { return StartService(service, 0, nullptr); }

    // Stops a service once it runs (a start-pending one would refuse the request).
    bool Stop(SC_HANDLE service) {
        SERVICE_STATUS status{};
        return WaitFor(service, SERVICE_RUNNING) &&
               ControlService(service, SERVICE_CONTROL_STOP, &status) &&
               WaitFor(service, SERVICE_STOPPED);
    }

    std::string dir_;
    std::string root_;
    SC_HANDLE manager_ = nullptr;
    std::vector<SC_HANDLE> handles_;
};

}  // namespace kavar::scm::testing
