#include "platform/procs/procs.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <memory>
#include <system_error>

namespace kavar::procs {
namespace {

bool ParsePid(const char* name, int& pid) {
    const char* end = name + std::char_traits<char>::length(name);
    if (name == end) return false;
    auto [ptr, ec] = std::from_chars(name, end, pid);
    return ec == std::errc() && ptr == end && pid > 0;
}

bool ReadLink(const std::string& path, std::string& target) {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0) return false;
        if (static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    // The kernel marks a program whose file was removed or replaced after the start (an
    // upgrade in place); the process still runs that program, so it keeps the name.
    constexpr std::string_view deleted = " (deleted)";
    if (buffer.size() > deleted.size() && buffer.ends_with(deleted))
        buffer.resize(buffer.size() - deleted.size());
    target = std::move(buffer);
    return !target.empty();
}

bool ReadFirstArgument(const std::string& path, std::string& argument) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string first;
    std::getline(in, first, '\0');
    argument = std::move(first);
    return !argument.empty();
}

}  // namespace

std::vector<ProcessEntry> Snapshot(const std::string& procRoot) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(procRoot.c_str()), ::closedir);
    if (!dir) throw std::system_error(errno, std::generic_category(), "cannot list " + procRoot);

    std::vector<ProcessEntry> entries;
    errno = 0;
    while (const dirent* item = ::readdir(dir.get())) {
        int pid = 0;
        if (!ParsePid(item->d_name, pid)) continue;
        const std::string base = procRoot + "/" + item->d_name;
        ProcessEntry entry;
        entry.ProcessId = pid;
        if (ReadLink(base + "/exe", entry.ExePath) ||
            ReadFirstArgument(base + "/cmdline", entry.ExePath))
            entries.push_back(std::move(entry));
        errno = 0;
    }
    if (errno != 0)
        throw std::system_error(errno, std::generic_category(), "cannot list " + procRoot);

    std::sort(entries.begin(), entries.end(), [](const ProcessEntry& a, const ProcessEntry& b) {
        return a.ProcessId < b.ProcessId;
    });
    return entries;
}

}  // namespace kavar::procs
