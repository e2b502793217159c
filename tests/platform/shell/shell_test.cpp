// The batch runner, the script host and RunAs, run for real: KavarShell on files in a temp
// folder, as root and as nobody.
#include "platform/shell/shell.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

namespace kavar::shell {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

std::string Runner() { return std::string(KAVAR_BIN_DIR) + "/KavarShell"; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << text;
    ::chmod(path.c_str(), mode);
}

bool WaitForFile(const std::string& path, int seconds = 30) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (fs::exists(path) && !ReadFile(path).empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a program in cwd with extra environment entries, as root or as nobody.
Result Exec(const std::vector<std::string>& args, const std::string& cwd,
            const std::vector<std::string>& env = {}, bool asNobody = false) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]);
        ::close(err[0]);
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
        if (asNobody &&
            (::setgroups(0, nullptr) != 0 || ::setresgid(kNogroup, kNogroup, kNogroup) != 0 ||
             ::setresuid(kNobody, kNobody, kNobody) != 0))
            ::_exit(125);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    Result r;
    // Small outputs only: read one pipe after the other.
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) r.out.append(buffer, n);
    while ((n = ::read(err[0], buffer, sizeof buffer)) > 0) r.err.append(buffer, n);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "these tests switch to nobody and need root";
        char pattern[] = "/tmp/kavar-shell-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::chmod(dir_.c_str(), 0777);
        temp_ = dir_ + "/temp/";
        fs::create_directories(temp_);
        ::chmod(temp_.c_str(), 0777);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs a batch file of the given lines (CR LF line ends, no trailing blanks).
    Result Batch(const std::string& lines, const std::vector<std::string>& args = {},
                 const std::string& name = "test.BAT") {
        std::string text;
        std::stringstream in(lines);
        for (std::string line; std::getline(in, line);) text += line + "\r\n";
        WriteFile(dir_ + "/" + name, text);
        std::vector<std::string> argv{Runner(), dir_ + "/" + name};
        argv.insert(argv.end(), args.begin(), args.end());
        return Exec(argv, "/", {"TEMP=" + temp_});
    }

    std::string dir_;
    std::string temp_;
};

TEST_F(ShellTest, CommandsOfTheSubset) {
    WriteFile(dir_ + "/tool", "#!/bin/sh\necho \"tool $*\"; exit 3\n", 0755);
    const struct {
        const char* what;
        std::string lines;
        std::vector<std::string> args;
        int exitCode;
        std::string out;
    } cases[] = {
        {"echo off hides the lines", "@echo off\necho one\necho two", {}, 0, "one\ntwo\n"},
        {"arguments and the file's folder",
         "@echo off\nSET \"params=%*\"\necho [%params%] [%1] [%~dp0] [%~s0]",
         {"a", "b"},
         0,
         "[a b] [a] [" + dir_ + "/] [" + dir_ + "/test.BAT]\n"},
        {"undefined variables vanish, %% is one percent",
         "@echo off\necho [%nothing%] 100%%",
         {},
         0,
         "[] 100%\n"},
        {"&& and || follow the exit code",
         "@echo off\ndel \"missing\" 2>nul && echo deleted || echo kept\necho yes && echo again",
         {},
         0,
         "kept\nyes \nagain\n"},
        {"a failed IF is a success",
         "@echo off\n( if exist \"missing\" del \"missing\" ) && echo went on",
         {},
         0,
         "went on\n"},
        {"carets escape, quotes protect",
         "@echo off\necho x^(y^) ^& \"a && b\"",
         {},
         0,
         "x(y) & \"a && b\"\n"},
        {"X.exe runs the folder's X; CD /d",
         "@echo off\nCD /d \"%~dp0\"\ntool.exe one two\necho %errorlevel%",
         {},
         0,
         "tool one two\n3\n"},
        {"exit /B ends the file with a code", "@echo off\nexit /B 7\necho not here", {}, 7, ""},
        {"exit keeps the last exit code",
         "@echo off\nCD /d \"%~dp0\"\ntool.exe\nExit",
         {},
         3,
         "tool \n"},
        {"unknown command", "@echo off\nnosuchprogram", {}, 9009 % 256, ""},
        {"pipes are refused", "@echo off\necho a | more\necho not here", {}, 1, ""},
        {"IF with a comparison is refused", "@echo off\nif a==a echo yes", {}, 1, ""},
    };
    for (const auto& c : cases) {
        const Result r = Batch(c.lines, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.what << "\n" << r.err;
        if (c.exitCode == 1) {
            EXPECT_NE(r.err.find("not supported here"), std::string::npos) << c.what;
        }
    }
}

TEST_F(ShellTest, RedirectionsWriteCrLfLinesAndSilenceStreams) {
    const Result r = Batch(
        "@echo off\n"
        "echo first>> \"%temp%out.txt\" && echo second >> \"%temp%out.txt\"\n"
        "fsutil dirty query %systemdrive% 1>nul 2>nul && echo elevated\n"
        "del \"missing\" 1>nul 2>nul || echo quiet failure\n"
        "( echo grouped ) > \"%temp%group.txt\"");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "elevated\nquiet failure\n");
    EXPECT_EQ(r.err, "");
    // The blank before an operator belongs to the text, as with the system's interpreter.
    EXPECT_EQ(ReadFile(temp_ + "out.txt"), "first \r\nsecond \r\n");
    EXPECT_EQ(ReadFile(temp_ + "group.txt"), "grouped \r\n");
}

