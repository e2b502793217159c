// The service control manager stand-in. Linux has no service control manager, so this
// keeps one of our own: a service database under one root folder (KAVAR_SCM_ROOT, default
// /var/lib/kavar/scm), service processes started and watched for real, a control channel
// to each service process, and an event-log file. The calls mirror the ones the system
// was written against, with their numeric error codes, so the code above stays the same.
// Texts are UTF-8. Every call is safe to use from several threads and processes at once.
#pragma once

#include <cstdint>
#include <string>

namespace kavar::scm {

using DWORD = std::uint32_t;

// ---- error codes (GetLastError) -------------------------------------------------------
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_INVALID_LEVEL = 124;
inline constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_DEPENDENT_SERVICES_RUNNING = 1051;
inline constexpr DWORD ERROR_INVALID_SERVICE_CONTROL = 1052;
inline constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr DWORD ERROR_SERVICE_NO_THREAD = 1054;
inline constexpr DWORD ERROR_SERVICE_DATABASE_LOCKED = 1055;
inline constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr DWORD ERROR_SERVICE_DISABLED = 1058;
inline constexpr DWORD ERROR_CIRCULAR_DEPENDENCY = 1059;
inline constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr DWORD ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr DWORD ERROR_EXCEPTION_IN_SERVICE = 1064;
inline constexpr DWORD ERROR_DATABASE_DOES_NOT_EXIST = 1065;
inline constexpr DWORD ERROR_SERVICE_SPECIFIC_ERROR = 1066;
// dwWin32ExitCode of a service whose process died without reporting that it stopped.
inline constexpr DWORD ERROR_PROCESS_ABORTED = 1067;
inline constexpr DWORD ERROR_SERVICE_DEPENDENCY_FAIL = 1068;
inline constexpr DWORD ERROR_INVALID_SERVICE_LOCK = 1071;
inline constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
inline constexpr DWORD ERROR_SERVICE_DEPENDENCY_DELETED = 1075;
inline constexpr DWORD ERROR_SERVICE_NEVER_STARTED = 1077;
inline constexpr DWORD ERROR_DUPLICATE_SERVICE_NAME = 1078;
inline constexpr DWORD ERROR_SERVICE_NOT_IN_EXE = 1083;
inline constexpr DWORD ERROR_RPC_SERVER_UNAVAILABLE = 1722;

// The calling thread's last error, set by every call below that fails.
DWORD GetLastError();
void SetLastError(DWORD code);
// The system text of an error code, e.g. 1060 -> "The specified service does not exist as
// an installed service."; unknown codes get a generic text naming the number.
std::string SystemErrorMessage(DWORD code);

// ---- constants ------------------------------------------------------------------------
inline constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
inline constexpr DWORD SC_MANAGER_LOCK = 0x0008;
inline constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x0010;
inline constexpr DWORD SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;

inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x0008;
inline constexpr DWORD SERVICE_START = 0x0010;
inline constexpr DWORD SERVICE_STOP = 0x0020;
inline constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
inline constexpr DWORD SERVICE_INTERROGATE = 0x0080;
inline constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
inline constexpr DWORD DELETE = 0x10000;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x20;
inline constexpr DWORD SERVICE_WIN32 = 0x30;
inline constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x100;

inline constexpr DWORD SERVICE_BOOT_START = 0;
inline constexpr DWORD SERVICE_SYSTEM_START = 1;
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_DISABLED = 4;

inline constexpr DWORD SERVICE_ERROR_IGNORE = 0;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;
inline constexpr DWORD SERVICE_ERROR_SEVERE = 2;
inline constexpr DWORD SERVICE_ERROR_CRITICAL = 3;

inline constexpr DWORD SERVICE_NO_CHANGE = 0xFFFFFFFF;

inline constexpr DWORD SERVICE_ACTIVE = 1;
inline constexpr DWORD SERVICE_INACTIVE = 2;
inline constexpr DWORD SERVICE_STATE_ALL = 3;

inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;

inline constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
inline constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
inline constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;

inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
inline constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;

inline constexpr DWORD SERVICE_CONFIG_DELAYED_AUTO_START_INFO = 3;

// ---- records --------------------------------------------------------------------------
struct SERVICE_STATUS {
    DWORD dwServiceType = 0;
    DWORD dwCurrentState = 0;
    DWORD dwControlsAccepted = 0;
    DWORD dwWin32ExitCode = 0;
    DWORD dwServiceSpecificExitCode = 0;
    DWORD dwCheckPoint = 0;
    DWORD dwWaitHint = 0;
};

// Filled into the caller's buffer; the strings point into the same buffer.
struct ENUM_SERVICE_STATUS {
    const char* lpServiceName;
    const char* lpDisplayName;
    SERVICE_STATUS ServiceStatus;
};

// Filled into the caller's buffer; the strings point into the same buffer.
// lpDependencies is a list of names, each ended by '\0', the list ended by a second '\0'.
struct QUERY_SERVICE_CONFIG {
    DWORD dwServiceType;
    DWORD dwStartType;
    DWORD dwErrorControl;
    const char* lpBinaryPathName;
    const char* lpLoadOrderGroup;
    DWORD dwTagId;
    const char* lpDependencies;
    const char* lpServiceStartName;
    const char* lpDisplayName;
};

struct SERVICE_DELAYED_AUTO_START_INFO {
    int fDelayedAutostart;
};

// Stand-in for the operating-system version query that guards the manager's use.
// dwPlatformId is VER_PLATFORM_WIN32_NT when the manager can be used on this machine.
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
struct OSVERSIONINFO {
    DWORD dwOSVersionInfoSize;  // must be sizeof(OSVERSIONINFO), else ERROR_INVALID_PARAMETER
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};
bool GetVersionEx(OSVERSIONINFO* info);

// ---- manager side ---------------------------------------------------------------------
struct ScHandleRec;
using SC_HANDLE = ScHandleRec*;
struct ScLockRec;
using SC_LOCK = ScLockRec*;

// Owns a manager or service handle and closes it when it goes out of scope.
class ScopedServiceHandle {
  public:
    explicit ScopedServiceHandle(SC_HANDLE h = nullptr) : h_(h) {}
    ~ScopedServiceHandle() { reset(nullptr); }
    ScopedServiceHandle(const ScopedServiceHandle&) = delete;
    ScopedServiceHandle& operator=(const ScopedServiceHandle&) = delete;
    SC_HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(SC_HANDLE h);

