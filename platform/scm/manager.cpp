// Manager side of the service manager stand-in: handles, registration, configuration,
// enumeration, start (launching the service's process) and control requests.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <unordered_set>
#include <utility>

#include "platform/scm/scm.h"
#include "platform/scm/scm_internal.h"

extern char** environ;

namespace kavar::scm {

using namespace detail;

struct ScHandleRec {
    bool isManager = false;
    DWORD access = 0;
    std::string name;  // service key name as stored
    std::string key;   // its encoded form
    std::uint64_t id = 0;
};

struct ScLockRec {
    int fd = -1;
};

namespace {

constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kGenericExecute = 0x20000000;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kWriteDac = 0x40000;
constexpr DWORD kWriteOwner = 0x80000;
constexpr size_t kMaxNameLength = 256;
constexpr int kDefaultStartTimeoutMs = 30000;
constexpr int kDefaultControlTimeoutMs = 30000;

std::mutex gRegistryMutex;
std::unordered_set<const void*> gHandles;
std::unordered_set<const void*> gLocks;

// Runs a public call: a failure anywhere below becomes the thread's last error and the
// call's failure value.
template <typename R, typename F>
R Guarded(R failure, F&& body) {
    try {
        return body();
    } catch (const ScmError& e) {
        SetLastError(e.code);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (const std::system_error&) {
        SetLastError(ERROR_SERVICE_NO_THREAD);
    }
    return failure;
}

int TimeoutFromEnv(const char* name, int fallback) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return fallback;
    const long ms = std::strtol(value, nullptr, 10);
    return ms > 0 ? static_cast<int>(std::min<long>(ms, 24L * 3600 * 1000)) : fallback;
}

DWORD MapManagerAccess(DWORD access) {
    if (access & kGenericRead)
        access |= SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (access & kGenericWrite) access |= SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (access & kGenericExecute) access |= SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (access & kGenericAll) access |= SC_MANAGER_ALL_ACCESS;
    return access | SC_MANAGER_CONNECT;
}

DWORD MapServiceAccess(DWORD access) {
    if (access & kGenericRead) {
        access |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                  SERVICE_ENUMERATE_DEPENDENTS;
    }
    if (access & kGenericWrite) access |= SERVICE_CHANGE_CONFIG;
    if (access & kGenericExecute) {
        access |=
            SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
    }
    if (access & kGenericAll) access |= SERVICE_ALL_ACCESS;
    return access;
}

bool ManagerAccessWrites(DWORD access) {
    return (access & (SC_MANAGER_CREATE_SERVICE | SC_MANAGER_LOCK | SC_MANAGER_MODIFY_BOOT_CONFIG |
                      DELETE | kWriteDac | kWriteOwner)) != 0;
}

bool ServiceAccessWrites(DWORD access) {
    return (access &
            (SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
             SERVICE_USER_DEFINED_CONTROL | DELETE | kWriteDac | kWriteOwner)) != 0;
}

ScHandleRec& CheckHandle(SC_HANDLE handle, bool manager) {
    std::lock_guard lock(gRegistryMutex);
    if (handle == nullptr || gHandles.count(handle) == 0 || handle->isManager != manager) {
        Fail(ERROR_INVALID_HANDLE);
    }
    return *handle;
}

void Require(const ScHandleRec& handle, DWORD rights) {
    if ((handle.access & rights) != rights) Fail(ERROR_ACCESS_DENIED);
}

SC_HANDLE NewHandle(ScHandleRec record) {
    auto* handle = new ScHandleRec(std::move(record));
    std::lock_guard lock(gRegistryMutex);
    gHandles.insert(handle);
    return handle;
}

void CheckName(const char* name) {
    if (name == nullptr || *name == '\0') Fail(ERROR_INVALID_NAME);
    const std::string text = name;
    if (text.size() > kMaxNameLength || text.find_first_of("/\\") != std::string::npos) {
        Fail(ERROR_INVALID_NAME);
    }
}

void CheckServiceType(DWORD type) {
    const DWORD base = type & ~SERVICE_INTERACTIVE_PROCESS;
    if (base != SERVICE_WIN32_OWN_PROCESS && base != SERVICE_WIN32_SHARE_PROCESS) {
        Fail(ERROR_INVALID_PARAMETER);
    }
}

void CheckStartType(DWORD start) {
    if (start != SERVICE_AUTO_START && start != SERVICE_DEMAND_START && start != SERVICE_DISABLED) {
        Fail(ERROR_INVALID_PARAMETER);  // boot and system start are for drivers
    }
}

void CheckErrorControl(DWORD errorControl) {
    if (errorControl > SERVICE_ERROR_CRITICAL) Fail(ERROR_INVALID_PARAMETER);
}

std::vector<std::string> ParseMultiString(const char* list) {
    std::vector<std::string> items;
    if (list == nullptr) return items;
    for (const char* p = list; *p != '\0'; p += std::strlen(p) + 1) items.emplace_back(p);
    return items;
}

bool IsGroupName(const std::string& dependency) {
    return !dependency.empty() && dependency[0] == '+';
}

// The record a service handle refers to; a service deleted (or re-created) since the
// handle was opened is marked for deletion as far as the handle is concerned.
Record LoadForHandle(const ScHandleRec& handle) {
    auto record = LoadRecord(handle.key);
    if (!record || record->id != handle.id || IsGone(*record)) {
        Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    return *record;
}

// The status behind a handle. A service deleted since the handle was opened no longer
// runs (its record goes only once it has stopped), so its handle still reads "stopped".
Status StatusForHandle(const ScHandleRec& handle) {
    const auto record = LoadRecord(handle.key);
    if (!record || record->id != handle.id) {
        Status stopped;
        stopped.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        stopped.status.dwCurrentState = SERVICE_STOPPED;
        return stopped;
    }
    return ReadStatus(handle.key, record->serviceType);
}

// Live records in name order (a service marked for deletion disappears once it stops).
std::vector<Record> LiveRecords() {
    std::vector<Record> live;
    for (auto& record : LoadAllRecords()) {
        if (IsGone(record)) {
            ReapIfGone(record);
            continue;
        }
        live.push_back(std::move(record));
    }
    return live;
}

const Record* FindByName(const std::vector<Record>& records, const std::string& name) {
    for (const auto& record : records) {
        if (EqualsNoCase(record.name, name)) return &record;
    }
    return nullptr;
}

// Key and display names share one name space (case-insensitive).
void CheckNameClash(const std::vector<Record>& records, const std::string& self,
                    const std::string& name, const std::string& display) {
    for (const auto& record : records) {
        if (EqualsNoCase(record.name, self)) continue;
        if (EqualsNoCase(record.displayName, display) || EqualsNoCase(record.name, display) ||
            EqualsNoCase(record.displayName, name)) {
            Fail(ERROR_DUPLICATE_SERVICE_NAME);
        }
    }
}

// A dependency chain that leads back to the service itself cannot ever start.
void CheckNoCycle(const std::vector<Record>& records, const std::string& self,
                  const std::vector<std::string>& dependencies) {
    std::set<std::string> seen;
    std::function<bool(const std::vector<std::string>&)> reaches =
        [&](const std::vector<std::string>& deps) {
            for (const auto& dep : deps) {
                if (IsGroupName(dep)) continue;
                const std::string lower = LowerAscii(dep);
                if (lower == LowerAscii(self)) return true;
                if (!seen.insert(lower).second) continue;
                if (const Record* next = FindByName(records, dep)) {
                    if (reaches(next->dependencies)) return true;
                }
            }
            return false;
        };
    if (reaches(dependencies)) Fail(ERROR_CIRCULAR_DEPENDENCY);
}

std::vector<const Record*> DirectDependents(const std::vector<Record>& records,
                                            const std::string& name) {
    std::vector<const Record*> out;
    for (const auto& record : records) {
        for (const auto& dep : record.dependencies) {
            if (EqualsNoCase(dep, name)) {
                out.push_back(&record);
                break;
            }
        }
    }
    return out;
}

// All services that need this one, directly or not, in the order they must stop.
std::vector<const Record*> AllDependents(const std::vector<Record>& records,
                                         const std::string& name) {
    std::vector<const Record*> order;
    std::set<std::string> seen{LowerAscii(name)};
    std::function<void(const std::string&)> visit = [&](const std::string& of) {
        for (const Record* dependent : DirectDependents(records, of)) {
            if (!seen.insert(LowerAscii(dependent->name)).second) continue;
            visit(dependent->name);
            order.push_back(dependent);
        }
    };
    visit(name);
    return order;
}

bool MatchesState(DWORD state, DWORD filter) {
    const bool active = state != SERVICE_STOPPED;
    return (filter & SERVICE_ACTIVE && active) || (filter & SERVICE_INACTIVE && !active);
}

// Writes enumeration records into the caller's buffer: records from the front, their
// strings from the back. Returns how many fitted; *bytesNeeded is what the rest needs.
DWORD FillEnum(const std::vector<std::pair<const Record*, SERVICE_STATUS>>& items, size_t first,
               ENUM_SERVICE_STATUS* services, DWORD bufSize, DWORD* bytesNeeded) {
    auto* base = reinterpret_cast<char*>(services);
    size_t front = 0;
    size_t back = services == nullptr ? 0 : bufSize;
    DWORD fitted = 0;
    size_t i = first;
    for (; i < items.size(); ++i) {
        const Record& record = *items[i].first;
        const size_t strings = record.name.size() + 1 + record.displayName.size() + 1;
        if (services == nullptr || front + sizeof(ENUM_SERVICE_STATUS) + strings > back) break;
        back -= strings;
        char* name = base + back;
        std::memcpy(name, record.name.c_str(), record.name.size() + 1);
        char* display = name + record.name.size() + 1;
        std::memcpy(display, record.displayName.c_str(), record.displayName.size() + 1);
        ENUM_SERVICE_STATUS entry{name, display, items[i].second};
        std::memcpy(base + front, &entry, sizeof entry);
        front += sizeof entry;
        ++fitted;
    }
    size_t rest = 0;
    for (; i < items.size(); ++i) {
        rest += sizeof(ENUM_SERVICE_STATUS) + items[i].first->name.size() + 1 +
                items[i].first->displayName.size() + 1;
    }
    *bytesNeeded = static_cast<DWORD>(rest);
    return fitted;
}

// ---- starting a service process --------------------------------------------------------

// Splits a command line the way the original platform's C runtime does: a quoted or
// blank-ended program path, then arguments with quotes and backslash escapes.
std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::string program;
    if (i < line.size() && line[i] == '"') {
        const size_t end = line.find('"', i + 1);
        program = line.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
        i = end == std::string::npos ? line.size() : end + 1;
    } else {
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') program += line[i++];
    }
    args.push_back(program);
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '\\') {
                size_t slashes = 0;
                while (i < line.size() && line[i] == '\\') ++slashes, ++i;
                if (i < line.size() && line[i] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(slashes, '\\');
                }
            } else if (line[i] == '"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += line[i++];
            }
        }
        args.push_back(arg);
    }
    return args;
}

