// The daily log. Each entry is appended under a lock held across the threads of this
// process (a mutex) and across processes (flock on the day's file), so concurrent writers
// never lose an entry and an entry costs the same whatever the size of the day's file.
// The bytes on disk are those the original whole-file rewrite produced: every line ends
// in CR LF, line breaks inside a message become CR LF, the file is in the ANSI code page.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "platform/codepage/codepage.h"
#include "platform/formats/formats.h"
#include "shared/uSmsUtils.h"

namespace {

std::mutex logMutex;

// What the last entry of this process knows; guarded by logMutex. Entries come many per
// second in a send cycle, so the texts of the current second are made once.
struct LogState {
    long long second = -1;  // local time in whole seconds (milliseconds when timePicture has z)
    std::string timePicture;
    std::string date;
    std::string time;
    // The day's file as this process's last append left it. While the file is still that
    // one, at that size, its last byte is the LF of that entry and need not be read back.
    bool endKnown = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
};
LogState state;

std::string OsError(const char* what, const std::string& file, int err) {
    return std::string(what) + " \"" + file + "\". " + std::strerror(err);
}

// Leading bytes <= 0x20 removed; trailing ones kept.
std::string TrimLeft(const std::string& s) {
    std::size_t b = 0;
    while (b < s.size() && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
    return s.substr(b);
}

// The entry as lines of the file: CR, LF and CR LF each end a line; every line, the last
// included, ends in CR LF.
std::string AsLines(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            out += "\r\n";
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += c;
        }
    }
    out += "\r\n";
    return out;
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

void WriteAll(int fd, const std::string& bytes, const std::string& fileName) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(OsError("Cannot write to file", fileName, errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

void TSMSUtil::Logger(const std::string& MSG) { SaveLog(MSG); }

void TSMSUtil::SaveLog(const std::string& MSG) {
    namespace fmt = kavar::formats;
    // Other texts of the program take the short date format the log leaves behind.
    fmt::SetShortDateFormat("yyyy_MM_dd");
    const fmt::TDateTime now = fmt::Now();
    std::string timePicture = fmt::LongTimeFormat();

    std::string entry;
    std::lock_guard lock(logMutex);
    const long long ms = std::llround(now * 86400000.0);
    const long long second = timePicture.find('z') == std::string::npos ? ms / 1000 : ms;
    if (second != state.second || timePicture != state.timePicture) {
        state.date = kavar::Trim(fmt::FormatDateTime("yyyy_MM_dd", now));
        state.time = fmt::FormatDateTime(timePicture, now);
        state.second = second;
        state.timePicture = std::move(timePicture);
    }
    const std::string& time = state.time;
    const std::string path = ApplicationExeName + "/Log/";
    const std::string fileName = path + CallerProg + "KavarSMS_" + state.date + ".LOG";

    const int flags = O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC;
    int fd = ::open(fileName.c_str(), flags, 0666);
    if (fd < 0 && errno == ENOENT) {
        // Only the last level; when it cannot be made, opening the file again says why.
        ::mkdir(path.c_str(), 0777);
        fd = ::open(fileName.c_str(), flags, 0666);
    }
    if (fd < 0 && errno == EACCES) {
        // A file we may add to but not read: as before, the entry becomes an error entry
        // and the day's earlier entries stay.
        int readErr = errno;
        fd = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0)
            entry = time + " : Error = " + OsError("Cannot open file", fileName, readErr);
        else
            errno = readErr;  // no file in a folder we may not write to: the denial is why
    }
    if (fd < 0) throw std::runtime_error(OsError("Cannot create file", fileName, errno));
    Fd file(fd);
    if (entry.empty()) entry = time + " : " + TrimLeft(MSG);
    std::string bytes = kavar::codepage::FromUtf8(AsLines(entry));

    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) throw std::runtime_error(OsError("Cannot lock file", fileName, errno));
    }
    // A day's file whose last line lacks its line break (written by hand, cut short) gets
    // one first, as rereading and rewriting the file would have added it.
    struct stat st {};
    const bool statOk = ::fstat(fd, &st) == 0;
    const bool oursAtEnd = statOk && state.endKnown && st.st_dev == state.dev &&
                           st.st_ino == state.ino && st.st_size == state.size;
    if (statOk && st.st_size > 0 && !oursAtEnd) {
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
            bytes.insert(0, last == '\r' ? "\n" : "\r\n");
    }
    state.endKnown = false;
    WriteAll(fd, bytes, fileName);
    if (statOk) {
        // Under the lock the append landed at st_size, and every entry ends in LF.
        state.endKnown = true;
        state.dev = st.st_dev;
        state.ino = st.st_ino;
        state.size = st.st_size + static_cast<off_t>(bytes.size());
    }
    // flock is released when the descriptor closes.
}
