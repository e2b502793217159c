// The service database on disk: one record file per service, one run folder per service
// instance (lock, status, control socket), written so that a reader never sees half a file
// and a dead process never looks alive.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>

#include "platform/scm/scm_internal.h"

namespace kavar::scm::detail {
namespace {

constexpr char kDefaultRoot[] = "/var/lib/kavar/scm";
constexpr size_t kMaxEncodedKey = 180;

std::string Escape(const std::string& value) {
    std::string out;
    for (char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Unescape(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
        } else {
            out += value[i];
        }
    }
    return out;
}

bool ParseUint(const std::string& text, std::uint64_t& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(text.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0';
}

std::uint64_t NewId() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
           static_cast<std::uint64_t>(::getpid());
}

void MakeDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) Fail(ErrnoToCode(errno));
}

// Whether another open file holds a write lock on the file (OFD locks: per open file, so
// the holder's own process sees it too, and the kernel drops it with the last descriptor).
bool LockHeld(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

void RemoveTree(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        ::unlink((path + "/" + name).c_str());
    }
    ::closedir(dir);
    ::rmdir(path.c_str());
}

}  // namespace

std::string Root() {
    const char* env = std::getenv(kEnvRoot);
    std::string root = env != nullptr && *env != '\0' ? env : kDefaultRoot;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

std::string LowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return LowerAscii(a) == LowerAscii(b);
}