// The file to execute: the path as given, or without a ".exe" the original platform needs.
std::string ResolveExecutable(const std::string& program) {
    struct stat info {};
    if (::stat(program.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return program;
    if (program.size() > 4 && LowerAscii(program.substr(program.size() - 4)) == ".exe") {
        const std::string bare = program.substr(0, program.size() - 4);
        if (::stat(bare.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return bare;
    }
    Fail(ERROR_FILE_NOT_FOUND);
}

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

struct Launch {
    std::string key;
    std::string runDir;
    pid_t group = 0;
    Fd ready;
};

// Copies an open descriptor to a number above the ones the child rearranges, so that
// dup2 in the child never overwrites a source it still needs.
Fd HighCopy(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    if (copy < 0) Fail(ErrnoToCode(errno));
    return Fd(copy);
}

[[noreturn]] void ChildFail(int readyFd, int err) {
    ReadyMessage message{kReadyTagExecError, {}, err};
    (void)!::write(readyFd, &message, sizeof message);
    ::_exit(127);
}

// Launches the service's process detached (own session, reparented to init) with the
// instance lock and the start-up channel as descriptors 3 and 4. Called under the root
// lock; the instance lock is taken here, so a second start of a running service fails.
Launch Spawn(const Record& record, const std::vector<std::string>& startArgs) {
    const std::string key = EncodeKey(record.name);
    const std::string runDir = RunDir(key);
    EnsureRootLayout();
    if (::mkdir(runDir.c_str(), 0755) != 0 && errno != EEXIST) Fail(ErrnoToCode(errno));

    const std::vector<std::string> command = SplitCommandLine(record.binaryPath);
    if (command.empty() || command[0].empty()) Fail(ERROR_FILE_NOT_FOUND);
    const std::string executable = ResolveExecutable(command[0]);
    if (::access(executable.c_str(), X_OK) != 0) Fail(ERROR_ACCESS_DENIED);

    Fd lock(::open((runDir + "/" + kLockFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lock.Get() < 0) Fail(ErrnoToCode(errno));
    struct flock take {};
    take.l_type = F_WRLCK;
    take.l_whence = SEEK_SET;
    // A process that has reported "stopped" lets go of the lock a moment later.
    const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::fcntl(lock.Get(), F_OFD_SETLK, &take) != 0) {
        if (errno != EAGAIN && errno != EACCES) Fail(ErrnoToCode(errno));
        if (InstanceActive(key) || std::chrono::steady_clock::now() >= patience) {
            Fail(ERROR_SERVICE_ALREADY_RUNNING);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    Status pending;
    pending.status.dwServiceType = record.serviceType;
    pending.status.dwCurrentState = SERVICE_START_PENDING;
    pending.status.dwWaitHint = 2000;
    WriteStatusFile(runDir, pending);

    std::string args;
    args += record.name;
    args += '\0';
    for (const auto& arg : startArgs) {
        args += arg;
        args += '\0';
    }
    WriteFileAtomic(runDir + "/" + kArgsFileName, args);

    Fd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    Fd output(::open((runDir + "/" + kOutputFileName).c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
    if (devNull.Get() < 0 || output.Get() < 0) Fail(ErrnoToCode(errno));
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) Fail(ErrnoToCode(errno));
    Fd ours(pair[0]);
    Fd theirs(pair[1]);

    // Everything the child needs is prepared before fork: after it only async-signal-safe
    // calls are allowed.
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (std::strncmp(*e, "KAVAR_SCM_", 10) != 0) env.emplace_back(*e);
    }
    char rootReal[PATH_MAX];
    const std::string root = ::realpath(Root().c_str(), rootReal) ? rootReal : Root();
    env.push_back(std::string(kEnvRoot) + "=" + root);
    env.push_back(std::string(kEnvService) + "=" + record.name);
    env.push_back(std::string(kEnvLockFd) + "=3");
    env.push_back(std::string(kEnvReadyFd) + "=4");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore = command;
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    Fd highNull = HighCopy(devNull.Get());
    Fd highOut = HighCopy(output.Get());
    Fd highLock = HighCopy(lock.Get());
    Fd highReady = HighCopy(theirs.Get());

    const pid_t child = ::fork();
    if (child < 0) Fail(ErrnoToCode(errno));
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild < 0) ChildFail(highReady.Get(), errno);
        if (grandchild > 0) {
            ReadyMessage message{kReadyTagPid, {}, grandchild};
            (void)!::write(highReady.Get(), &message, sizeof message);
            ::_exit(0);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &defaults, nullptr);
        if (::dup2(highNull.Get(), 0) < 0 || ::dup2(highOut.Get(), 1) < 0 ||
            ::dup2(highOut.Get(), 2) < 0 || ::dup2(highLock.Get(), 3) < 0 ||
            ::dup2(highReady.Get(), 4) < 0) {
            ChildFail(highReady.Get(), errno);
        }
        // Nothing else of the caller's (pipes of a shell or a test harness) may stay open
        // in a long-running service.
        ::syscall(SYS_close_range, 5U, ~0U, 0U);
        if (::chdir("/") != 0) ChildFail(4, errno);
        ::execve(executable.c_str(), argv.data(), envp.data());
        ChildFail(4, errno);
    }
    int childStatus = 0;
    while (::waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
    }
    Launch launch;
    launch.key = key;
    launch.runDir = runDir;
    launch.group = child;
    launch.ready = std::move(ours);
    return launch;  // our copies of the lock and the child's channel end close here
}

bool AwaitLockRelease(const std::string& key, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (InstanceAlive(key)) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void RecordStopped(const Launch& launch, DWORD serviceType, DWORD exitCode) {
    if (!AwaitLockRelease(launch.key, 5000)) return;
    Status stopped;
    stopped.status.dwServiceType = serviceType;
    stopped.status.dwCurrentState = SERVICE_STOPPED;
    stopped.status.dwWin32ExitCode = exitCode;
    WriteStatusFile(launch.runDir, stopped);
}

// Waits until the new process has connected (its dispatcher runs); a process that ends
// or stays silent fails the start, and a silent one is killed.
void AwaitConnection(Launch& launch, DWORD serviceType) {
    const int timeoutMs = TimeoutFromEnv("KAVAR_SCM_START_TIMEOUT_MS", kDefaultStartTimeoutMs);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pid_t pid = 0;
    std::string pending;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{launch.ready.Get(), POLLIN, 0};
        const int ready = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            // No answer in time: the process is not a working service.
            if (InstanceAlive(launch.key)) ::kill(-launch.group, SIGKILL);
            if (pid > 0 && InstanceAlive(launch.key)) ::kill(pid, SIGKILL);
            RecordStopped(launch, serviceType, ERROR_SERVICE_REQUEST_TIMEOUT);
            Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
        }
        char buffer[64];
        const ssize_t n = ::recv(launch.ready.Get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The process ended before it connected.
            RecordStopped(launch, serviceType, ERROR_PROCESS_ABORTED);
            Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
        }
        pending.append(buffer, static_cast<size_t>(n));
        while (pending.size() >= sizeof(ReadyMessage)) {
            ReadyMessage message{};
            std::memcpy(&message, pending.data(), sizeof message);
            pending.erase(0, sizeof message);
            if (message.tag == kReadyTagPid) {
                pid = message.value;
            } else if (message.tag == kReadyTagExecError) {
                const DWORD code = ErrnoToCode(message.value);
                RecordStopped(launch, serviceType, code);
                Fail(code);
            } else if (message.tag == kReadyTagConnected) {
                return;
            }
        }
    }
}

// While a start runs, the database lock cannot be taken, and a held lock stops starts.
class StartGuard {
  public:
    StartGuard() {
        EnsureRootLayout();
        fd_ = Fd(::open((Root() + "/dblock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (fd_.Get() < 0) Fail(ErrnoToCode(errno));
        struct flock shared {};
        shared.l_type = F_RDLCK;
        shared.l_whence = SEEK_SET;
        if (::fcntl(fd_.Get(), F_OFD_SETLK, &shared) != 0) {
            if (errno == EAGAIN || errno == EACCES) Fail(ERROR_SERVICE_DATABASE_LOCKED);
            Fail(ErrnoToCode(errno));
        }
    }

  private:
    Fd fd_;
};

void StartOne(const std::string& key, std::uint64_t id, const std::vector<std::string>& args,
              std::set<std::string>& starting, bool asDependency) {
    if (!starting.insert(key).second) Fail(ERROR_CIRCULAR_DEPENDENCY);
    const DWORD missing =
        asDependency ? ERROR_SERVICE_DEPENDENCY_DELETED : ERROR_SERVICE_MARKED_FOR_DELETE;
    Record record;
    {
        RootLock lock;
        auto loaded = LoadRecord(key);
        if (!loaded || (id != 0 && loaded->id != id) || loaded->markedForDelete) Fail(missing);
        record = *loaded;
    }
    if (record.startType == SERVICE_DISABLED) {
        Fail(asDependency ? ERROR_SERVICE_DEPENDENCY_FAIL : ERROR_SERVICE_DISABLED);
    }
    for (const auto& dependency : record.dependencies) {
        if (IsGroupName(dependency)) continue;
        const std::string depKey = EncodeKey(dependency);
        const auto depRecord = LoadRecord(depKey);
        if (!depRecord || depRecord->markedForDelete) Fail(ERROR_SERVICE_DEPENDENCY_DELETED);
        if (ReadStatus(depKey, depRecord->serviceType).status.dwCurrentState != SERVICE_STOPPED) {
            continue;
        }
        try {
            StartOne(depKey, depRecord->id, {}, starting, true);
        } catch (const ScmError& e) {
            if (e.code == ERROR_SERVICE_ALREADY_RUNNING) continue;  // started by someone else
            Fail(e.code == ERROR_SERVICE_DEPENDENCY_DELETED ? e.code
                                                            : ERROR_SERVICE_DEPENDENCY_FAIL);
        }
    }
    Launch launch;
    {
        RootLock lock;
        const auto current = LoadRecord(key);
        if (!current || current->id != record.id || current->markedForDelete) Fail(missing);
        if (current->startType == SERVICE_DISABLED) Fail(ERROR_SERVICE_DISABLED);
        record = *current;
        launch = Spawn(record, asDependency ? std::vector<std::string>{} : args);
    }
    AwaitConnection(launch, record.serviceType);
}

// ---- control channel ---------------------------------------------------------------------

DWORD SendControl(const std::string& key, DWORD control) {
    Fd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (sock.Get() < 0) Fail(ErrnoToCode(errno));
    ControlAddress address(RunDir(key));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", address.Path().c_str());
    if (::connect(sock.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        // No listener: the process is ending or has not connected yet.
        return InstanceAlive(key) ? ERROR_SERVICE_CANNOT_ACCEPT_CTRL : ERROR_SERVICE_NOT_ACTIVE;
    }
    const std::uint32_t request = control;
    if (::send(sock.Get(), &request, sizeof request, MSG_NOSIGNAL) != sizeof request) {
        return ERROR_SERVICE_NOT_ACTIVE;
    }
    const int timeoutMs = TimeoutFromEnv("KAVAR_SCM_CONTROL_TIMEOUT_MS", kDefaultControlTimeoutMs);
    pollfd p{sock.Get(), POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return ERROR_SERVICE_REQUEST_TIMEOUT;
    std::uint32_t reply = 0;
    const ssize_t n = ::recv(sock.Get(), &reply, sizeof reply, 0);
    if (n != sizeof reply) {
        // The process went away while handling the request.
        return InstanceAlive(key) ? ERROR_SERVICE_REQUEST_TIMEOUT : ERROR_SERVICE_NOT_ACTIVE;
    }
    return reply;
}

DWORD AcceptBitFor(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            return SERVICE_ACCEPT_STOP;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            return SERVICE_ACCEPT_PAUSE_CONTINUE;
        case SERVICE_CONTROL_SHUTDOWN:
            return SERVICE_ACCEPT_SHUTDOWN;
        default:
            return 0;  // user-defined controls always reach the handler
    }
}

DWORD RightFor(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            return SERVICE_STOP;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            return SERVICE_PAUSE_CONTINUE;
        case SERVICE_CONTROL_INTERROGATE:
            return SERVICE_INTERROGATE;
        default:
            if (control >= 128 && control <= 255) return SERVICE_USER_DEFINED_CONTROL;
            Fail(ERROR_INVALID_PARAMETER);
    }
}

}  // namespace

// ---- public calls ------------------------------------------------------------------------

std::string RootFolder() { return Root(); }

SC_HANDLE OpenSCManager(const char* machine, const char* database, DWORD desiredAccess) {
    return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        if (machine != nullptr && *machine != '\0') {
            std::string host = machine;
            while (!host.empty() && host[0] == '\\') host.erase(0, 1);
            char self[256] = {};
            ::gethostname(self, sizeof self - 1);
            if (!EqualsNoCase(host, "localhost") && !EqualsNoCase(host, self) && host != "." &&
                host != "127.0.0.1") {
                Fail(ERROR_RPC_SERVER_UNAVAILABLE);
            }
        }
        if (database != nullptr && !EqualsNoCase(database, "ServicesActive")) {
            Fail(ERROR_DATABASE_DOES_NOT_EXIST);
        }
        const DWORD access = MapManagerAccess(desiredAccess);
        if (ManagerAccessWrites(access) && !CanWriteRoot()) Fail(ERROR_ACCESS_DENIED);
        ScHandleRec record;
        record.isManager = true;
        record.access = access;
        return NewHandle(std::move(record));
    });
}

bool CloseServiceHandle(SC_HANDLE handle) {
    std::lock_guard lock(gRegistryMutex);
    if (handle == nullptr || gHandles.erase(handle) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    delete handle;
    return true;
}

void ScopedServiceHandle::reset(SC_HANDLE h) {
    if (h_ != nullptr) CloseServiceHandle(h_);
    h_ = h;
}

SC_HANDLE CreateService(SC_HANDLE manager, const char* serviceName, const char* displayName,
                        DWORD desiredAccess, DWORD serviceType, DWORD startType, DWORD errorControl,
                        const char* binaryPathName, const char* loadOrderGroup, DWORD* tagId,
                        const char* dependencies, const char* serviceStartName,
                        const char* /*password*/) {
    return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        const ScHandleRec& owner = CheckHandle(manager, true);
        Require(owner, SC_MANAGER_CREATE_SERVICE);
        CheckName(serviceName);
        const std::string display =
            displayName != nullptr && *displayName != '\0' ? displayName : serviceName;
        if (display.size() > kMaxNameLength) Fail(ERROR_INVALID_NAME);
        CheckServiceType(serviceType);
        CheckStartType(startType);
        CheckErrorControl(errorControl);
        if (binaryPathName == nullptr || *binaryPathName == '\0') Fail(ERROR_INVALID_PARAMETER);
        if (tagId != nullptr) Fail(ERROR_INVALID_PARAMETER);  // tags are for drivers
        if (!CanWriteRoot()) Fail(ERROR_ACCESS_DENIED);

        Record record;
        record.name = serviceName;
        record.displayName = display;
        record.serviceType = serviceType;
        record.startType = startType;
        record.errorControl = errorControl;
        record.binaryPath = binaryPathName;
        record.loadOrderGroup = loadOrderGroup != nullptr ? loadOrderGroup : "";
        record.dependencies = ParseMultiString(dependencies);
        record.account = serviceStartName != nullptr && *serviceStartName != '\0' ? serviceStartName
                                                                                  : "LocalSystem";

        RootLock lock;
        const std::vector<Record> records = LoadAllRecords();
        if (const Record* existing = FindByName(records, record.name)) {
            if (!IsGone(*existing)) {
                Fail(existing->markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                               : ERROR_SERVICE_EXISTS);
            }
            RemoveRecord(EncodeKey(existing->name));
        }
        std::vector<Record> live;
        for (const auto& r : records) {
            if (!IsGone(r)) live.push_back(r);
        }
        CheckNameClash(live, record.name, record.name, record.displayName);
        CheckNoCycle(live, record.name, record.dependencies);
        SaveRecord(record);
        const auto saved = LoadRecord(EncodeKey(record.name));
        if (!saved) Fail(ERROR_WRITE_FAULT);
        // A leftover status of an earlier registration under this name means nothing now.
        ::unlink((RunDir(EncodeKey(record.name)) + "/" + kStatusFileName).c_str());

        ScHandleRec handle;
        handle.access = MapServiceAccess(desiredAccess);
        handle.name = saved->name;
        handle.key = EncodeKey(saved->name);
        handle.id = saved->id;
        return NewHandle(std::move(handle));
    });
}

SC_HANDLE OpenService(SC_HANDLE manager, const char* serviceName, DWORD desiredAccess) {
    return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        CheckHandle(manager, true);
        if (serviceName == nullptr || *serviceName == '\0') Fail(ERROR_INVALID_NAME);
        if (std::strlen(serviceName) > kMaxNameLength) Fail(ERROR_INVALID_NAME);
        const std::string key = EncodeKey(serviceName);
        const auto record = LoadRecord(key);
        if (!record) Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        if (IsGone(*record)) {
            ReapIfGone(*record);
            Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        }
        const DWORD access = MapServiceAccess(desiredAccess);
        if (ServiceAccessWrites(access) && !CanWriteRoot()) Fail(ERROR_ACCESS_DENIED);
        ScHandleRec handle;
        handle.access = access;
        handle.name = record->name;
        handle.key = key;
        handle.id = record->id;
        return NewHandle(std::move(handle));
    });
}

bool DeleteService(SC_HANDLE service) {
    return Guarded(false, [&] {
        const ScHandleRec& handle = CheckHandle(service, false);
        Require(handle, DELETE);
        RootLock lock;
        Record record = LoadForHandle(handle);
        if (record.markedForDelete) Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
        if (InstanceActive(handle.key)) {
            record.markedForDelete = true;
            SaveRecord(record);
        } else {
            RemoveRecord(handle.key);
        }
        return true;
    });
}

bool StartService(SC_HANDLE service, DWORD argc, const char** argv) {
    return Guarded(false, [&] {
        const ScHandleRec& handle = CheckHandle(service, false);
        Require(handle, SERVICE_START);
        if (argc > 0 && argv == nullptr) Fail(ERROR_INVALID_PARAMETER);
        std::vector<std::string> args;
        for (DWORD i = 0; i < argc; ++i) {
            if (argv[i] == nullptr) Fail(ERROR_INVALID_PARAMETER);
            args.emplace_back(argv[i]);
        }
        if (!CanWriteRoot()) Fail(ERROR_ACCESS_DENIED);
        LoadForHandle(handle);
        StartGuard guard;
        std::set<std::string> starting;
        StartOne(handle.key, handle.id, args, starting, false);
        return true;
    });
}

bool ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
    return Guarded(false, [&] {
        const ScHandleRec& handle = CheckHandle(service, false);
        if (status == nullptr) Fail(ERROR_INVALID_PARAMETER);
        Require(handle, RightFor(control));
        const Record record = LoadForHandle(handle);
        *status = ReadStatus(handle.key, record.serviceType).status;
        const DWORD state = status->dwCurrentState;
        if (state == SERVICE_STOPPED) Fail(ERROR_SERVICE_NOT_ACTIVE);
        if (control == SERVICE_CONTROL_INTERROGATE) return true;
        const DWORD bit = AcceptBitFor(control);
        const bool accepted = bit == 0 || (status->dwControlsAccepted & bit) != 0;
        if (state == SERVICE_STOP_PENDING || (state == SERVICE_START_PENDING && !accepted)) {
            Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        }
        if (!accepted) Fail(ERROR_INVALID_SERVICE_CONTROL);
        if (control == SERVICE_CONTROL_STOP) {
            const std::vector<Record> records = LiveRecords();
            for (const Record* dependent : AllDependents(records, record.name)) {
                const auto depStatus =
                    ReadStatus(EncodeKey(dependent->name), dependent->serviceType);
                if (depStatus.status.dwCurrentState != SERVICE_STOPPED) {
                    Fail(ERROR_DEPENDENT_SERVICES_RUNNING);
                }
            }
        }
        const DWORD result = SendControl(handle.key, control);
        *status = ReadStatus(handle.key, record.serviceType).status;
        if (result != ERROR_SUCCESS) Fail(result);
        return true;
    });
}

