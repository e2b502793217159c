// A private service database for one test program: a temp manager root set before the
// first manager call, services registered straight through the manager, and every process
// they started killed and every registration removed at the end of each test.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/scm/scm.h"

namespace kavar::testing {

class ScmSandbox : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root_ =
            std::filesystem::temp_directory_path() / ("svcwrap_scm_" + std::to_string(::getpid()));
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
        ::setenv("KAVAR_SCM_ROOT", root_.c_str(), 1);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(root_); }

    void TearDown() override {
        using namespace kavar::scm;
        SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr) << GetLastError();
        for (const std::string& name : registered_) {
            SC_HANDLE service = OpenService(manager, name.c_str(), SERVICE_ALL_ACCESS);
            if (!service) continue;  // the test removed it itself
            SERVICE_STATUS_PROCESS status{};
            DWORD needed = 0;
            if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, &status, sizeof status,
                                     &needed) &&
                status.dwProcessId != 0)
                ::kill(static_cast<pid_t>(status.dwProcessId), SIGKILL);
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }

    // Registers TestService under name, with its options appended to the command line.
    // A short wait hint keeps the wrapper's waits short.
    void Register(const std::string& name, const std::string& options = "",
                  const std::string& displayName = "", const char* dependencies = nullptr) {
        using namespace kavar::scm;
        SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr) << GetLastError();
        const std::string command = std::string("\"") + KAVAR_BIN_DIR +
                                    "/TestService\" --name=" + name + " --wait-hint=100 " + options;
        SC_HANDLE service = CreateService(
            manager, name.c_str(), displayName.empty() ? name.c_str() : displayName.c_str(),
            SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
            SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, dependencies, nullptr,
            nullptr);
        ASSERT_NE(service, nullptr) << "CreateService " << name << ": " << GetLastError();
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        registered_.push_back(name);
    }

    // Removes a registration behind the wrapper's back.
    static void Unregister(const std::string& name) {
        using namespace kavar::scm;
        SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenService(manager, name.c_str(), SERVICE_ALL_ACCESS);
        ASSERT_NE(service, nullptr) << GetLastError();
        ASSERT_TRUE(DeleteService(service)) << GetLastError();
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }

    static std::string Root() { return root_.string(); }

  private:
    static inline std::filesystem::path root_;
    std::vector<std::string> registered_;
};

}  // namespace kavar::testing
