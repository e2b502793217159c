// Service side of the service manager stand-in: the dispatcher that connects a process
// started by the manager, runs the service's main function on a thread of its own, serves
// the control channel and writes the status the service reports.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/scm/scm.h"
#include "platform/scm/scm_internal.h"

namespace kavar::scm {

using namespace detail;

struct ScStatusRec {
    int unused = 0;
};

namespace {

ScStatusRec gStatusHandle;

// The one dispatcher of this process.
struct Dispatcher {
    std::mutex mutex;
    std::string name;
    std::string key;
    std::string runDir;
    std::string controlPath;  // full path, for removal
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    int lockFd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    LPHANDLER_FUNCTION handler = nullptr;
    bool stopped = false;
    std::atomic<bool> mainReturned{false};
};

std::mutex gDispatcherMutex;
Dispatcher* gDispatcher = nullptr;

void Wake(Dispatcher& d) {
    const char byte = 1;
    (void)!::write(d.wakeWrite, &byte, 1);
}

bool SameFile(int fd, const std::string& path) {
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

int FdFromEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return -1;
    char* end = nullptr;
    const long fd = std::strtol(value, &end, 10);
    return (end != nullptr && *end == '\0' && fd >= 0 && fd < 1024) ? static_cast<int>(fd) : -1;
}

// Writes a status under the dispatcher's mutex; reporting "stopped" also closes the
// control channel and lets go of the instance lock, after which the manager may start a
// new instance.
void Report(Dispatcher& d, const SERVICE_STATUS& reported) {
    Status status;
    status.status = reported;
    status.status.dwServiceType = d.serviceType;
    status.pid = reported.dwCurrentState == SERVICE_STOPPED ? 0 : ::getpid();
    if (reported.dwCurrentState == SERVICE_STOPPED) {
        ::unlink(d.controlPath.c_str());
        status.status.dwControlsAccepted = 0;
        status.status.dwCheckPoint = 0;
        status.status.dwWaitHint = 0;
        // The lock goes whatever happens to the file: a stopped service must never look alive.
        struct Release {
            Dispatcher& d;
            ~Release() {
                ::close(d.lockFd);
                d.lockFd = -1;
                d.stopped = true;
                Wake(d);
            }
        } release{d};
        WriteStatusFile(d.runDir, status);
    } else {
        WriteStatusFile(d.runDir, status);
    }
}

void ServeControl(Dispatcher& d, int client) {
    timeval limit{5, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::uint32_t control = 0;
    if (::recv(client, &control, sizeof control, 0) != sizeof control) return;
    LPHANDLER_FUNCTION handler = nullptr;
    std::uint32_t reply = ERROR_SUCCESS;
    {
        std::lock_guard lock(d.mutex);
        if (d.stopped) {
            reply = ERROR_SERVICE_NOT_ACTIVE;
        } else if (d.handler == nullptr) {
            reply = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        } else {
            handler = d.handler;
        }
    }
    if (handler != nullptr) {
        try {
            handler(control);
        } catch (...) {
            reply = ERROR_EXCEPTION_IN_SERVICE;
        }
    }
    (void)::send(client, &reply, sizeof reply, MSG_NOSIGNAL);
}

struct MainArgs {
    std::vector<std::string> store;
    std::vector<char*> argv;
};

MainArgs ReadArgs(const std::string& runDir, const std::string& name) {
    MainArgs args;
    const auto text = ReadWholeFile(runDir + "/" + kArgsFileName);
    if (text) {
        size_t start = 0;
        for (size_t i = 0; i < text->size(); ++i) {
            if ((*text)[i] == '\0') {
                args.store.push_back(text->substr(start, i - start));
                start = i + 1;
            }
        }
    }
    if (args.store.empty()) args.store.push_back(name);
    args.store[0] = name;
    for (auto& s : args.store) args.argv.push_back(s.data());
    args.argv.push_back(nullptr);
    return args;
}

}  // namespace

bool StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* table) {
    if (table == nullptr || table[0].lpServiceName == nullptr ||
        table[0].lpServiceProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const char* service = std::getenv(kEnvService);
    const int lockFd = FdFromEnv(kEnvLockFd);
    const int readyFd = FdFromEnv(kEnvReadyFd);
    if (service == nullptr || *service == '\0' || lockFd < 0 || readyFd < 0) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return false;
    }
    auto d = std::make_unique<Dispatcher>();
    d->name = service;
    d->key = EncodeKey(d->name);
    d->runDir = RunDir(d->key);
    // The descriptors must be the ones the manager handed over; a program merely started
    // from a service (which inherits the environment, not the descriptors) is no service.
    if (!SameFile(lockFd, d->runDir + "/" + kLockFileName)) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return false;
    }
    {
        std::lock_guard lock(gDispatcherMutex);
        if (gDispatcher != nullptr) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return false;
        }
        gDispatcher = d.get();
    }
    ::fcntl(lockFd, F_SETFD, FD_CLOEXEC);
    ::fcntl(readyFd, F_SETFD, FD_CLOEXEC);
    d->lockFd = lockFd;
    if (const auto record = LoadRecord(d->key)) d->serviceType = record->serviceType;

    auto fail = [&](DWORD code) {
        std::lock_guard lock(gDispatcherMutex);
        gDispatcher = nullptr;
        ::close(readyFd);
        SetLastError(code);
        return false;
    };

    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return fail(ErrnoToCode(errno));
    d->wakeRead = wake[0];
    d->wakeWrite = wake[1];

    const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listener < 0) return fail(ErrnoToCode(errno));
    d->controlPath = d->runDir + "/" + kControlSocketName;
    {
        ControlAddress address(d->runDir);
        ::unlink(d->controlPath.c_str());
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", address.Path().c_str());
        if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener, 16) != 0) {
            const int err = errno;
            ::close(listener);
            return fail(ErrnoToCode(err));
        }
    }

    SERVICE_STATUS pending{};
    pending.dwCurrentState = SERVICE_START_PENDING;
    pending.dwWaitHint = 2000;
    try {
        std::lock_guard lock(d->mutex);
        Report(*d, pending);
    } catch (const ScmError& e) {
        ::close(listener);
        return fail(e.code);
    }

    MainArgs args = ReadArgs(d->runDir, d->name);
    LPSERVICE_MAIN_FUNCTION main = table[0].lpServiceProc;
    std::thread serviceMain;
    try {
        serviceMain = std::thread([&d, &args, main] {
            main(static_cast<DWORD>(args.argv.size() - 1), args.argv.data());
            d->mainReturned = true;
            Wake(*d);
        });
    } catch (const std::system_error&) {
        ::close(listener);
        return fail(ERROR_SERVICE_NO_THREAD);
    }

    // Tell the starter we are connected; it may be gone already, which does not matter.
    ReadyMessage connected{kReadyTagConnected, {}, 0};
    (void)::send(readyFd, &connected, sizeof connected, MSG_NOSIGNAL);
    ::close(readyFd);

    for (;;) {
        {
            std::lock_guard lock(d->mutex);
            if (d->stopped) break;
            if (d->mainReturned) {
                // The main function ended without saying so: the service has stopped.
                SERVICE_STATUS stopped{};
                stopped.dwCurrentState = SERVICE_STOPPED;
                try {
                    Report(*d, stopped);
                } catch (const ScmError&) {
                    // Reads as stopped anyway once the lock is gone.
                }
                break;
            }
        }
        pollfd fds[2] = {{listener, POLLIN, 0}, {d->wakeRead, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) {
            char drain[64];
            while (::read(d->wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                ServeControl(*d, client);
                ::close(client);
            }
        }
    }
    ::close(listener);
    serviceMain.join();
    if (const auto record = LoadRecord(d->key)) ReapIfGone(*record);
    {
        std::lock_guard lock(gDispatcherMutex);
        gDispatcher = nullptr;
    }
    ::close(d->wakeRead);
    ::close(d->wakeWrite);
    return true;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* serviceName,
                                                 LPHANDLER_FUNCTION handler) {
    if (serviceName == nullptr || handler == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard lock(gDispatcherMutex);
    if (gDispatcher == nullptr) {
        SetLastError(ERROR_SERVICE_NOT_IN_EXE);
        return nullptr;
    }
    std::lock_guard inner(gDispatcher->mutex);
    gDispatcher->handler = handler;
    return &gStatusHandle;
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
    if (handle != &gStatusHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (status == nullptr || status->dwCurrentState < SERVICE_STOPPED ||
        status->dwCurrentState > SERVICE_PAUSED) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard lock(gDispatcherMutex);
    if (gDispatcher == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    std::lock_guard inner(gDispatcher->mutex);
    if (gDispatcher->stopped) return true;  // the last word has been said
    try {
        Report(*gDispatcher, *status);
    } catch (const ScmError& e) {
        SetLastError(e.code);
        return false;
    }
    return true;
}

}  // namespace kavar::scm
