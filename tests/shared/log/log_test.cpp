#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/codepage/codepage.h"
#include "platform/formats/formats.h"
#include "shared/uSmsUtils.h"

namespace fs = std::filesystem;
namespace fmt = kavar::formats;

namespace {

class DailyLog : public ::testing::Test {
  protected:
    void SetUp() override {
        kavar::codepage::SetCurrent("windows-1256");
        fmt::SetLongTimeFormat("HH:mm:ss");
        fmt::SetShortDateFormat("MM/dd/yy");
        char tmpl[] = "/tmp/kavar-log-XXXXXX";
        dir = mkdtemp(tmpl);
        TSMSUtil::ApplicationExeName = dir;
        TSMSUtil::CallerProg = "SVC";
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string FileName() {
        return dir + "/Log/SVCKavarSMS_" + fmt::FormatDateTime("yyyy_MM_dd", fmt::Now()) + ".LOG";
    }
    std::string Content() {
        std::ifstream in(FileName(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // "HH:mm:ss : " at the start of the text.
    static bool Timed(const std::string& s) {
        if (s.size() < 11 || s.compare(8, 3, " : ") != 0 || s[2] != ':' || s[5] != ':')
            return false;
        for (int i : {0, 1, 3, 4, 6, 7})
            if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        return true;
    }
    // The file with the time of every entry checked and removed: an entry's first line is
    // the first line of the file or follows a CR LF.
    std::string Untimed() {
        std::string text = Content(), out;
        bool lineStart = true;
        for (std::size_t i = 0; i < text.size();) {
            if (lineStart && Timed(text.substr(i, 11))) {
                i += 11;
            }
            lineStart = text.compare(i, 2, "\r\n") == 0;
            if (lineStart) {
                out += "\r\n";
                i += 2;
            } else {
                out += text[i++];
            }
        }
        return out;
    }

    std::string dir;
};

}  // namespace

TEST_F(DailyLog, FirstEntryCreatesTheFolderAndTheDaysFile) {
    TSMSUtil::Logger("VELMO STARTED");
    ASSERT_TRUE(fs::exists(FileName())) << FileName();
    const std::string content = Content();
    EXPECT_TRUE(Timed(content)) << content;
    EXPECT_EQ(content.substr(std::min<std::size_t>(11, content.size())), "VELMO STARTED\r\n");
    // The short date format stays as the log set it.
    EXPECT_EQ(fmt::ShortDateFormat(), "yyyy_MM_dd");
}

TEST_F(DailyLog, EntryLayoutInTheFile) {
    TSMSUtil::Logger("   three leading, two trailing  ");
    TSMSUtil::Logger("first\r\nsecond\nthird\rfourth");
    TSMSUtil::Logger("\u0627\u0631\u0633\u0627\u0644 \u06CC\u06A9\u200C\u06F1");
    TSMSUtil::Logger("");
    EXPECT_EQ(Untimed(),
              "three leading, two trailing  \r\n"
              "first\r\nsecond\r\nthird\r\nfourth\r\n"
              "\xC7\xD1\xD3\xC7\xE1 \xED\x98\x9D"
              "1\r\n"
              "\r\n");
    // Only the first line of an entry carries the time.
    const std::string content = Content();
    EXPECT_EQ(std::count(content.begin(), content.end(), ':'), 4 * 3);
}

TEST_F(DailyLog, AFileCutShortGetsItsLineBreakFirst) {
    TSMSUtil::Logger("one");
    std::ofstream(FileName(), std::ios::binary | std::ios::app) << "typed by hand";
    TSMSUtil::Logger("two");
    EXPECT_EQ(Untimed(), "one\r\ntyped by hand\r\ntwo\r\n");
}

// The process remembers where its last entry ended; a file put in place of that one, even
// of the same size, is read again.
TEST_F(DailyLog, AFileReplacedByAnotherOfTheSameSizeGetsItsLineBreak) {
    TSMSUtil::Logger("one");
    std::string other = Content();
    other.replace(other.size() - 2, 2, "ab");
    std::ofstream(FileName() + ".new", std::ios::binary) << other;
    fs::rename(FileName() + ".new", FileName());
    TSMSUtil::Logger("two");
    EXPECT_EQ(Untimed(), "oneab\r\ntwo\r\n");
}

TEST_F(DailyLog, AFileOrFolderRemovedUnderTheProcessIsMadeAgain) {
    for (const std::string removed : {"file", "folder"}) {
        TSMSUtil::Logger("before");
        fs::remove_all(removed == "file" ? FileName() : dir + "/Log");
        TSMSUtil::Logger("after");
        EXPECT_EQ(Untimed(), "after\r\n") << removed;
        fs::remove_all(dir + "/Log");
    }
}

TEST_F(DailyLog, WriteFailuresReachTheCaller) {
    TSMSUtil::ApplicationExeName = dir + "/no/such/folder";
    EXPECT_THROW(TSMSUtil::Logger("x"), std::runtime_error);
    // A file where the Log folder should be.
    TSMSUtil::ApplicationExeName = dir;
    std::ofstream(dir + "/Log") << "";
    try {
        TSMSUtil::Logger("x");
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("SVCKavarSMS_"), std::string::npos) << e.what();
    }
}

TEST_F(DailyLog, AFolderThatMayNotBeWrittenIsNamedAsTheReason) {
    // Run as an ordinary user: root may write anywhere.
    fs::create_directory(dir + "/Log");
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(dir + "/Log", fs::perms::owner_read | fs::perms::owner_exec |
                                      fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        try {
            TSMSUtil::Logger("x");
        } catch (const std::runtime_error& e) {
            std::string what = e.what();
            _exit(what.find(std::strerror(EACCES)) != std::string::npos ? 0 : 3);
        }
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    fs::permissions(dir + "/Log", fs::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no user to run as, 3: other error text, 4: no error";
}

TEST_F(DailyLog, ConcurrentWritersLoseNothing) {
    constexpr int kThreads = 4, kEntries = 200;
    auto write = [](const std::string& who) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&who, t] {
                for (int i = 0; i < kEntries; ++i)
                    TSMSUtil::Logger(who + " " + std::to_string(t) + " " + std::to_string(i) +
                                     "\r\ncontinued");
            });
        for (auto& th : threads) th.join();
    };
    pid_t child = fork();  // before any thread of this test exists
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            write("child");
        } catch (...) {
            _exit(1);
        }
        _exit(0);
    }
    write("parent");
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::istringstream lines(Untimed());
    std::set<std::string> seen;
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r');
        line.pop_back();
        if (count++ % 2 == 1) {
            ASSERT_EQ(line, "continued");  // an entry's lines stay together
        } else {
            ASSERT_TRUE(seen.insert(line).second) << "twice: " << line;
        }
    }
    EXPECT_EQ(seen.size(), 2u * kThreads * kEntries);
}
