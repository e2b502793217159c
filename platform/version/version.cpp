#include "platform/version/version.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cstring>

namespace kavar::version {
namespace {

constexpr char kSectionName[] = ".kavar_version";
constexpr char kSignature[8] = {'K', 'A', 'V', 'A', 'R', 'V', 'E', 'R'};
constexpr std::uint64_t kRecordSize = sizeof kSignature + 2 * sizeof(std::uint32_t);

// Bounds-checked reads from the file: every offset and size below comes from the file
// itself, so none of them is trusted.
class File {
  public:
    explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ >= 0) {
            const off_t end = ::lseek(fd_, 0, SEEK_END);
            size_ = end < 0 ? 0 : static_cast<std::uint64_t>(end);
        }
    }
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool Read(std::uint64_t offset, void* into, std::uint64_t length) const {
        if (fd_ < 0 || offset > size_ || length > size_ - offset) return false;
        auto* out = static_cast<char*>(into);
        while (length > 0) {
            const ssize_t n = ::pread(fd_, out, length, static_cast<off_t>(offset));
            if (n <= 0) return false;
            out += n;
            offset += static_cast<std::uint64_t>(n);
            length -= static_cast<std::uint64_t>(n);
        }
        return true;
    }

  private:
    int fd_;
    std::uint64_t size_ = 0;
};

template <typename T>
T Swapped(T value, bool swap) {
    if (!swap) return value;
    T out{};
    auto* from = reinterpret_cast<const unsigned char*>(&value);
    auto* to = reinterpret_cast<unsigned char*>(&out);
    for (size_t i = 0; i < sizeof(T); ++i) to[i] = from[sizeof(T) - 1 - i];
    return out;
}

// Walks the section table of one ELF class (Ehdr/Shdr of 32 or 64 bits).
template <typename Ehdr, typename Shdr>
std::optional<TFixedFileInfo> FindRecord(const File& file, bool swap) {
    Ehdr eh{};
    if (!file.Read(0, &eh, sizeof eh)) return std::nullopt;
    const std::uint64_t shoff = Swapped(eh.e_shoff, swap);
    const std::uint64_t entSize = Swapped(eh.e_shentsize, swap);
    std::uint64_t count = Swapped(eh.e_shnum, swap);
    std::uint64_t strIndex = Swapped(eh.e_shstrndx, swap);
    if (shoff == 0 || entSize < sizeof(Shdr)) return std::nullopt;

    auto section = [&](std::uint64_t i, Shdr& sh) {
        return i < count && file.Read(shoff + i * entSize, &sh, sizeof sh);
    };
    // Large counts and string-table indexes live in section 0.
    if (count == 0 || strIndex == SHN_XINDEX) {
        Shdr zero{};
        if (!file.Read(shoff, &zero, sizeof zero)) return std::nullopt;
        if (count == 0) count = Swapped(zero.sh_size, swap);
        if (strIndex == SHN_XINDEX) strIndex = Swapped(zero.sh_link, swap);
    }
    // A count beyond what the file could hold is garbage; it would only make the walk long.
    if (count > (std::uint64_t{1} << 24)) return std::nullopt;

    Shdr strings{};
    if (!section(strIndex, strings)) return std::nullopt;
    const std::uint64_t stringsOffset = Swapped(strings.sh_offset, swap);
    const std::uint64_t stringsSize = Swapped(strings.sh_size, swap);

    for (std::uint64_t i = 0; i < count; ++i) {
        Shdr sh{};
        if (!section(i, sh)) return std::nullopt;
        const std::uint64_t nameAt = Swapped(sh.sh_name, swap);
        char name[sizeof kSectionName] = {};
        if (nameAt >= stringsSize || stringsSize - nameAt < sizeof name ||
            !file.Read(stringsOffset + nameAt, name, sizeof name) ||
            std::memcmp(name, kSectionName, sizeof name) != 0)
            continue;
        if (Swapped(sh.sh_type, swap) == SHT_NOBITS || Swapped(sh.sh_size, swap) < kRecordSize)
            return std::nullopt;
        unsigned char record[kRecordSize];
        if (!file.Read(Swapped(sh.sh_offset, swap), record, sizeof record) ||
            std::memcmp(record, kSignature, sizeof kSignature) != 0)
            return std::nullopt;
        std::uint32_t ms = 0;
        std::uint32_t ls = 0;
        std::memcpy(&ms, record + 8, sizeof ms);
        std::memcpy(&ls, record + 12, sizeof ls);
        return TFixedFileInfo{Swapped(ms, swap), Swapped(ls, swap)};
    }
    return std::nullopt;
}

}  // namespace

std::optional<TFixedFileInfo> ReadFileVersion(const std::string& path) {
    const File file(path);
    unsigned char ident[EI_NIDENT] = {};
    if (!file.Read(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return std::nullopt;
    const bool littleHost = std::endian::native == std::endian::little;
    bool swap;
    switch (ident[EI_DATA]) {
        case ELFDATA2LSB:
            swap = !littleHost;
            break;
        case ELFDATA2MSB:
            swap = littleHost;
            break;
        default:
            return std::nullopt;
    }
    switch (ident[EI_CLASS]) {
        case ELFCLASS64:
            return FindRecord<Elf64_Ehdr, Elf64_Shdr>(file, swap);
        case ELFCLASS32:
            return FindRecord<Elf32_Ehdr, Elf32_Shdr>(file, swap);
        default:
            return std::nullopt;
    }
}

}  // namespace kavar::version
