#include "platform/procs/procs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;
using kavar::procs::ProcessEntry;
using kavar::procs::Snapshot;

namespace {

class FakeProc : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("procs_test_" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path Process(const std::string& pid) {
        fs::create_directories(root_ / pid);
        return root_ / pid;
    }
    static void Write(const fs::path& file, const std::string& bytes) {
        std::ofstream(file, std::ios::binary) << bytes;
    }

    fs::path root_;
};

// The exe link wins; an unreadable one falls back to the first argument; a replaced
// program keeps its name; kernel threads and non-process entries are left out; ids sort
// as numbers.
TEST_F(FakeProc, ReadsLinkOrFirstArgument) {
    fs::create_symlink("/opt/kavar/Velmo", Process("100") / "exe");
    Write(Process("100") / "cmdline", std::string("ignored\0", 8));
    Write(Process("12") / "cmdline", std::string("/usr/bin/Other\0--flag\0", 23));
    fs::create_symlink("/opt/kavar/Velmo (deleted)", Process("7") / "exe");
    Write(Process("2") / "cmdline", "");  // kernel thread: no link, empty command line
    Write(Process("self") / "cmdline", std::string("/bin/x\0", 7));
    Process("not-a-pid");

    const std::vector<ProcessEntry> entries = Snapshot(root_.string());
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].ProcessId, 7);
    EXPECT_EQ(entries[0].ExePath, "/opt/kavar/Velmo");
    EXPECT_EQ(entries[1].ProcessId, 12);
    EXPECT_EQ(entries[1].ExePath, "/usr/bin/Other");
    EXPECT_EQ(entries[2].ProcessId, 100);
    EXPECT_EQ(entries[2].ExePath, "/opt/kavar/Velmo");
}

TEST_F(FakeProc, UnreadableRootThrows) {
    EXPECT_THROW(Snapshot((root_ / "missing").string()), std::system_error);
}

TEST(RealProc, ListsThisProcessWithItsProgram) {
    const auto entries = Snapshot();
    const auto self = fs::read_symlink("/proc/self/exe").string();
    bool found = false;
    for (const auto& e : entries)
        if (e.ProcessId == ::getpid()) found = e.ExePath == self;
    EXPECT_TRUE(found) << self;
}

}  // namespace
