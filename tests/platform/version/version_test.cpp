// The version record: written into programs by the build, read back from the file.
#include "platform/version/version.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string_view>

namespace kavar::version {
namespace {

namespace fs = std::filesystem;

std::string SelfPath() { return fs::read_symlink("/proc/self/exe").string(); }

// The project version as four numbers, missing ones 0.
TFixedFileInfo Expected() {
    unsigned v[4] = {0, 0, 0, 0};
    std::istringstream in(KAVAR_PROJECT_VERSION);
    std::string part;
    for (int i = 0; i < 4 && std::getline(in, part, '.'); ++i) v[i] = std::stoul(part);
    return {(v[0] << 16) | v[1], (v[2] << 16) | v[3]};
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class VersionFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kavar-version-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        self_ = ReadAll(SelfPath());
        ASSERT_GT(self_.size(), sizeof(Elf64_Ehdr));
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string dir_;
    std::string self_;
};

TEST(VersionRecord, ProgramsCarryTheProjectVersion) {
    const TFixedFileInfo want = Expected();
    for (const std::string& path :
         {SelfPath(), std::string(KAVAR_BIN_DIR "/Velmo"), std::string(KAVAR_BIN_DIR "/SC"),
          std::string(KAVAR_BIN_DIR "/Net"), std::string(KAVAR_BIN_DIR "/KavarSetup")}) {
        const auto got = ReadFileVersion(path);
        ASSERT_TRUE(got.has_value()) << path;
        EXPECT_EQ(got->FileVersionMS, want.FileVersionMS) << path;
        EXPECT_EQ(got->FileVersionLS, want.FileVersionLS) << path;
    }
}

TEST_F(VersionFileTest, FilesWithoutARecordGiveNothing) {
    // Our own program with the section renamed: an ELF file like ours, only without it.
    // The name is looked for in the section-name table only, since the program's data
    // holds the same text.
    Elf64_Ehdr eh{};
    std::memcpy(&eh, self_.data(), sizeof eh);
    Elf64_Shdr names{};
    std::memcpy(&names, self_.data() + eh.e_shoff + eh.e_shstrndx * eh.e_shentsize, sizeof names);
    std::string renamed = self_;
    const size_t at = std::string_view(self_)
                          .substr(names.sh_offset, names.sh_size)
                          .find(std::string_view(".kavar_version\0", 15));
    ASSERT_NE(at, std::string::npos);
    renamed[names.sh_offset + at + 1] = 'x';
    // The right section with a wrong signature.
    const TFixedFileInfo want = Expected();
    std::string record = "KAVARVER";
    record.append(reinterpret_cast<const char*>(&want.FileVersionMS), 4);
    record.append(reinterpret_cast<const char*>(&want.FileVersionLS), 4);
    std::string unsigned_ = self_;
    const size_t sig = unsigned_.find(record);
    ASSERT_NE(sig, std::string::npos);
    unsigned_[sig] = 'X';

    const struct {
        const char* what;
        std::string path;
    } cases[] = {
        {"text file", Write("notes.txt", "KAVARVER .kavar_version 1.0.0.0\n")},
        {"empty file", Write("empty", "")},
        {"missing file", dir_ + "/none"},
        {"folder", dir_},
        {"system program", "/bin/true"},
        {"section renamed", Write("renamed", renamed)},
        {"wrong signature", Write("unsigned", unsigned_)},
    };
    for (const auto& c : cases) EXPECT_FALSE(ReadFileVersion(c.path).has_value()) << c.what;
}

// Every offset and count comes from the file; a damaged file must give nothing (or, for a
// harmless change, the record) and never read outside the file.
TEST_F(VersionFileTest, DamagedFilesDoNotCrash) {
    for (size_t length : {size_t{4}, size_t{16}, sizeof(Elf64_Ehdr) - 1, sizeof(Elf64_Ehdr),
                          self_.size() / 2, self_.size() - 1}) {
        EXPECT_FALSE(ReadFileVersion(Write("cut", self_.substr(0, length))).has_value())
            << "cut at " << length;
    }

    Elf64_Ehdr eh{};
    std::memcpy(&eh, self_.data(), sizeof eh);
    auto patched = [&](auto&& change) {
        Elf64_Ehdr copy = eh;
        change(copy);
        std::string bytes = self_;
        std::memcpy(bytes.data(), &copy, sizeof copy);
        return Write("patched", bytes);
    };
    const struct {
        const char* what;
        void (*change)(Elf64_Ehdr&);
    } headers[] = {
        {"table offset past the end", [](Elf64_Ehdr& h) { h.e_shoff = ~0ULL - 8; }},
        {"entry size 0", [](Elf64_Ehdr& h) { h.e_shentsize = 0; }},
        {"string table index out of range", [](Elf64_Ehdr& h) { h.e_shstrndx = 0xfff0; }},
        {"count in section 0", [](Elf64_Ehdr& h) { h.e_shnum = 0; }},
        {"string index in section 0", [](Elf64_Ehdr& h) { h.e_shstrndx = SHN_XINDEX; }},
        {"unknown class", [](Elf64_Ehdr& h) { h.e_ident[EI_CLASS] = 7; }},
        {"32-bit class", [](Elf64_Ehdr& h) { h.e_ident[EI_CLASS] = ELFCLASS32; }},
        {"other byte order", [](Elf64_Ehdr& h) { h.e_ident[EI_DATA] = ELFDATA2MSB; }},
    };
    for (const auto& h : headers) {
        EXPECT_FALSE(ReadFileVersion(patched(h.change)).has_value()) << h.what;
    }

    // Random damage to the header and the section table.
    const std::string path = Write("fuzzed", self_);
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::mt19937 random(4711);
    const size_t table = eh.e_shoff;
    const size_t tableSize = size_t{eh.e_shnum} * eh.e_shentsize;
    for (int round = 0; round < 400; ++round) {
        const size_t at = round % 2 == 0 ? random() % sizeof eh : table + random() % tableSize;
        const auto value = static_cast<char>(random());
        std::fseek(f, static_cast<long>(at), SEEK_SET);
        std::fputc(value, f);
        std::fflush(f);
        const auto got = ReadFileVersion(path);
        if (got) {
            EXPECT_EQ(got->FileVersionMS, Expected().FileVersionMS);
        }
        std::fseek(f, static_cast<long>(at), SEEK_SET);
        std::fputc(self_[at], f);
        std::fflush(f);
    }
    std::fclose(f);
}

}  // namespace
}  // namespace kavar::version
