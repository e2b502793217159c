#include "platform/profile/profile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/codepage/codepage.h"

namespace kavar::profile {
namespace {

// Longest value handed out, as a reader with a 2048-character buffer sees it.
constexpr std::size_t kMaxValue = 2047;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x -= 32;
        if (y >= 'a' && y <= 'z') y -= 32;
        if (x != y) return false;
    }
    return true;
}

struct Line {
    std::size_t begin;  // first byte
    std::size_t end;    // one past the last byte before the line break
    std::size_t next;   // one past the line break
};

std::vector<Line> SplitLines(const std::string& bytes) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t end = bytes.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back({pos, bytes.size(), bytes.size()});
            break;
        }
        std::size_t next = end + 1;
        if (bytes[end] == '\r' && next < bytes.size() && bytes[next] == '\n') ++next;
        lines.push_back({pos, end, next});
        pos = next;
    }
    return lines;
}

enum class Kind { Other, Section, Key };

struct Parsed {
    Kind kind = Kind::Other;
    std::string_view name;   // section or key name
    std::string_view value;  // key value, blanks removed
};

Parsed Parse(const std::string& bytes, const Line& line) {
    std::string_view text =
        TrimBlanks(std::string_view(bytes).substr(line.begin, line.end - line.begin));
    Parsed p;
    if (text.empty() || text.front() == ';') return p;
    if (text.front() == '[') {
        std::size_t close = text.find(']');
        p.kind = Kind::Section;
        p.name =
            TrimBlanks(text.substr(1, close == std::string_view::npos ? text.npos : close - 1));
        return p;
    }
    std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) return p;
    p.kind = Kind::Key;
    p.name = TrimBlanks(text.substr(0, eq));
    p.value = TrimBlanks(text.substr(eq + 1));
    return p;
}

struct Found {
    bool section = false;
    std::size_t keyLine = std::string::npos;  // index of the key's line
    std::size_t lastLine = 0;                 // last non-empty line of the section
};

Found Find(const std::string& bytes, const std::vector<Line>& lines, std::string_view section,
           std::string_view key) {
    Found f;
    bool inside = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Parsed p = Parse(bytes, lines[i]);
        if (p.kind == Kind::Section) {
            if (inside) break;  // only the first section of that name counts
            if (SameName(p.name, section)) {
                inside = f.section = true;
                f.lastLine = i;
            }
            continue;
        }
        if (!inside) continue;
        if (lines[i].end > lines[i].begin &&
            !TrimBlanks(
                 std::string_view(bytes).substr(lines[i].begin, lines[i].end - lines[i].begin))
                 .empty())
            f.lastLine = i;
        if (p.kind == Kind::Key && SameName(p.name, key)) {
            f.keyLine = i;
            return f;
        }
    }
    return f;
}

std::string LineBreakOf(const std::string& bytes) {
    std::size_t pos = bytes.find_first_of("\r\n");
    if (pos == std::string::npos) return "\r\n";
    if (bytes[pos] == '\n') return "\n";
    return pos + 1 < bytes.size() && bytes[pos + 1] == '\n' ? "\r\n" : "\r";
}

std::string ErrorText(const std::string& what, const std::string& fileName, int err) {
    return what + " \"" + fileName + "\". " + std::strerror(err);
}

void CheckName(const std::string& name, const char* what, const std::string& fileName) {
    if (name.empty() || name.find_first_of("\r\n[]=", 0) != std::string::npos ||
        name.find('\0') != std::string::npos)
        throw std::invalid_argument(std::string(what) + " \"" + name + "\" cannot be stored in \"" +
                                    fileName + "\"");
}

}  // namespace

IniFile::IniFile(std::string fileName) : fileName_(std::move(fileName)) {
    int fd = ::open(fileName_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            exists_ = true;
            loadError_ = ErrorText("Cannot open file", fileName_, errno);
        }
        return;
    }
    exists_ = true;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            loadError_ = ErrorText("Cannot read file", fileName_, errno);
            bytes_.clear();
            break;
        }
        if (n == 0) break;
        bytes_.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& def) const {
    std::vector<Line> lines = SplitLines(bytes_);
    Found f = Find(bytes_, lines, section, key);
    if (f.keyLine == std::string::npos) return def;
    std::string_view value = Parse(bytes_, lines[f.keyLine]).value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    if (value.size() > kMaxValue) value = value.substr(0, kMaxValue);
    return codepage::ToUtf8(value);
}

