// Internals shared by the manager side, the service side and the event log of the service
// manager stand-in. Not part of the public interface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/scm/scm.h"

namespace kavar::scm::detail {

// Environment handed to a service process by StartService.
inline constexpr char kEnvRoot[] = "KAVAR_SCM_ROOT";
inline constexpr char kEnvService[] = "KAVAR_SCM_SERVICE";
inline constexpr char kEnvLockFd[] = "KAVAR_SCM_LOCKFD";
inline constexpr char kEnvReadyFd[] = "KAVAR_SCM_READYFD";

// Messages on the start-up channel between StartService and the new process: one tag byte
// and a 32-bit value.
inline constexpr char kReadyTagPid = 'P';
inline constexpr char kReadyTagExecError = 'E';
inline constexpr char kReadyTagConnected = 'R';
struct ReadyMessage {
    char tag;
    char pad[3];
    std::int32_t value;
};

// Fails with a system error code; carried up to the public call, which sets the last
// error and returns its failure value.
struct ScmError {
    DWORD code;
};
[[noreturn]] inline void Fail(DWORD code) { throw ScmError{code}; }
// errno of a failed file operation mapped to the closest system error code.
DWORD ErrnoToCode(int err);

// ---- paths -------------------------------------------------------------------------------
std::string Root();
// The file-system safe, case-folded form of a key name (used for record and run folders).
std::string EncodeKey(const std::string& name);
std::string LowerAscii(std::string s);
bool EqualsNoCase(const std::string& a, const std::string& b);
std::string ServicesDir();
std::string RecordPath(const std::string& encodedKey);
std::string RunDir(const std::string& encodedKey);

// Creates the root and its sub-folders when missing. Throws ScmError (5 when not allowed).
void EnsureRootLayout();
// Whether this process may change the database (write access to the root, which is
// created first when it is missing and can be).
bool CanWriteRoot();

// ---- the service record ------------------------------------------------------------------
struct Record {
    std::string name;  // key name in its original case
    std::string displayName;
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    bool delayedAutoStart = false;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::string binaryPath;
    std::string loadOrderGroup;
    std::vector<std::string> dependencies;
    std::string account;
    bool markedForDelete = false;
    std::uint64_t id = 0;  // identity of this registration; a re-created service gets a new one
};

std::optional<Record> LoadRecord(const std::string& encodedKey);
void SaveRecord(const Record& record);  // atomic: temp file and rename
void RemoveRecord(const std::string& encodedKey);
std::vector<Record> LoadAllRecords();

// ---- run-time status of a service instance ----------------------------------------------
struct Status {
    SERVICE_STATUS status{};
    std::int32_t pid = 0;
};

// Whether a process of this service is alive: it holds the instance lock for its lifetime
// (the kernel drops the lock when the process dies, however it ends).
bool InstanceAlive(const std::string& encodedKey);
// Whether the service has not stopped: alive and not yet past its "stopped" report (a
// process lets go of the lock right after it reported that).
bool InstanceActive(const std::string& encodedKey);
// The truthful status: the last one reported while the process lives; stopped (exit code
// 1067) for a process that died without reporting it; stopped with 1077 when never started.
Status ReadStatus(const std::string& encodedKey, DWORD serviceType);
void WriteStatusFile(const std::string& runDir, const Status& status);
// A marked-for-deletion service is gone once it no longer runs; the files are removed when
// this process may do so.
bool IsGone(const Record& record);
void ReapIfGone(const Record& record);

// ---- file helpers ------------------------------------------------------------------------
// durable: flushed to the disk before the rename (records; a status means nothing after
// a reboot, when no process holds its lock).
void WriteFileAtomic(const std::string& path, const std::string& data, bool durable = true);
std::optional<std::string> ReadWholeFile(const std::string& path);

// An exclusive lock on <root>/.lock for read-modify-write of the database.
class RootLock {
  public:
    RootLock();
    ~RootLock();
    RootLock(const RootLock&) = delete;
    RootLock& operator=(const RootLock&) = delete;

  private:
    int fd_ = -1;
};

// Socket address of a service's control channel. Long roots do not fit into a socket
// address, so the folder is reached through an open descriptor under /proc/self/fd.
class ControlAddress {
  public:
    explicit ControlAddress(const std::string& runDir);
    ~ControlAddress();
    ControlAddress(const ControlAddress&) = delete;
    ControlAddress& operator=(const ControlAddress&) = delete;
    const std::string& Path() const { return path_; }

  private:
    int dirFd_ = -1;
    std::string path_;
};
inline constexpr char kControlSocketName[] = "control";
inline constexpr char kLockFileName[] = "lock";
inline constexpr char kStatusFileName[] = "status";
inline constexpr char kArgsFileName[] = "args";
inline constexpr char kOutputFileName[] = "output";

}  // namespace kavar::scm::detail
