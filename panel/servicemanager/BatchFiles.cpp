#include "panel/servicemanager/BatchFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "platform/codepage/codepage.h"

namespace kavar::panel {
namespace {

// Preamble: keeps the arguments, moves to the file's folder and, without administrator
// rights, writes a one-line script that starts the file again elevated, runs it and ends.
constexpr const char* kPreamble[] = {
    "SET \"params=%*\"",
    "CD /d \"%~dp0\" && ( if exist \"%temp%getadmin.vbs\" del \"%temp%getadmin.vbs\" ) && fsutil "
    "dirty query %systemdrive% 1>nul 2>nul || (  echo Set UAC = "
    "CreateObject^(\"Shell.Application\"^) : UAC.ShellExecute \"cmd.exe\", \"/k cd \"\"%~sdp0\"\" "
    "&& %~s0 %params%\", \"\", \"runas\", 1 >> \"%temp%getadmin.vbs\" && \"%temp%getadmin.vbs\" && "
    "exit /B )",
};

struct BatchText {
    const char* Name;
    std::vector<const char*> Lines;  // after the preamble
};

// In the order they are written: install, uninstall, start, stop.
const BatchText kFiles[] = {
    {"SVCinstall.BAT",
     {"@Echo OFF", "Velmo.exe -install", "SC Config Velmo Start= delayed-auto", "Exit"}},
    {"SVCuninstall.BAT", {"@Echo ON", "Velmo.exe -uninstall", "Exit"}},
    {"SVCstart.BAT", {"@Echo ON", "SC Config Velmo Start= delayed-auto", "SC START Velmo", "Exit"}},
    {"SVCstop.BAT", {"@Echo ON", "SC STOP Velmo", "SC Config Velmo Start= disabled", "Exit"}},
};

const BatchText& Text(TBatchFile file) { return kFiles[static_cast<int>(file)]; }

std::string PathIn(const std::string& folder, TBatchFile file) {
    return folder + (folder.empty() || folder.back() == '/' ? "" : "/") + BatchFileName(file);
}

}  // namespace

std::string BatchFileName(TBatchFile file) { return Text(file).Name; }

std::string BatchFileContent(TBatchFile file) {
    std::string text;
    for (const char* line : kPreamble) text += std::string(line) + " \r\n";
    for (const char* line : Text(file).Lines) text += std::string(line) + " \r\n";
    return codepage::FromUtf8(text);
}

void WriteBatchFiles(const std::string& folder) {
    for (TBatchFile file : kBatchFiles) {
        const std::string path = PathIn(folder, file);
        const std::string bytes = BatchFileContent(file);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) throw std::system_error(errno, std::system_category(), path);
        size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                const int error = n < 0 ? errno : EIO;
                ::close(fd);
                throw std::system_error(error, std::system_category(), path);
            }
            at += static_cast<size_t>(n);
        }
        if (::close(fd) != 0) throw std::system_error(errno, std::system_category(), path);
    }
}

void DeleteBatchFiles(const std::string& folder) {
    for (TBatchFile file : kBatchFiles) {
        const std::string path = PathIn(folder, file);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            throw std::system_error(errno, std::system_category(), path);
    }
}

}  // namespace kavar::panel