std::int32_t IniFile::ReadInteger(const std::string& section, const std::string& key,
                                  std::int32_t def) const {
    std::int32_t v;
    return TryParseInteger(ReadString(section, key, ""), v) ? v : def;
}

void IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
    CheckName(section, "Section", fileName_);
    CheckName(key, "Key", fileName_);
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw std::invalid_argument("The value of " + key +
                                    " holds a line break and cannot be stored in \"" + fileName_ +
                                    "\"");
    std::string entry = key + "=" + codepage::FromUtf8(value);
    std::string eol = LineBreakOf(bytes_);
    std::vector<Line> lines = SplitLines(bytes_);
    Found f = Find(bytes_, lines, section, key);
    if (f.keyLine != std::string::npos) {
        const Line& l = lines[f.keyLine];
        bytes_.replace(l.begin, l.end - l.begin, entry);
    } else if (f.section) {
        const Line& l = lines[f.lastLine];
        std::string insert = l.next == l.end ? eol + entry + eol : entry + eol;
        bytes_.insert(l.next, insert);
    } else {
        if (!bytes_.empty() && bytes_.back() != '\n' && bytes_.back() != '\r') bytes_ += eol;
        bytes_ += "[" + section + "]" + eol + entry + eol;
    }
}

void IniFile::Save(mode_t createMode) const {
    if (!loadError_.empty())
        throw std::runtime_error("Cannot write file \"" + fileName_ +
                                 "\": it exists but could not be read (" + loadError_ + ")");
    std::string tmp = fileName_ + ".XXXXXX";
    int fd = ::mkstemp(tmp.data());  // created 0600
    if (fd < 0) throw std::runtime_error(ErrorText("Cannot create file", fileName_, errno));
    auto fail = [&](const char* what) {
        int err = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        throw std::runtime_error(ErrorText(what, fileName_, err));
    };
    std::size_t done = 0;
    while (done < bytes_.size()) {
        ssize_t n = ::write(fd, bytes_.data() + done, bytes_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("Cannot write file");
        done += static_cast<std::size_t>(n);
    }
    struct stat st {};
    if (::stat(fileName_.c_str(), &st) == 0) {
        if (::fchmod(fd, st.st_mode & 07777) != 0) fail("Cannot write file");
        if (::geteuid() == 0 && ::fchown(fd, st.st_uid, st.st_gid) != 0) fail("Cannot write file");
    } else if (::fchmod(fd, createMode) != 0) {
        fail("Cannot write file");
    }
    if (::fsync(fd) != 0) fail("Cannot write file");
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        throw std::runtime_error(ErrorText("Cannot write file", fileName_, err));
    }
    if (::rename(tmp.c_str(), fileName_.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        throw std::runtime_error(ErrorText("Cannot write file", fileName_, err));
    }
    std::size_t slash = fileName_.rfind('/');
    std::string dir = slash == std::string::npos ? "."
                      : slash == 0               ? "/"
                                                 : fileName_.substr(0, slash);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);  // the rename itself on disk; best effort
        ::close(dfd);
    }
}

std::string ReadString(const std::string& fileName, const std::string& section,
                       const std::string& key, const std::string& def) {
    return IniFile(fileName).ReadString(section, key, def);
}

std::int32_t ReadInteger(const std::string& fileName, const std::string& section,
                         const std::string& key, std::int32_t def) {
    return IniFile(fileName).ReadInteger(section, key, def);
}

void WriteString(const std::string& fileName, const std::string& section, const std::string& key,
                 const std::string& value) {
    IniFile file(fileName);
    file.WriteString(section, key, value);
    file.Save();
}

bool TryParseInteger(const std::string& text, std::int32_t& value) {
    std::string_view t = TrimBlanks(text);
    bool negative = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    std::uint64_t v = 0;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t.remove_prefix(2);
        for (char c : t) {
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) return false;
            v = v * 16 + static_cast<unsigned>(d);
            if (v > 0xFFFFFFFFull) return false;
        }
        // Eight hex digits are a 32-bit pattern: 0xFFFFFFFF is -1.
        std::int32_t bits = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        value = negative ? static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(bits)) : bits;
        return true;
    }
    if (t.empty()) return false;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > 0x80000000ull) return false;
    }
    if (!negative && v > 0x7FFFFFFFull) return false;
    value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(v))
                     : static_cast<std::int32_t>(v);
    return true;
}

}  // namespace kavar::profile
