// Process snapshots. Linux has no process-snapshot call, so this walks /proc and records,
// for every process, its id and the full path of the program it runs.
#pragma once

#include <string>
#include <vector>

namespace kavar::procs {

struct ProcessEntry {
    int ProcessId = 0;
    // The executable's full path from <proc>/<pid>/exe. When that link cannot be read
    // (a process of another user without the right to look, one that is exiting) it is the
    // first argument of <proc>/<pid>/cmdline instead, which is the name or path the process
    // was started under.
    std::string ExePath;
};

// All processes in ascending id order. Processes that end while the walk runs, and kernel
// threads (no executable, empty command line), are left out. procRoot serves tests with a
// folder laid out like /proc. Throws std::system_error when procRoot cannot be listed.
std::vector<ProcessEntry> Snapshot(const std::string& procRoot = "/proc");

}  // namespace kavar::procs