  private:
    SC_HANDLE h_;
};

// machine: empty or null for this machine (others: ERROR_RPC_SERVER_UNAVAILABLE);
// database: null. Rights that change anything need write access to the root (else 5).
SC_HANDLE OpenSCManager(const char* machine, const char* database, DWORD desiredAccess);
bool CloseServiceHandle(SC_HANDLE handle);

SC_HANDLE CreateService(SC_HANDLE manager, const char* serviceName, const char* displayName,
                        DWORD desiredAccess, DWORD serviceType, DWORD startType, DWORD errorControl,
                        const char* binaryPathName, const char* loadOrderGroup, DWORD* tagId,
                        const char* dependencies, const char* serviceStartName,
                        const char* password);
// Key names are compared without regard to ASCII case.
SC_HANDLE OpenService(SC_HANDLE manager, const char* serviceName, DWORD desiredAccess);
// A stopped service is removed at once; a running one is marked for deletion (later calls
// on it fail with ERROR_SERVICE_MARKED_FOR_DELETE) and removed when it stops.
bool DeleteService(SC_HANDLE service);

// Launches the service's command line as a detached process and returns once the process
// has connected and reported start-pending (or running); a process that never connects
// within the time-out fails with ERROR_SERVICE_REQUEST_TIMEOUT.
bool StartService(SC_HANDLE service, DWORD argc, const char** argv);
// Stop, pause, continue and user-defined controls (128-255) reach the service's handler;
// interrogate returns the status. SHUTDOWN, which only the system sends on the original
// platform, may be sent here too (it needs SERVICE_STOP) so that a machine shutdown can be
// played out.
bool ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
bool QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);