std::string EncodeKey(const std::string& name) {
    const std::string lower = LowerAscii(name);
    std::string out;
    for (size_t i = 0; i < lower.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(lower[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                           c == '-' || (c == '.' && i > 0);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    if (out.size() > kMaxEncodedKey) {
        // File names have a length limit; keep a readable prefix and make it unique.
        std::uint64_t hash = 1469598103934665603ULL;
        for (unsigned char c : lower) hash = (hash ^ c) * 1099511628211ULL;
        char tail[20];
        std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
        out = out.substr(0, kMaxEncodedKey - 17) + tail;
    }
    return out;
}

std::string ServicesDir() { return Root() + "/services"; }
std::string RecordPath(const std::string& encodedKey) {
    return ServicesDir() + "/" + encodedKey + ".svc";
}
std::string RunDir(const std::string& encodedKey) { return Root() + "/run/" + encodedKey; }

void EnsureRootLayout() {
    const std::string root = Root();
    // mkdir -p of the root itself.
    for (size_t pos = 1; pos <= root.size(); ++pos) {
        if (pos == root.size() || root[pos] == '/') MakeDir(root.substr(0, pos));
    }
    MakeDir(root + "/services");
    MakeDir(root + "/run");
}

bool CanWriteRoot() {
    try {
        EnsureRootLayout();
    } catch (const ScmError&) {
        return false;
    }
    return ::faccessat(AT_FDCWD, Root().c_str(), W_OK | X_OK, AT_EACCESS) == 0 &&
           ::faccessat(AT_FDCWD, ServicesDir().c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// ---- files -----------------------------------------------------------------------------

void WriteFileAtomic(const std::string& path, const std::string& data, bool durable) {
    const std::string temp =
        path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(NewId() & 0xffffff);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Fail(ErrnoToCode(errno));
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            Fail(ErrnoToCode(err));
        }
        done += static_cast<size_t>(n);
    }
    // fsync so that a crash of the machine leaves the old or the new record, never an empty one.
    if ((durable && ::fsync(fd) != 0) || ::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        Fail(ErrnoToCode(err));
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        Fail(ErrnoToCode(err));
    }
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
}

RootLock::RootLock() {
    EnsureRootLayout();
    fd_ = ::open((Root() + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) Fail(ErrnoToCode(errno));
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int err = errno;
            ::close(fd_);
            Fail(ErrnoToCode(err));
        }
    }
}

RootLock::~RootLock() {
    if (fd_ >= 0) ::close(fd_);  // drops the flock
}

ControlAddress::ControlAddress(const std::string& runDir) {
    const std::string full = runDir + "/" + kControlSocketName;
    if (full.size() < 100) {
        path_ = full;
        return;
    }
    dirFd_ = ::open(runDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirFd_ < 0) Fail(ErrnoToCode(errno));
    path_ = "/proc/self/fd/" + std::to_string(dirFd_) + "/" + kControlSocketName;
}

ControlAddress::~ControlAddress() {
    if (dirFd_ >= 0) ::close(dirFd_);
}

// ---- records ---------------------------------------------------------------------------

std::optional<Record> LoadRecord(const std::string& encodedKey) {
    const auto text = ReadWholeFile(RecordPath(encodedKey));
    if (!text) return std::nullopt;
    Record record;
    bool haveName = false;
    std::istringstream in(*text);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = Unescape(line.substr(eq + 1));
        std::uint64_t number = 0;
        const bool isNumber = ParseUint(value, number);
        if (key == "Name") {
            record.name = value;
            haveName = true;
        } else if (key == "DisplayName") {
            record.displayName = value;
        } else if (key == "Type" && isNumber) {
            record.serviceType = static_cast<DWORD>(number);
        } else if (key == "Start" && isNumber) {
            record.startType = static_cast<DWORD>(number);
        } else if (key == "DelayedAutoStart" && isNumber) {
            record.delayedAutoStart = number != 0;
        } else if (key == "ErrorControl" && isNumber) {
            record.errorControl = static_cast<DWORD>(number);
        } else if (key == "ImagePath") {
            record.binaryPath = value;
        } else if (key == "Group") {
            record.loadOrderGroup = value;
        } else if (key == "DependOnService") {
            record.dependencies.push_back(value);
        } else if (key == "ObjectName") {
            record.account = value;
        } else if (key == "DeleteFlag" && isNumber) {
            record.markedForDelete = number != 0;
        } else if (key == "Id" && isNumber) {
            record.id = number;
        }
    }
    // A record that does not name its service (never written by us) does not exist.
    if (!haveName || EncodeKey(record.name) != encodedKey) return std::nullopt;
    return record;
}

void SaveRecord(const Record& input) {
    Record record = input;
    if (record.id == 0) record.id = NewId();
    std::string out;
    out += "Name=" + Escape(record.name) + "\n";
    out += "DisplayName=" + Escape(record.displayName) + "\n";
    out += "Type=" + std::to_string(record.serviceType) + "\n";
    out += "Start=" + std::to_string(record.startType) + "\n";
    out += "DelayedAutoStart=" + std::to_string(record.delayedAutoStart ? 1 : 0) + "\n";
    out += "ErrorControl=" + std::to_string(record.errorControl) + "\n";
    out += "ImagePath=" + Escape(record.binaryPath) + "\n";
    out += "Group=" + Escape(record.loadOrderGroup) + "\n";
    for (const auto& dependency : record.dependencies) {
        out += "DependOnService=" + Escape(dependency) + "\n";
    }
    out += "ObjectName=" + Escape(record.account) + "\n";
    out += "DeleteFlag=" + std::to_string(record.markedForDelete ? 1 : 0) + "\n";
    out += "Id=" + std::to_string(record.id) + "\n";
    EnsureRootLayout();
    WriteFileAtomic(RecordPath(EncodeKey(record.name)), out);
}

void RemoveRecord(const std::string& encodedKey) {
    if (::unlink(RecordPath(encodedKey).c_str()) != 0 && errno != ENOENT) {
        Fail(ErrnoToCode(errno));
    }
    if (!InstanceAlive(encodedKey)) RemoveTree(RunDir(encodedKey));
}

std::vector<Record> LoadAllRecords() {
    std::vector<Record> records;
    DIR* dir = ::opendir(ServicesDir().c_str());
    if (dir == nullptr) return records;  // no database yet: no services
    std::vector<std::string> keys;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".svc") == 0) {
            keys.push_back(name.substr(0, name.size() - 4));
        }
    }
    ::closedir(dir);
    for (const auto& key : keys) {
        if (auto record = LoadRecord(key)) records.push_back(std::move(*record));
    }
    std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
        return LowerAscii(a.name) < LowerAscii(b.name);
    });
    return records;
}

// ---- status ----------------------------------------------------------------------------

bool InstanceAlive(const std::string& encodedKey) {
    return LockHeld(RunDir(encodedKey) + "/" + kLockFileName);
}