TEST_F(ShellTest, FsutilAsksForAdministratorRights) {
    WriteFile(dir_ + "/check.BAT", "@fsutil dirty query %systemdrive% \r\n");
    EXPECT_EQ(Exec({Runner(), dir_ + "/check.BAT"}, "/").exitCode, 0);
    const Result nobody = Exec({Runner(), dir_ + "/check.BAT"}, "/", {}, true);
    EXPECT_EQ(nobody.exitCode, 1);
    EXPECT_NE(nobody.err.find("administrative privileges"), std::string::npos) << nobody.err;
}

// The script host takes only the self-elevation line and starts the runner on the batch file
// it names: directly for root, through pkexec for anyone else. The file and its parameters
// reach the runner as separate words, never as a command line.
TEST_F(ShellTest, ScriptHostRelaunchesTheRunnerElevated) {
    const std::string marker = dir_ + "/marker";
    WriteFile(dir_ + "/job.BAT", "@echo off\r\necho done %*> \"%~dp0marker\"\r\n");
    auto script = [&](const std::string& command) {
        std::string text;
        for (char c : command) text += c == '"' ? std::string("\"\"") : std::string(1, c);
        return "Set UAC = CreateObject(\"Shell.Application\") : UAC.ShellExecute \"cmd.exe\", \"" +
               text + "\", \"\", \"runas\", 1 \r\n";
    };
    const std::string line = script("/k cd \"" + dir_ + "/\" && " + dir_ + "/job.BAT a b ");
    WriteFile(temp_ + "getadmin.vbs", line);
    Result r = Exec({Runner(), "/c", "\"" + temp_ + "getadmin.vbs\""}, "/");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(WaitForFile(marker));
    EXPECT_EQ(ReadFile(marker), "done a b\r\n");

    // Not root: pkexec gets the runner, the file and its parameters.
    fs::create_directories(dir_ + "/fake");
    WriteFile(dir_ + "/fake/pkexec",
              "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + temp_ + "pkexec.args\n", 0755);
    r = Exec({Runner(), "/c", "\"" + temp_ + "getadmin.vbs\""}, "/",
             {"PATH=" + dir_ + "/fake:/usr/bin:/bin"}, true);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(WaitForFile(temp_ + "pkexec.args"));
    EXPECT_EQ(ReadFile(temp_ + "pkexec.args"), Runner() + "\n" + dir_ + "/job.BAT\na\nb\n");

    // No pkexec: the launch fails and says why.
    r = Exec({Runner(), "/c", "\"" + temp_ + "getadmin.vbs\" || echo failed"}, "/",
             {"PATH=/nonexistent"}, true);
    EXPECT_EQ(r.out, "failed\n");
    EXPECT_NE(r.err.find("pkexec: No such file or directory"), std::string::npos) << r.err;

    // Any other script is refused, the elevation verb and form notwithstanding.
    fs::create_directories(dir_ + "/other");
    WriteFile(dir_ + "/other/job.BAT", "@echo off\r\n");
    WriteFile(dir_ + "/tool", "#!/bin/sh\ntouch " + marker + ".tool\n", 0755);
    const struct {
        const char* what;
        std::string text;
    } others[] = {
        {"another command", script("/k rm -rf /")},
        {"a command after the file", script("/k cd \"" + dir_ + "/\" && echo x > " + marker)},
        {"a program, not a batch file", script("/k cd \"" + dir_ + "/\" && " + dir_ + "/tool")},
        {"a file of another folder",
         script("/k cd \"" + dir_ + "/\" && " + dir_ + "/other/job.BAT")},
        {"another verb",
         "Set UAC = CreateObject(\"Shell.Application\") : UAC.ShellExecute \"cmd.exe\", \"/k cd "
         "\"\"" +
             dir_ + "/\"\" && " + dir_ + "/job.BAT\", \"\", \"open\", 1"},
        {"two lines", line + line},
        {"other script", "WScript.Echo \"hi\""},
        {"unterminated string",
         "Set UAC = CreateObject(\"Shell.Application\") : "
         "UAC.ShellExecute \"cmd.exe\", \"/k x"},
    };
    fs::remove(marker);
    for (const auto& o : others) {
        WriteFile(temp_ + "other.vbs", o.text);
        r = Exec({Runner(), "/c", temp_ + "other.vbs"}, "/");
        EXPECT_EQ(r.exitCode, 1) << o.what;
        EXPECT_NE(r.err.find("not supported here"), std::string::npos) << o.what << r.err;
    }
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_FALSE(fs::exists(marker + ".tool"));
}

// An install followed at once by a stop must not be overtaken by it: files launched one
// after the other run in that order, although neither launch waits.
TEST_F(ShellTest, RunAsKeepsTheOrderOfLaunches) {
    WriteFile(dir_ + "/slow", "#!/bin/sh\nsleep 1\necho first >> \"$1\"\n", 0755);
    WriteFile(dir_ + "/first.BAT", "@echo off \r\nslow.exe \"%~dp0order.txt\" \r\n");
    WriteFile(dir_ + "/second.BAT", "@echo off \r\necho second>> \"%~dp0order.txt\" \r\n");
    ::setenv("KAVAR_SHELL", Runner().c_str(), 1);
    ShellRunAs(dir_ + "/first.BAT");
    ShellRunAs(dir_ + "/second.BAT");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ReadFile(dir_ + "/order.txt").find("second") == std::string::npos &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ReadFile(dir_ + "/order.txt"), "first\nsecond \r\n");
}

