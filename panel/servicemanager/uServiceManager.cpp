#include "panel/servicemanager/uServiceManager.h"

#include <chrono>
#include <cstddef>
#include <exception>
#include <thread>

namespace kavar::panel {
namespace {

using scm::DWORD;

constexpr char kMachineNameWhileActive[] = "Cannot change machine name while active";
constexpr char kAllowLockingWhileActive[] = "Cannot change allow locking while active";
constexpr char kListOnlyWhenActive[] = "BuildServicesList only works when active";
constexpr char kNotImplemented[] = "Not implemented";
constexpr char kIndexOutOfBounds[] = "Index out of bounds";
constexpr char kServiceNotFound[] = "Service not found";
constexpr char kPlatformNotSupported[] = "This program only works on Windows NT, 2000 or XP";
constexpr char kStateUnknown[] = "Service State unknown";
constexpr char kNoReaction[] = "Service did not react within timeframe given";
constexpr char kCannotStop[] = "Service cannot be Stopped";
constexpr char kCannotPause[] = "Service cannot be paused";
constexpr char kCannotContinue[] = "Service cannot be continued";
constexpr char kTransitionalState[] = "Cannot set a transitional state in TServiceInfo.";
constexpr char kStartTypeUnknown[] = "Service Start Type unknown";
constexpr char kLockingNotAllowed[] = "Locking of the service manager not allowed!";

// A failure that cannot happen unless the manager breaks its own contract.
[[noreturn]] void AssertionFailed(const char* what) {
    throw EServiceManagerError(std::string("Internal error: ") + what);
}

[[noreturn]] void RaiseLastError() {
    throw EServiceManagerError::FromSystemError(scm::GetLastError());
}

constexpr DWORD kWin32Services = scm::SERVICE_WIN32;  // own-process and shared-process
constexpr DWORD kNoWaitHintMs = 5000;
// How often a list that grew between the size query and the fetch is fetched again.
constexpr int kListAttempts = 4;

// Memory for the records the manager writes; their strings point into the same block, so
// it must be aligned for the records and live until they are copied.
class RecordBuffer {
  public:
    explicit RecordBuffer(DWORD bytes)
        : size_(bytes),
          data_(new std::max_align_t[(bytes + sizeof(std::max_align_t) - 1) /
                                         sizeof(std::max_align_t) +
                                     1]) {}
    template <typename T>
    T* As() {
        return reinterpret_cast<T*>(data_.get());
    }
    DWORD Size() const { return size_; }