namespace {

std::optional<Status> ParseStatus(const std::string& text) {
    Status status;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        std::uint64_t value = 0;
        if (!ParseUint(line.substr(eq + 1), value)) continue;
        const auto v = static_cast<DWORD>(value);
        if (key == "State") {
            status.status.dwCurrentState = v;
        } else if (key == "ControlsAccepted") {
            status.status.dwControlsAccepted = v;
        } else if (key == "Win32ExitCode") {
            status.status.dwWin32ExitCode = v;
        } else if (key == "ServiceSpecificExitCode") {
            status.status.dwServiceSpecificExitCode = v;
        } else if (key == "CheckPoint") {
            status.status.dwCheckPoint = v;
        } else if (key == "WaitHint") {
            status.status.dwWaitHint = v;
        } else if (key == "Pid") {
            status.pid = static_cast<std::int32_t>(value);
        }
    }
    if (status.status.dwCurrentState < SERVICE_STOPPED ||
        status.status.dwCurrentState > SERVICE_PAUSED) {
        return std::nullopt;
    }
    return status;
}

Status StoppedStatus(DWORD exitCode) {
    Status status;
    status.status.dwCurrentState = SERVICE_STOPPED;
    status.status.dwWin32ExitCode = exitCode;
    return status;
}

}  // namespace

void WriteStatusFile(const std::string& runDir, const Status& status) {
    const SERVICE_STATUS& s = status.status;
    std::string out;
    out += "State=" + std::to_string(s.dwCurrentState) + "\n";
    out += "ControlsAccepted=" + std::to_string(s.dwControlsAccepted) + "\n";
    out += "Win32ExitCode=" + std::to_string(s.dwWin32ExitCode) + "\n";
    out += "ServiceSpecificExitCode=" + std::to_string(s.dwServiceSpecificExitCode) + "\n";
    out += "CheckPoint=" + std::to_string(s.dwCheckPoint) + "\n";
    out += "WaitHint=" + std::to_string(s.dwWaitHint) + "\n";
    out += "Pid=" + std::to_string(status.pid) + "\n";
    WriteFileAtomic(runDir + "/" + kStatusFileName, out, false);
}

Status ReadStatus(const std::string& encodedKey, DWORD serviceType) {
    const std::string runDir = RunDir(encodedKey);
    // Probe the lock before reading: a process writes its last status before it lets go
    // of the lock, so a free lock means the file holds the final word.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const bool alive = InstanceAlive(encodedKey);
        const auto text = ReadWholeFile(runDir + "/" + kStatusFileName);
        std::optional<Status> status = text ? ParseStatus(*text) : std::nullopt;
        Status result;
        if (alive) {
            result = status ? *status : StoppedStatus(ERROR_SUCCESS);
            if (!status) result.status.dwCurrentState = SERVICE_START_PENDING;
        } else if (!status) {
            result = StoppedStatus(ERROR_SERVICE_NEVER_STARTED);
        } else if (status->status.dwCurrentState == SERVICE_STOPPED) {
            result = *status;
        } else if (InstanceAlive(encodedKey)) {
            continue;  // a new instance started between the probe and the read
        } else {
            result = StoppedStatus(ERROR_PROCESS_ABORTED);
        }
        if (result.status.dwCurrentState == SERVICE_STOPPED) {
            result.status.dwControlsAccepted = 0;
            result.status.dwCheckPoint = 0;
            result.status.dwWaitHint = 0;
            result.pid = 0;
        }
        result.status.dwServiceType = serviceType;
        return result;
    }
    Status result = StoppedStatus(ERROR_PROCESS_ABORTED);
    result.status.dwServiceType = serviceType;
    return result;
}

bool InstanceActive(const std::string& encodedKey) {
    return ReadStatus(encodedKey, 0).status.dwCurrentState != SERVICE_STOPPED;
}

bool IsGone(const Record& record) {
    return record.markedForDelete && !InstanceActive(EncodeKey(record.name));
}

void ReapIfGone(const Record& record) {
    if (!IsGone(record) || !CanWriteRoot()) return;
    try {
        RootLock lock;
        const auto current = LoadRecord(EncodeKey(record.name));
        if (current && current->id == record.id && IsGone(*current)) {
            RemoveRecord(EncodeKey(record.name));
        }
    } catch (const ScmError&) {
        // Left for the next caller that may write; the record already reads as gone.
    }
}

}  // namespace kavar::scm::detail