// The status with the service's process id (0 while stopped). infoLevel must be
// SC_STATUS_PROCESS_INFO; bufSize at least sizeof(SERVICE_STATUS_PROCESS), else
// ERROR_INSUFFICIENT_BUFFER with *bytesNeeded set.
inline constexpr DWORD SC_STATUS_PROCESS_INFO = 0;
struct SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;
};
bool QueryServiceStatusEx(SC_HANDLE service, DWORD infoLevel, void* buffer, DWORD bufSize,
                          DWORD* bytesNeeded);

// Two-call size protocol: with a buffer too small (or null) the call fails with
// ERROR_MORE_DATA and sets *bytesNeeded.
bool EnumServicesStatus(SC_HANDLE manager, DWORD serviceType, DWORD serviceState,
                        ENUM_SERVICE_STATUS* services, DWORD bufSize, DWORD* bytesNeeded,
                        DWORD* servicesReturned, DWORD* resumeHandle);
bool EnumDependentServices(SC_HANDLE service, DWORD serviceState, ENUM_SERVICE_STATUS* services,
                           DWORD bufSize, DWORD* bytesNeeded, DWORD* servicesReturned);
// With a buffer too small (or null) fails with ERROR_INSUFFICIENT_BUFFER and sets
// *bytesNeeded.
bool QueryServiceConfig(SC_HANDLE service, QUERY_SERVICE_CONFIG* config, DWORD bufSize,
                        DWORD* bytesNeeded);
// SERVICE_NO_CHANGE / null leave a value as it is.
bool ChangeServiceConfig(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                         const char* binaryPathName, const char* loadOrderGroup, DWORD* tagId,
                         const char* dependencies, const char* serviceStartName,
                         const char* password, const char* displayName);
// infoLevel SERVICE_CONFIG_DELAYED_AUTO_START_INFO with a SERVICE_DELAYED_AUTO_START_INFO.
bool ChangeServiceConfig2(SC_HANDLE service, DWORD infoLevel, void* info);
bool QueryServiceConfig2(SC_HANDLE service, DWORD infoLevel, void* info);

// The database lock: while held, StartService fails with ERROR_SERVICE_DATABASE_LOCKED.
// Needs SC_MANAGER_LOCK on the manager handle.
SC_LOCK LockServiceDatabase(SC_HANDLE manager);
bool UnlockServiceDatabase(SC_LOCK lock);

// ---- service side ---------------------------------------------------------------------
using LPSERVICE_MAIN_FUNCTION = void (*)(DWORD argc, char** argv);
struct SERVICE_TABLE_ENTRY {
    const char* lpServiceName;
    LPSERVICE_MAIN_FUNCTION lpServiceProc;
};
// Connects a process started by the manager to it and runs the dispatcher: each service's
// main function runs on a thread of its own; returns when all services have stopped. A
// process the manager did not start fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
// The table ends with an entry whose members are null.
bool StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* table);

struct ScStatusRec;
using SERVICE_STATUS_HANDLE = ScStatusRec*;
using LPHANDLER_FUNCTION = void (*)(DWORD control);
// Control requests reach the handler on the dispatcher's thread.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* serviceName,
                                                 LPHANDLER_FUNCTION handler);
bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

// ---- event log ------------------------------------------------------------------------
inline constexpr DWORD EVENTLOG_ERROR_TYPE = 1;
inline constexpr DWORD EVENTLOG_WARNING_TYPE = 2;
inline constexpr DWORD EVENTLOG_INFORMATION_TYPE = 4;
// Appends one entry (time, type, source, message) to the event-log file under the root.
bool ReportEvent(const char* sourceName, DWORD type, const std::string& message);

// The root folder in use (KAVAR_SCM_ROOT or the default).
std::string RootFolder();

}  // namespace kavar::scm