TEST_F(ShellTest, RunAsLaunchesTheRunnerWithoutWaiting) {
    WriteFile(dir_ + "/job.BAT", "@echo off \r\necho ran> \"%~dp0ran.txt\" \r\n");
    ::setenv("KAVAR_SHELL", Runner().c_str(), 1);
    ShellRunAs(dir_ + "/job.BAT");
    EXPECT_TRUE(WaitForFile(dir_ + "/ran.txt"));

    const auto failure = [](const std::string& file) -> std::string {
        try {
            ShellRunAs(file);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(failure(dir_ + "/none.BAT"), dir_ + "/none.BAT: No such file or directory");
    ::setenv("KAVAR_SHELL", (dir_ + "/NoRunner").c_str(), 1);
    EXPECT_EQ(failure(dir_ + "/job.BAT"), dir_ + "/NoRunner: No such file or directory");
    ::setenv("KAVAR_SHELL", Runner().c_str(), 1);

    // Not root and no pkexec: the launcher's absence is the error. Checked in a child
    // that drops to nobody.
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("PATH", "/nonexistent", 1);
        if (::setresgid(kNogroup, kNogroup, kNogroup) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            ::_exit(1);
        const std::string text = failure(dir_ + "/job.BAT");
        (void)!::write(report[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(report[1]);
    char buffer[512];
    const ssize_t n = ::read(report[0], buffer, sizeof buffer);
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0),
              "pkexec: No such file or directory");
    ::unsetenv("KAVAR_SHELL");
}

}  // namespace
}  // namespace kavar::shell