bool QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
    return Guarded(false, [&] {
        const ScHandleRec& handle = CheckHandle(service, false);
        Require(handle, SERVICE_QUERY_STATUS);
        if (status == nullptr) Fail(ERROR_INVALID_PARAMETER);
        *status = StatusForHandle(handle).status;
        return true;
    });
}

bool QueryServiceStatusEx(SC_HANDLE service, DWORD infoLevel, void* buffer, DWORD bufSize,
                          DWORD* bytesNeeded) {
    return Guarded(false, [&] {
        const ScHandleRec& handle = CheckHandle(service, false);
        Require(handle, SERVICE_QUERY_STATUS);
        if (infoLevel != SC_STATUS_PROCESS_INFO) Fail(ERROR_INVALID_LEVEL);
        if (bytesNeeded == nullptr) Fail(ERROR_INVALID_PARAMETER);
        *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
        if (buffer == nullptr || bufSize < sizeof(SERVICE_STATUS_PROCESS)) {
            Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        const Status status = StatusForHandle(handle);
        SERVICE_STATUS_PROCESS out{};
        out.dwServiceType = status.status.dwServiceType;
        out.dwCurrentState = status.status.dwCurrentState;
        out.dwControlsAccepted = status.status.dwControlsAccepted;
        out.dwWin32ExitCode = status.status.dwWin32ExitCode;
        out.dwServiceSpecificExitCode = status.status.dwServiceSpecificExitCode;
        out.dwCheckPoint = status.status.dwCheckPoint;
        out.dwWaitHint = status.status.dwWaitHint;
        out.dwProcessId = static_cast<DWORD>(status.pid);
        std::memcpy(buffer, &out, sizeof out);
        return true;
    });
}

bool EnumServicesStatus(SC_HANDLE manager, DWORD serviceType, DWORD serviceState,
                        ENUM_SERVICE_STATUS* services, DWORD bufSize, DWORD* bytesNeeded,
                        DWORD* servicesReturned, DWORD* resumeHandle) {
    return Guarded(false, [&] {
        const ScHandleRec& handle = CheckHandle(manager, true);
        Require(handle, SC_MANAGER_ENUMERATE_SERVICE);
        if (bytesNeeded == nullptr || servicesReturned == nullptr) Fail(ERROR_INVALID_PARAMETER);
        if (services == nullptr && bufSize != 0) Fail(ERROR_INVALID_PARAMETER);
        if (serviceState == 0 || serviceState > SERVICE_STATE_ALL) Fail(ERROR_INVALID_PARAMETER);
        if ((serviceType & (SERVICE_WIN32 | 0x0B)) == 0) Fail(ERROR_INVALID_PARAMETER);
        *bytesNeeded = 0;
        *servicesReturned = 0;
        const std::vector<Record> records = LiveRecords();
        std::vector<std::pair<const Record*, SERVICE_STATUS>> items;
        for (const auto& record : records) {
            if ((record.serviceType & serviceType & SERVICE_WIN32) == 0) continue;
            const SERVICE_STATUS status =
                ReadStatus(EncodeKey(record.name), record.serviceType).status;
            if (MatchesState(status.dwCurrentState, serviceState))
                items.emplace_back(&record, status);
        }
        const size_t first = resumeHandle != nullptr ? *resumeHandle : 0;
        const DWORD fitted =
            FillEnum(items, std::min(first, items.size()), services, bufSize, bytesNeeded);
        *servicesReturned = fitted;
        const size_t next = std::min(first, items.size()) + fitted;
        if (next < items.size()) {
            if (resumeHandle != nullptr) *resumeHandle = static_cast<DWORD>(next);
            Fail(ERROR_MORE_DATA);
        }
        if (resumeHandle != nullptr) *resumeHandle = 0;
        return true;
    });
}

bool EnumDependentServices(SC_HANDLE service, DWORD serviceState, ENUM_SERVICE_STATUS* services,
                           DWORD bufSize, DWORD* bytesNeeded, DWORD* servicesReturned) {
    return Guarded(false, [&] {
        const ScHandleRec& handle = CheckHandle(service, false);
        Require(handle, SERVICE_ENUMERATE_DEPENDENTS);
        if (bytesNeeded == nullptr || servicesReturned == nullptr) Fail(ERROR_INVALID_PARAMETER);
        if (services == nullptr && bufSize != 0) Fail(ERROR_INVALID_PARAMETER);
        if (serviceState == 0 || serviceState > SERVICE_STATE_ALL) Fail(ERROR_INVALID_PARAMETER);
        *bytesNeeded = 0;
        *servicesReturned = 0;
        const Record self = LoadForHandle(handle);
        const std::vector<Record> records = LiveRecords();
        std::vector<std::pair<const Record*, SERVICE_STATUS>> items;
        for (const Record* dependent : AllDependents(records, self.name)) {
            const SERVICE_STATUS status =
                ReadStatus(EncodeKey(dependent->name), dependent->serviceType).status;
            if (MatchesState(status.dwCurrentState, serviceState))
                items.emplace_back(dependent, status);
        }
        *servicesReturned = FillEnum(items, 0, services, bufSize, bytesNeeded);
        if (*servicesReturned < items.size()) {
            // Windows reports the whole size again when not everything fitted.
            DWORD all = 0;
            FillEnum(items, 0, nullptr, 0, &all);
            *bytesNeeded = all;
            *servicesReturned = 0;
            Fail(ERROR_MORE_DATA);
        }
        return true;
    });
}

bool QueryServiceConfig(SC_HANDLE service, QUERY_SERVICE_CONFIG* config, DWORD bufSize,
                        DWORD* bytesNeeded) {
    return Guarded(false, [&] {
        const ScHandleRec& handle = CheckHandle(service, false);
        Require(handle, SERVICE_QUERY_CONFIG);
        if (bytesNeeded == nullptr) Fail(ERROR_INVALID_PARAMETER);
        const Record record = LoadForHandle(handle);
        std::string deps;
        for (const auto& dep : record.dependencies) {
            deps += dep;
            deps += '\0';
        }
        deps += '\0';
        const std::string* texts[] = {&record.binaryPath, &record.loadOrderGroup, &record.account,
                                      &record.displayName};
        size_t needed = sizeof(QUERY_SERVICE_CONFIG) + deps.size();
        for (const std::string* text : texts) needed += text->size() + 1;
        *bytesNeeded = static_cast<DWORD>(needed);
        if (config == nullptr || bufSize < needed) Fail(ERROR_INSUFFICIENT_BUFFER);
        char* out = reinterpret_cast<char*>(config) + sizeof(QUERY_SERVICE_CONFIG);
        auto put = [&out](const char* data, size_t size) {
            char* at = out;
            std::memcpy(out, data, size);
            out += size;
            return at;
        };
        QUERY_SERVICE_CONFIG result{};
        result.dwServiceType = record.serviceType;
        result.dwStartType = record.startType;
        result.dwErrorControl = record.errorControl;
        result.lpBinaryPathName = put(record.binaryPath.c_str(), record.binaryPath.size() + 1);
        result.lpLoadOrderGroup =
            put(record.loadOrderGroup.c_str(), record.loadOrderGroup.size() + 1);
        result.dwTagId = 0;
        result.lpDependencies = put(deps.data(), deps.size());
        result.lpServiceStartName = put(record.account.c_str(), record.account.size() + 1);
        result.lpDisplayName = put(record.displayName.c_str(), record.displayName.size() + 1);
        std::memcpy(config, &result, sizeof result);
        return true;
    });
}

bool ChangeServiceConfig(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                         const char* binaryPathName, const char* loadOrderGroup, DWORD* tagId,
                         const char* dependencies, const char* serviceStartName,
                         const char* /*password*/, const char* displayName) {
    return Guarded(false, [&] {
        const ScHandleRec& handle = CheckHandle(service, false);
        Require(handle, SERVICE_CHANGE_CONFIG);
        if (serviceType != SERVICE_NO_CHANGE) CheckServiceType(serviceType);
        if (startType != SERVICE_NO_CHANGE) CheckStartType(startType);
        if (errorControl != SERVICE_NO_CHANGE) CheckErrorControl(errorControl);
        if (binaryPathName != nullptr && *binaryPathName == '\0') Fail(ERROR_INVALID_PARAMETER);
        if (tagId != nullptr) Fail(ERROR_INVALID_PARAMETER);
        if (displayName != nullptr && std::strlen(displayName) > kMaxNameLength) {
            Fail(ERROR_INVALID_NAME);
        }
        if (!CanWriteRoot()) Fail(ERROR_ACCESS_DENIED);
        RootLock lock;
        Record record = LoadForHandle(handle);
        if (record.markedForDelete) Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
        if (serviceType != SERVICE_NO_CHANGE) record.serviceType = serviceType;
        if (startType != SERVICE_NO_CHANGE) record.startType = startType;
        if (errorControl != SERVICE_NO_CHANGE) record.errorControl = errorControl;
        if (binaryPathName != nullptr) record.binaryPath = binaryPathName;
        if (loadOrderGroup != nullptr) record.loadOrderGroup = loadOrderGroup;
        if (serviceStartName != nullptr && *serviceStartName != '\0')
            record.account = serviceStartName;
        if (displayName != nullptr)
            record.displayName = *displayName != '\0' ? displayName : record.name;
        const std::vector<Record> records = LiveRecords();
        CheckNameClash(records, record.name, record.name, record.displayName);
        if (dependencies != nullptr) {
            record.dependencies = ParseMultiString(dependencies);
            CheckNoCycle(records, record.name, record.dependencies);
        }
        SaveRecord(record);
        return true;
    });
}

bool ChangeServiceConfig2(SC_HANDLE service, DWORD infoLevel, void* info) {
    return Guarded(false, [&] {
        const ScHandleRec& handle = CheckHandle(service, false);
        Require(handle, SERVICE_CHANGE_CONFIG);
        if (infoLevel != SERVICE_CONFIG_DELAYED_AUTO_START_INFO) Fail(ERROR_INVALID_LEVEL);
        if (info == nullptr) Fail(ERROR_INVALID_PARAMETER);
        if (!CanWriteRoot()) Fail(ERROR_ACCESS_DENIED);
        SERVICE_DELAYED_AUTO_START_INFO value{};
        std::memcpy(&value, info, sizeof value);
        RootLock lock;
        Record record = LoadForHandle(handle);
        if (record.markedForDelete) Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
        record.delayedAutoStart = value.fDelayedAutostart != 0;
        SaveRecord(record);
        return true;
    });
}

bool QueryServiceConfig2(SC_HANDLE service, DWORD infoLevel, void* info) {
    return Guarded(false, [&] {
        const ScHandleRec& handle = CheckHandle(service, false);
        Require(handle, SERVICE_QUERY_CONFIG);
        if (infoLevel != SERVICE_CONFIG_DELAYED_AUTO_START_INFO) Fail(ERROR_INVALID_LEVEL);
        if (info == nullptr) Fail(ERROR_INVALID_PARAMETER);
        const Record record = LoadForHandle(handle);
        SERVICE_DELAYED_AUTO_START_INFO value{record.delayedAutoStart ? 1 : 0};
        std::memcpy(info, &value, sizeof value);
        return true;
    });
}

SC_LOCK LockServiceDatabase(SC_HANDLE manager) {
    return Guarded<SC_LOCK>(nullptr, [&]() -> SC_LOCK {
        const ScHandleRec& handle = CheckHandle(manager, true);
        Require(handle, SC_MANAGER_LOCK);
        EnsureRootLayout();
        Fd fd(::open((Root() + "/dblock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (fd.Get() < 0) Fail(ErrnoToCode(errno));
        struct flock exclusive {};
        exclusive.l_type = F_WRLCK;
        exclusive.l_whence = SEEK_SET;
        if (::fcntl(fd.Get(), F_OFD_SETLK, &exclusive) != 0) {
            if (errno == EAGAIN || errno == EACCES) Fail(ERROR_SERVICE_DATABASE_LOCKED);
            Fail(ErrnoToCode(errno));
        }
        auto* lock = new ScLockRec;
        lock->fd = fd.Release();  // the lock lives as long as this descriptor
        std::lock_guard guard(gRegistryMutex);
        gLocks.insert(lock);
        return lock;
    });
}

bool UnlockServiceDatabase(SC_LOCK lock) {
    std::lock_guard guard(gRegistryMutex);
    if (lock == nullptr || gLocks.erase(lock) == 0) {
        SetLastError(ERROR_INVALID_SERVICE_LOCK);
        return false;
    }
    ::close(lock->fd);
    delete lock;
    return true;
}

}  // namespace kavar::scm
