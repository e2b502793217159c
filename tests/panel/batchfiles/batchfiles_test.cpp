// The four batch files: their bytes, and what they do when KavarShell runs them in a
// program folder under a private service-manager root, as root and as nobody.
#include "panel/servicemanager/BatchFiles.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/scm/scm_fixture.h"

namespace kavar::panel {
namespace {

namespace fs = std::filesystem;
using scm::testing::BinDir;
using scm::testing::ReadFile;
using scm::testing::RunProgram;
using scm::testing::RunResult;

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string Golden(const std::string& name) {
    return ReadFile(std::string(KAVAR_SOURCE_DIR) + "/tests/panel/batchfiles/golden/" + name);
}

class BatchFilesTest : public scm::testing::ScmTest {
  protected:
    void SetUp() override {
        ScmTest::SetUp();
        ::chmod(dir_.c_str(), 0755);
        prog_ = dir_ + "/prog";
        temp_ = dir_ + "/temp/";
        fs::create_directories(prog_);
        fs::create_directories(temp_);
        ::chmod(temp_.c_str(), 0777);
        ::setenv("TEMP", temp_.c_str(), 1);
    }
    void TearDown() override {
        // A service left running by a failed test is stopped before the root goes.
        if (scm::SC_HANDLE svc = scm::OpenService(manager_, "Velmo", scm::SERVICE_ALL_ACCESS)) {
            scm::SERVICE_STATUS status{};
            if (scm::QueryServiceStatus(svc, &status) &&
                status.dwCurrentState != scm::SERVICE_STOPPED &&
                scm::ControlService(svc, scm::SERVICE_CONTROL_STOP, &status))
                WaitFor(svc, scm::SERVICE_STOPPED, 15);
            scm::CloseServiceHandle(svc);
        }
        ScmTest::TearDown();
        ::unsetenv("TEMP");
    }

    // A program folder as installed: Velmo, its settings and its embedded database.
    void InstallProgramFolder() {
        fs::copy_file(BinDir() + "/Velmo", prog_ + "/Velmo");
        const RunResult settings = RunProgram({BinDir() + "/KavarSetup", "--dir", prog_, "settings",
                                               "SQL_ServerName=sqlite:", "SQL_DBName=Kavar_SMS",
                                               "AutoSendSMS=0", "SVCKAVARSMS=1", "TimerDelay=60"});
        ASSERT_EQ(settings.exitCode, 0) << settings.output;
        const RunResult db = RunProgram({BinDir() + "/KavarSetup", "--dir", prog_, "initdb"});
        ASSERT_EQ(db.exitCode, 0) << db.output;
        WriteBatchFiles(prog_);
    }

    RunResult Shell(TBatchFile file) {
        return RunProgram({BinDir() + "/KavarShell", prog_ + "/" + BatchFileName(file)});
    }

    std::string StartType() { return RunProgram({BinDir() + "/SC", "qc", "Velmo"}).output; }