  private:
    DWORD size_;
    std::unique_ptr<std::max_align_t[]> data_;
};

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

DWORD StartTypeCode(TServiceStartup startType) {
    switch (startType) {
        case TServiceStartup::ssAutomatic:
            return scm::SERVICE_AUTO_START;
        case TServiceStartup::ssManual:
            return scm::SERVICE_DEMAND_START;
        case TServiceStartup::ssDisabled:
            return scm::SERVICE_DISABLED;
    }
    AssertionFailed("start type out of range");
}

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

}  // namespace

// ---- EServiceManagerError -------------------------------------------------------------

EServiceManagerError::EServiceManagerError(const std::string& message)
    : std::runtime_error(message) {}

EServiceManagerError::EServiceManagerError(const std::string& message, DWORD code)
    : std::runtime_error(message), code_(code) {}

EServiceManagerError EServiceManagerError::FromSystemError(DWORD code) {
    return EServiceManagerError(
        "System Error.  Code: " + std::to_string(code) + ".\n" + scm::SystemErrorMessage(code),
        code);
}

// ---- TServiceInfo ---------------------------------------------------------------------

TServiceInfo::TServiceInfo(TServiceManager& manager, int index, std::string serviceName,
                           std::string displayName, const scm::SERVICE_STATUS& status)
    : FIndex(index),
      FServiceManager(manager),
      FServiceStatus(status),
      FServiceName(std::move(serviceName)),
      FDisplayName(std::move(displayName)) {}

TServiceInfo::~TServiceInfo() { ReleaseHandle(); }

void TServiceInfo::AcquireHandle(DWORD desiredAccess) {
    if (FHandle) return;
    FHandle = scm::OpenService(FServiceManager.FManager, FServiceName.c_str(), desiredAccess);
    if (!FHandle) RaiseLastError();
}

void TServiceInfo::ReleaseHandle() {
    if (!FHandle) return;
    scm::CloseServiceHandle(FHandle);
    FHandle = nullptr;
}

void TServiceInfo::QueryStatus() {
    scm::SERVICE_STATUS status;
    if (FHandle) {
        if (!scm::QueryServiceStatus(FHandle, &status)) RaiseLastError();
    } else {
        AcquireHandle(scm::SERVICE_QUERY_STATUS);
        const bool ok = scm::QueryServiceStatus(FHandle, &status);
        const DWORD error = ok ? 0 : scm::GetLastError();
        ReleaseHandle();
        if (!ok) throw EServiceManagerError::FromSystemError(error);
    }
    FServiceStatus = status;
}

TServiceState TServiceInfo::State() {
    if (FLive) QueryStatus();
    const DWORD code = FServiceStatus.dwCurrentState;
    if (code < scm::SERVICE_STOPPED || code > scm::SERVICE_PAUSED)
        throw EServiceManagerError(kStateUnknown);
    return static_cast<TServiceState>(code - 1);
}

TServiceAccepts TServiceInfo::Accepts() {
    if (FLive) QueryStatus();
    return TServiceAccepts::FromControlsAccepted(FServiceStatus.dwControlsAccepted);
}

void TServiceInfo::WaitForState(DWORD state) {
    QueryStatus();
    while (FServiceStatus.dwCurrentState != state) {
        const DWORD checkPoint = FServiceStatus.dwCheckPoint;
        const DWORD hint = FServiceStatus.dwWaitHint ? FServiceStatus.dwWaitHint : kNoWaitHintMs;
        std::this_thread::sleep_for(std::chrono::milliseconds(hint));
        QueryStatus();
        if (FServiceStatus.dwCurrentState == state) return;
        if (FServiceStatus.dwCheckPoint == checkPoint) throw EServiceManagerError(kNoReaction);
    }
}

void TServiceInfo::Control(DWORD access, TServiceAccept needed, const char* refusal, DWORD control,
                           DWORD target, bool wait) {
    AcquireHandle(access | scm::SERVICE_QUERY_STATUS);
    try {
        if (!Accepts().Contains(needed)) throw EServiceManagerError(refusal);
        scm::SERVICE_STATUS status;
        if (!scm::ControlService(FHandle, control, &status)) RaiseLastError();
        if (wait) WaitForState(target);
    } catch (...) {
        ReleaseHandle();
        throw;
    }
    ReleaseHandle();
}

void TServiceInfo::ServiceStart(bool wait) {
    AcquireHandle(scm::SERVICE_START | scm::SERVICE_QUERY_STATUS);
    try {
        if (!scm::StartService(FHandle, 0, nullptr)) RaiseLastError();
        if (wait) WaitForState(scm::SERVICE_RUNNING);
    } catch (...) {
        ReleaseHandle();
        throw;
    }
    ReleaseHandle();
}

void TServiceInfo::ServiceStop(bool wait) {
    Control(scm::SERVICE_STOP, TServiceAccept::saStop, kCannotStop, scm::SERVICE_CONTROL_STOP,
            scm::SERVICE_STOPPED, wait);
}

void TServiceInfo::ServicePause(bool wait) {
    Control(scm::SERVICE_PAUSE_CONTINUE, TServiceAccept::saPauseContinue, kCannotPause,
            scm::SERVICE_CONTROL_PAUSE, scm::SERVICE_PAUSED, wait);
}

void TServiceInfo::ServiceContinue(bool wait) {
    Control(scm::SERVICE_PAUSE_CONTINUE, TServiceAccept::saPauseContinue, kCannotContinue,
            scm::SERVICE_CONTROL_CONTINUE, scm::SERVICE_RUNNING, wait);
}

void TServiceInfo::SetState(TServiceState value) {
    if (!FLive) QueryStatus();
    // A live entry asks again here: the listed state may be long gone.
    switch (State()) {
        case TServiceState::ssStartPending:
        case TServiceState::ssContinuePending:
            WaitForState(scm::SERVICE_RUNNING);
            break;
        case TServiceState::ssStopPending:
            WaitForState(scm::SERVICE_STOPPED);
            break;
        case TServiceState::ssPausePending:
            WaitForState(scm::SERVICE_PAUSED);
            break;
        default:
            break;
    }
    const TServiceState current = State();
    switch (value) {
        case TServiceState::ssStopped:
            if (current != TServiceState::ssStopped) ServiceStop(true);
            break;
        case TServiceState::ssRunning:
            if (current == TServiceState::ssStopped)
                ServiceStart(true);
            else if (current == TServiceState::ssPaused)
                ServiceContinue(true);
            break;
        case TServiceState::ssPaused:
            if (current == TServiceState::ssStopped) {
                ServiceStart(true);
                try {
                    ServicePause(true);
                } catch (...) {
                    // Do not leave running a service the caller wanted paused; if the stop
                    // fails too, that is the more urgent news and replaces the pause's.
                    ServiceStop(true);
                    throw;
                }
            } else if (current == TServiceState::ssRunning) {
                ServicePause(true);
            }
            break;
        default:
            throw EServiceManagerError(kTransitionalState);
    }
}

void TServiceInfo::QueryConfig() {
    AcquireHandle(scm::SERVICE_QUERY_CONFIG);
    try {
        DWORD needed = 0;
        if (scm::QueryServiceConfig(FHandle, nullptr, 0, &needed))
            AssertionFailed("configuration query succeeded without a buffer");
        if (scm::GetLastError() != scm::ERROR_INSUFFICIENT_BUFFER) RaiseLastError();
        RecordBuffer buffer(needed);
        auto* config = buffer.As<scm::QUERY_SERVICE_CONFIG>();
        if (!scm::QueryServiceConfig(FHandle, config, buffer.Size(), &needed)) RaiseLastError();
        if ((config->dwServiceType & kWin32Services) == 0)
            AssertionFailed("service type is neither own-process nor shared-process");
        TServiceStartup startType;
        switch (config->dwStartType) {
            case scm::SERVICE_AUTO_START:
                startType = TServiceStartup::ssAutomatic;
                break;
            case scm::SERVICE_DEMAND_START:
                startType = TServiceStartup::ssManual;
                break;
            case scm::SERVICE_DISABLED:
                startType = TServiceStartup::ssDisabled;
                break;
            default:
                throw EServiceManagerError(kStartTypeUnknown);
        }
        FOwnProcess = (config->dwServiceType & kWin32Services) == scm::SERVICE_WIN32_OWN_PROCESS;
        FInteractive = (config->dwServiceType & scm::SERVICE_INTERACTIVE_PROCESS) != 0;
        FStartType = startType;
        FBinaryPath = Text(config->lpBinaryPathName);
        FUserName = Text(config->lpServiceStartName);
        FConfigQueried = true;
    } catch (...) {
        ReleaseHandle();
        throw;
    }
    ReleaseHandle();
}

void TServiceInfo::EnsureConfig() {
    if (FLive || !FConfigQueried) QueryConfig();
}

bool TServiceInfo::OwnProcess() {
    EnsureConfig();
    return FOwnProcess;
}

bool TServiceInfo::Interactive() {
    EnsureConfig();
    return FInteractive;
}

std::string TServiceInfo::BinaryPath() {
    EnsureConfig();
    return FBinaryPath;
}

TServiceStartup TServiceInfo::StartType() {
    EnsureConfig();
    return FStartType;
}

void TServiceInfo::SetStartType(TServiceStartup value) {
    QueryConfig();
    if (value == FStartType) return;
    FServiceManager.LockDatabase();
    try {
        AcquireHandle(scm::SERVICE_CHANGE_CONFIG);
        try {
            if (!scm::ChangeServiceConfig(FHandle, scm::SERVICE_NO_CHANGE, StartTypeCode(value),
                                          scm::SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr))
                RaiseLastError();
            FStartType = value;
        } catch (...) {
            ReleaseHandle();
            throw;
        }
        ReleaseHandle();
    } catch (...) {
        // The lock must go on every path; the change's own failure is the one to report.
        try {
            FServiceManager.UnlockDatabase();
        } catch (const EServiceManagerError&) {
        }
        throw;
    }
    FServiceManager.UnlockDatabase();
}

void TServiceInfo::SearchDependents() {
    FDependents.clear();
    AcquireHandle(scm::SERVICE_ENUMERATE_DEPENDENTS);
    try {
        DWORD needed = 0;
        DWORD returned = 0;
        if (scm::EnumDependentServices(FHandle, scm::SERVICE_STATE_ALL, nullptr, 0, &needed,
                                       &returned)) {
            // No dependents: the flag stays false so the next read asks again.
            ReleaseHandle();
            return;
        }
        if (scm::GetLastError() != scm::ERROR_MORE_DATA) RaiseLastError();
        RecordBuffer buffer(needed);
        auto* records = buffer.As<scm::ENUM_SERVICE_STATUS>();
        if (!scm::EnumDependentServices(FHandle, scm::SERVICE_STATE_ALL, records, buffer.Size(),
                                        &needed, &returned))
            RaiseLastError();
        std::vector<TServiceInfo*> dependents;
        dependents.reserve(returned);
        for (DWORD i = 0; i < returned; ++i)
            dependents.push_back(&FServiceManager.ServiceByName(Text(records[i].lpServiceName)));
        FDependents = std::move(dependents);
    } catch (...) {
        ReleaseHandle();
        throw;
    }
    ReleaseHandle();
    FDependentsSearched = true;
}

TServiceInfo& TServiceInfo::Dependents(int index) {
    if (!FDependentsSearched) SearchDependents();
    if (index < 0 || index >= static_cast<int>(FDependents.size()))
        throw EServiceManagerError(kIndexOutOfBounds);
    return *FDependents[static_cast<size_t>(index)];
}

int TServiceInfo::DependentCount() {
    if (!FDependentsSearched) SearchDependents();
    return static_cast<int>(FDependents.size());
}

// ---- TServiceManager ------------------------------------------------------------------

TServiceManager::TServiceManager() = default;

TServiceManager::~TServiceManager() {
    // A destructor cannot report; the only thing that can fail here is releasing a
    // database lock, which is held only inside a start-type change and never at this point.
    try {
        SetActive(false);
    } catch (const EServiceManagerError&) {
    }
}

void TServiceManager::SetActive(bool value) {
    if (value == Active()) return;
    if (value)
        Connect();
    else
        Disconnect();
}

void TServiceManager::SetMachineName(const std::string& value) {
    if (Active()) throw EServiceManagerError(kMachineNameWhileActive);
    FMachineName = value;
}

void TServiceManager::SetAllowLocking(bool value) {
    if (Active()) throw EServiceManagerError(kAllowLockingWhileActive);
    FAllowLocking = value;
}

void TServiceManager::Connect() {
    scm::OSVERSIONINFO version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!scm::GetVersionEx(&version)) RaiseLastError();
    if (version.dwPlatformId != scm::VER_PLATFORM_WIN32_NT)
        throw EServiceManagerError(kPlatformNotSupported);

