// Last-error handling and the system texts of the error codes the manager reports.
#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/scm/scm.h"
#include "platform/scm/scm_internal.h"

namespace kavar::scm {
namespace {

thread_local DWORD tLastError = ERROR_SUCCESS;

struct ErrorText {
    DWORD code;
    const char* text;
};

constexpr ErrorText kTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_INVALID_LEVEL, "The system call level is not correct."},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_DEPENDENT_SERVICES_RUNNING,
     "A stop control has been sent to a service that other running services are dependent on."},
    {ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service."},
    {ERROR_SERVICE_REQUEST_TIMEOUT,
     "The service did not respond to the start or control request in a timely fashion."},
    {ERROR_SERVICE_NO_THREAD, "A thread could not be created for the service."},
    {ERROR_SERVICE_DATABASE_LOCKED, "The service database is locked."},
    {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
    {ERROR_SERVICE_DISABLED,
     "The service cannot be started, either because it is disabled or because it has no "
     "enabled devices associated with it."},
    {ERROR_CIRCULAR_DEPENDENCY, "Circular service dependency was specified."},
    {ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed service."},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "The service cannot accept control messages at this time."},
    {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started."},
    {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
     "The service process could not connect to the service controller."},
    {ERROR_EXCEPTION_IN_SERVICE,
     "An exception occurred in the service when handling the control request."},
    {ERROR_DATABASE_DOES_NOT_EXIST, "The database specified does not exist."},
    {ERROR_SERVICE_SPECIFIC_ERROR, "The service has returned a service-specific error code."},
    {ERROR_PROCESS_ABORTED, "The process terminated unexpectedly."},
    {ERROR_SERVICE_DEPENDENCY_FAIL, "The dependency service or group failed to start."},
    {ERROR_INVALID_SERVICE_LOCK, "The specified service database lock is invalid."},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion."},
    {ERROR_SERVICE_EXISTS, "The specified service already exists."},
    {ERROR_SERVICE_DEPENDENCY_DELETED,
     "The dependency service does not exist or has been marked for deletion."},
    {ERROR_SERVICE_NEVER_STARTED,
     "No attempts to start the service have been made since the last boot."},
    {ERROR_DUPLICATE_SERVICE_NAME,
     "The name is already in use as either a service name or a service display name."},
    {ERROR_SERVICE_NOT_IN_EXE,
     "The executable program that this service is configured to run in does not implement the "
     "service."},
    {ERROR_RPC_SERVER_UNAVAILABLE, "The RPC server is unavailable."},
};

}  // namespace

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD code) { tLastError = code; }

std::string SystemErrorMessage(DWORD code) {
    for (const auto& entry : kTexts) {
        if (entry.code == code) return entry.text;
    }
    return "Unknown error " + std::to_string(code) + ".";
}

bool GetVersionEx(OSVERSIONINFO* info) {
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFO)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    info->dwMajorVersion = 0;
    info->dwMinorVersion = 0;
    info->dwBuildNumber = 0;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->szCSDVersion[0] = '\0';
    utsname name{};
    if (uname(&name) == 0) {
        unsigned major = 0, minor = 0, build = 0;
        std::sscanf(name.release, "%u.%u.%u", &major, &minor, &build);
        info->dwMajorVersion = major;
        info->dwMinorVersion = minor;
        info->dwBuildNumber = build;
        std::snprintf(info->szCSDVersion, sizeof info->szCSDVersion, "%s", name.version);
    }
    return true;
}

namespace detail {

DWORD ErrnoToCode(int err) {
    switch (err) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_INVALID_NAME;
        case ENOEXEC:
            return ERROR_BAD_EXE_FORMAT;
        default:
            return ERROR_WRITE_FAULT;
    }
}

}  // namespace detail
}  // namespace kavar::scm
