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

#include <cstring>
#include <mutex>
#include <stdexcept>

#include "platform/codepage/codepage.h"
#include "platform/formats/formats.h"
#include "shared/uSmsUtils.h"

namespace {

std::mutex logMutex;

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
    fmt::SetShortDateFormat("yyyy_MM_dd");
    fmt::TDateTime now = fmt::Now();
    std::string date = kavar::Trim(fmt::DateToStr(now));
    std::string path = ApplicationExeName + "/Log/";
    std::string fileName = path + CallerProg + "KavarSMS_" + date + ".LOG";
    std::string time = fmt::TimeToStr(now);

    // Only the last level; when it cannot be made, opening the file says why.
    ::mkdir(path.c_str(), 0777);

    std::string entry;
    std::lock_guard lock(logMutex);
    int fd = ::open(fileName.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EACCES) {
        // A file we may add to but not read: as before, the entry becomes an error entry
        // and the day's earlier entries stay.
        int readErr = errno;
        fd = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0) entry = time + " : Error = " + OsError("Cannot open file", fileName, readErr);
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
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
            bytes.insert(0, last == '\r' ? "\n" : "\r\n");
    }
    WriteAll(fd, bytes, fileName);
    // flock is released when the descriptor closes.
}