    DWORD access = scm::SC_MANAGER_CONNECT | scm::SC_MANAGER_ENUMERATE_SERVICE;
    if (FAllowLocking) access |= scm::SC_MANAGER_LOCK;
    FManager = scm::OpenSCManager(FMachineName.c_str(), nullptr, access);
    if (!FManager) RaiseLastError();
    RebuildServicesList();
}

void TServiceManager::Disconnect() {
    ClearServiceList();
    // Close the connection even when releasing the lock fails, then report that failure.
    std::exception_ptr unlockFailure;
    if (FLock) {
        try {
            UnlockDatabase();
        } catch (const EServiceManagerError&) {
            unlockFailure = std::current_exception();
            FLock = nullptr;
        }
    }
    scm::CloseServiceHandle(FManager);
    FManager = nullptr;
    if (unlockFailure) std::rethrow_exception(unlockFailure);
}

void TServiceManager::ClearServiceList() { FServices.clear(); }

void TServiceManager::RebuildServicesList() {
    if (!Active()) throw EServiceManagerError(kListOnlyWhenActive);
    ClearServiceList();

    DWORD needed = 0;
    DWORD returned = 0;
    DWORD resume = 0;
    if (scm::EnumServicesStatus(FManager, kWin32Services, scm::SERVICE_STATE_ALL, nullptr, 0,
                                &needed, &returned, &resume))
        return;  // nothing to list
    if (scm::GetLastError() != scm::ERROR_MORE_DATA) RaiseLastError();

    // A service registered between the size query and the fetch makes the fetch ask for
    // more room; fetch again rather than report an empty list, which would read as "the
    // service is not installed".
    for (int attempt = 1;; ++attempt) {
        RecordBuffer buffer(needed);
        auto* records = buffer.As<scm::ENUM_SERVICE_STATUS>();
        resume = 0;
        if (scm::EnumServicesStatus(FManager, kWin32Services, scm::SERVICE_STATE_ALL, records,
                                    buffer.Size(), &needed, &returned, &resume)) {
            std::vector<std::unique_ptr<TServiceInfo>> services;
            services.reserve(returned);
            for (DWORD i = 0; i < returned; ++i)
                services.emplace_back(
                    new TServiceInfo(*this, static_cast<int>(i), Text(records[i].lpServiceName),
                                     Text(records[i].lpDisplayName), records[i].ServiceStatus));
            FServices = std::move(services);
            return;
        }
        if (scm::GetLastError() != scm::ERROR_MORE_DATA || attempt == kListAttempts)
            RaiseLastError();
        // What is still needed is counted from the first record that did not fit.
        needed += buffer.Size();
    }
}

void TServiceManager::DeleteService(int /*index*/) { throw EServiceManagerError(kNotImplemented); }

TServiceInfo& TServiceManager::Services(int index) {
    if (index < 0 || index >= ServiceCount()) throw EServiceManagerError(kIndexOutOfBounds);
    return *FServices[static_cast<size_t>(index)];
}

TServiceInfo& TServiceManager::ServiceByName(std::string_view name) {
    const std::string wanted = AsciiUpper(name);
    for (const auto& service : FServices)
        if (AsciiUpper(service->FServiceName) == wanted) return *service;
    throw EServiceManagerError(kServiceNotFound);
}

void TServiceManager::LockDatabase() {
    if (!FAllowLocking) throw EServiceManagerError(kLockingNotAllowed);
    FLock = scm::LockServiceDatabase(FManager);
    if (!FLock) RaiseLastError();
}

void TServiceManager::UnlockDatabase() {
    if (!scm::UnlockServiceDatabase(FLock)) RaiseLastError();
    FLock = nullptr;
}

}  // namespace kavar::panel