    std::string prog_;
    std::string temp_;
};

TEST_F(BatchFilesTest, WritesTheFourFilesByteForByteAndDeletesThem) {
    WriteFile(prog_ + "/SVCstop.BAT", "old");
    WriteFile(prog_ + "/other.BAT", "kept");
    WriteBatchFiles(prog_);
    for (TBatchFile file : kBatchFiles) {
        const std::string name = BatchFileName(file);
        EXPECT_EQ(ReadFile(prog_ + "/" + name), Golden(name)) << name;
    }
    fs::remove(prog_ + "/SVCstart.BAT");
    DeleteBatchFiles(prog_);
    for (TBatchFile file : kBatchFiles) EXPECT_FALSE(fs::exists(prog_ + "/" + BatchFileName(file)));
    EXPECT_TRUE(fs::exists(prog_ + "/other.BAT"));

    try {
        WriteBatchFiles(prog_ + "/missing");
        FAIL() << "no error";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find(prog_ + "/missing/SVCinstall.BAT"), std::string::npos)
            << e.what();
    }
}

// Install registers Velmo for a delayed automatic start and starts it; stop stops and
// disables it; start sets the delayed start again and starts it; uninstall removes it.
TEST_F(BatchFilesTest, TheFilesInstallStopStartAndRemoveTheService) {
    InstallProgramFolder();
    RunResult r = Shell(TBatchFile::Install);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Service Velmo installed successfully."), std::string::npos)
        << r.output;
    scm::SC_HANDLE svc = Open("Velmo");
    ASSERT_NE(svc, nullptr);
    EXPECT_NE(StartType().find("AUTO_START  (DELAYED)"), std::string::npos) << StartType();
    ASSERT_TRUE(WaitFor(svc, scm::SERVICE_RUNNING));

    r = Shell(TBatchFile::Stop);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(WaitFor(svc, scm::SERVICE_STOPPED));
    EXPECT_NE(StartType().find("DISABLED"), std::string::npos) << StartType();

    r = Shell(TBatchFile::Start);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(WaitFor(svc, scm::SERVICE_RUNNING));
    EXPECT_NE(StartType().find("AUTO_START  (DELAYED)"), std::string::npos) << StartType();

    r = Shell(TBatchFile::Stop);
    EXPECT_TRUE(WaitFor(svc, scm::SERVICE_STOPPED));
    r = Shell(TBatchFile::Uninstall);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Service Velmo uninstalled successfully."), std::string::npos)
        << r.output;
    EXPECT_EQ(scm::OpenService(manager_, "Velmo", scm::SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(scm::GetLastError(), scm::ERROR_SERVICE_DOES_NOT_EXIST);
}

// Without administrator rights a file writes the one-line script into the temp folder and
// hands itself to the script host, which asks pkexec to run it again; nothing else runs.
TEST_F(BatchFilesTest, WithoutRightsTheFileStartsItselfAgainThroughPkexec) {
    ASSERT_EQ(::geteuid(), 0u) << "the test switches to nobody";
    InstallProgramFolder();
    ::chmod(prog_.c_str(), 0755);
    const std::string fake = dir_ + "/fake";
    fs::create_directories(fake);
    WriteFile(fake + "/pkexec", "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + temp_ + "pkexec.args\n");
    ::chmod((fake + "/pkexec").c_str(), 0755);

    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("PATH", (fake + ":/usr/bin:/bin").c_str(), 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(99);
        const std::string shell = BinDir() + "/KavarShell";
        const std::string file = prog_ + "/SVCinstall.BAT";
        ::execl(shell.c_str(), shell.c_str(), file.c_str(), "x", nullptr);
        ::_exit(98);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const std::string relaunch = "/k cd \"\"" + prog_ + "/\"\" && " + prog_ + "/SVCinstall.BAT x";
    EXPECT_EQ(ReadFile(temp_ + "getadmin.vbs"),
              "Set UAC = CreateObject(\"Shell.Application\") : UAC.ShellExecute \"cmd.exe\", \"" +
                  relaunch + "\", \"\", \"runas\", 1  \r\n");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ReadFile(temp_ + "pkexec.args").empty() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ReadFile(temp_ + "pkexec.args"),
              BinDir() + "/KavarShell\n" + prog_ + "/SVCinstall.BAT\nx\n");
    EXPECT_EQ(scm::OpenService(manager_, "Velmo", scm::SERVICE_QUERY_STATUS), nullptr);
}

// A program folder whose name holds the interpreter's operators: the file still starts
// only itself again, elevated, and nothing named in the folder's name runs, neither in the
// unelevated run nor in the elevated one. A quote or a line break in the path cannot be
// kept inside the files' quotes, so the runner refuses such a file outright.
TEST_F(BatchFilesTest, OddCharactersInTheFolderRunNothingElse) {
    ASSERT_EQ(::geteuid(), 0u) << "the test switches to nobody";
    const std::string fake = dir_ + "/fake";
    fs::create_directories(fake);
    WriteFile(fake + "/pkexec", "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + temp_ + "pkexec.args\n");
    WriteFile(fake + "/canary", "#!/bin/sh\ntouch " + dir_ + "/canary.ran\n");
    ::chmod((fake + "/pkexec").c_str(), 0755);
    ::chmod((fake + "/canary").c_str(), 0755);
    const std::string path = fake + ":/usr/bin:/bin";
    const std::string shell = BinDir() + "/KavarShell";

    // KavarShell with args, in folder, as nobody or as root; the exit code.
    auto run = [&](const std::vector<std::string>& args, const std::string& folder, bool nobody) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::setenv("PATH", path.c_str(), 1);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            if (::chdir(folder.c_str()) != 0) ::_exit(97);
            if (nobody && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                           ::setresuid(65534, 65534, 65534) != 0))
                ::_exit(99);
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(98);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };

    const struct {
        const char* folder;
        bool refused;
    } cases[] = {
        {"a b", false},           {"a&canary&b", false},   {"a & canary & b", false},
        {"a^&canary", false},     {"a)&canary&(b", false}, {"a%PATH%&canary", false},
        {"a\"&canary&\"b", true}, {"a\ncanary", true},
    };
    for (const auto& c : cases) {
        const std::string folder = dir_ + "/" + c.folder;
        fs::create_directories(folder);
        ::chmod(folder.c_str(), 0755);
        const std::string file = folder + "/" + BatchFileName(TBatchFile::Stop);
        WriteFile(file, BatchFileContent(TBatchFile::Stop));
        fs::remove(temp_ + "pkexec.args");
        fs::remove(temp_ + "getadmin.vbs");

        const int code = run({shell, file}, "/", true);
        if (c.refused) {
            EXPECT_EQ(code, 1) << c.folder;
            EXPECT_FALSE(fs::exists(temp_ + "getadmin.vbs")) << c.folder;
        } else {
            EXPECT_EQ(code, 0) << c.folder;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (ReadFile(temp_ + "pkexec.args").empty() &&
                   std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const std::string args = ReadFile(temp_ + "pkexec.args");
            EXPECT_EQ(args, shell + "\n" + file + "\n") << c.folder;
            // The elevated run pkexec would start, with the canary on its search path.
            std::vector<std::string> elevated;
            std::stringstream lines(args);
            for (std::string line; std::getline(lines, line);) elevated.push_back(line);
            if (!elevated.empty()) run(elevated, folder, false);
        }
        EXPECT_FALSE(fs::exists(dir_ + "/canary.ran")) << c.folder;
        fs::remove(dir_ + "/canary.ran");
    }
}

}  // namespace
}  // namespace kavar::panel
