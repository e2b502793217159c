#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "ScmSandbox.h"
#include "panel/servicemanager/ServicePresence.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using kavar::panel::IsProcessRunning;
using kavar::panel::IsServiceInstalled;
using kavar::panel::TServiceInfo;
using kavar::panel::TServiceManager;

class ServiceInstalledTest : public kavar::testing::ScmSandbox {
  protected:
    TServiceManager manager;
    TServiceInfo* svcInfo = nullptr;
};

TEST_F(ServiceInstalledTest, FindsTheServiceByKeyNameInAnyCase) {
    EXPECT_FALSE(IsServiceInstalled(manager, svcInfo));
    EXPECT_EQ(svcInfo, nullptr);
    EXPECT_TRUE(manager.Active());

    Register("VELMO");
    ASSERT_TRUE(IsServiceInstalled(manager, svcInfo));
    ASSERT_NE(svcInfo, nullptr);
    EXPECT_EQ(svcInfo->ServiceName(), "VELMO");
}

TEST_F(ServiceInstalledTest, DisplayNameDoesNotCount) {
    Register("KavarNotIt", "", "Velmo");
    svcInfo = reinterpret_cast<TServiceInfo*>(0x1);  // whatever an earlier call left
    EXPECT_FALSE(IsServiceInstalled(manager, svcInfo));
    EXPECT_EQ(svcInfo, nullptr);
}

TEST_F(ServiceInstalledTest, UnreachableManagerCountsAsNotInstalled) {
    Register("Velmo");
    manager.SetMachineName("elsewhere");
    EXPECT_FALSE(IsServiceInstalled(manager, svcInfo));
    EXPECT_EQ(svcInfo, nullptr);
}

// A copy of a small program under an upper-case name in a folder of its own.
class ProcessRunningTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string tag = std::to_string(::getpid());
        dir_ = fs::temp_directory_path() / ("svcwrap_procs_" + tag);
        fs::create_directories(dir_);
        name_ = "VELMO-PROBE-" + tag;
        fs::copy_file("/bin/sleep", dir_ / name_, fs::copy_options::overwrite_existing);
    }
    void TearDown() override {
        Stop();
        fs::remove_all(dir_);
    }

    void Start() {
        const std::string program = (dir_ / name_).string();
        char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("30"), nullptr};
        ASSERT_EQ(::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ), 0);
        // Until exec has happened the child still runs this test's program.
        for (int i = 0;
             i < 200 && fs::read_symlink("/proc/" + std::to_string(pid_) + "/exe") != dir_ / name_;
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
    static std::string Lower(std::string s) {
        std::transform(s.begin(), s.end(), s.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return s;
    }

    fs::path dir_;
    std::string name_;
    pid_t pid_ = 0;
};

TEST_F(ProcessRunningTest, MatchesFileNameOrWholePathInAnyCase) {
    EXPECT_FALSE(IsProcessRunning(Lower(name_)));  // only the file exists
    Start();
    EXPECT_TRUE(IsProcessRunning(Lower(name_)));
    EXPECT_TRUE(IsProcessRunning(Lower((dir_ / name_).string())));
    EXPECT_FALSE(IsProcessRunning(Lower(name_).substr(1)));
    EXPECT_FALSE(IsProcessRunning(dir_.string()));
    Stop();
    EXPECT_FALSE(IsProcessRunning(Lower(name_)));
}

}  // namespace
