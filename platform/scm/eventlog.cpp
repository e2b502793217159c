// The event log: one append-only text file under the root, one entry per line.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/scm/scm.h"
#include "platform/scm/scm_internal.h"

namespace kavar::scm {
namespace {

const char* TypeName(DWORD type) {
    switch (type) {
        case EVENTLOG_ERROR_TYPE:
            return "Error";
        case EVENTLOG_WARNING_TYPE:
            return "Warning";
        case EVENTLOG_INFORMATION_TYPE:
            return "Information";
        default:
            return nullptr;
    }
}

// One entry stays one line whatever the message holds.
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

bool ReportEvent(const char* sourceName, DWORD type, const std::string& message) {
    const char* typeName = TypeName(type);
    if (sourceName == nullptr || typeName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    try {
        detail::EnsureRootLayout();
    } catch (const detail::ScmError& e) {
        SetLastError(e.code);
        return false;
    }
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    const std::string line = std::string(stamp) + "\t" + typeName + "\t" + OneLine(sourceName) +
                             "\t" + OneLine(message) + "\n";

    const std::string path = detail::Root() + "/EventLog.log";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(detail::ErrnoToCode(errno));
        return false;
    }
    // The lock keeps entries of concurrent writers whole even past the atomic-append size.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    size_t done = 0;
    int err = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (err != 0) {
        SetLastError(detail::ErrnoToCode(err));
        return false;
    }
    return true;
}

}  // namespace kavar::scm
