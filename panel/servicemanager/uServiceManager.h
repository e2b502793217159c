// A connection to the service control manager that lists all services, and one entry of
// that list through which a service's state, start type and configuration are read and
// changed. No window code: the panel drives it from its window thread, and the wrapper has
// no locking of its own.
//
// Failures are raised as EServiceManagerError. Its message is either one of the fixed
// texts below or, for a failed manager call, "System Error.  Code: <n>.\n<system text>";
// ErrorCode() tells the two apart (0 for a fixed text). Nothing is logged here.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/scm/scm.h"

namespace kavar::panel {

class EServiceManagerError : public std::runtime_error {
  public:
    // A fixed text of the wrapper.
    explicit EServiceManagerError(const std::string& message);
    // A failed manager call: the code and its system text.
    static EServiceManagerError FromSystemError(scm::DWORD code);
    // 0 for a fixed text, else the system error code.
    scm::DWORD ErrorCode() const { return code_; }

  private:
    EServiceManagerError(const std::string& message, scm::DWORD code);
    scm::DWORD code_ = 0;
};

// The manager's current-state codes 1..7 in the same order (code = ordinal + 1).
enum class TServiceState {
    ssStopped,
    ssStartPending,
    ssStopPending,
    ssRunning,
    ssContinuePending,
    ssPausePending,
    ssPaused
};

// The accepted-control bits 1, 2 and 4.
enum class TServiceAccept { saStop, saPauseContinue, saShutdown };

// A set of TServiceAccept.
class TServiceAccepts {
  public:
    constexpr TServiceAccepts() = default;
    constexpr TServiceAccepts(std::initializer_list<TServiceAccept> items) {
        for (TServiceAccept a : items) bits_ |= Bit(a);
    }
    static constexpr TServiceAccepts FromControlsAccepted(scm::DWORD controls) {
        TServiceAccepts set;
        set.bits_ = controls & 7u;
        return set;
    }
    constexpr bool Contains(TServiceAccept a) const { return (bits_ & Bit(a)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    friend constexpr bool operator==(TServiceAccepts, TServiceAccepts) = default;

  private:
    static constexpr unsigned Bit(TServiceAccept a) { return 1u << static_cast<unsigned>(a); }
    unsigned bits_ = 0;
};

// Start types 2 (automatic), 3 (on demand), 4 (disabled).
enum class TServiceStartup { ssAutomatic, ssManual, ssDisabled };

class TServiceManager;

// One service of the manager's list. Created and destroyed only by its TServiceManager:
// a rebuild of the list, or deactivation, destroys every entry, so a reference held
// across a rebuild is invalid and must be fetched again. Holds a service handle only while
// one of its operations runs. Status and configuration are snapshots: with Live false they
// change only when an operation queries them.
class TServiceInfo {
  public:
    ~TServiceInfo();
    TServiceInfo(const TServiceInfo&) = delete;
    TServiceInfo& operator=(const TServiceInfo&) = delete;

    const std::string& ServiceName() const { return FServiceName; }
    const std::string& DisplayName() const { return FDisplayName; }
    int Index() const { return FIndex; }

    // Reading asks the manager first only when Live. Writing brings the service into that
    // state, waiting for each step; a pending state cannot be written.
    TServiceState State();
    void SetState(TServiceState value);
    TServiceAccepts Accepts();

    // When true, every read of state, accepted controls and configuration asks the manager.
    bool Live() const { return FLive; }
    void SetLive(bool value) { FLive = value; }

    bool OwnProcess();
    bool Interactive();
    std::string BinaryPath();
    TServiceStartup StartType();
    // Changes the start type under the manager's database lock; needs AllowLocking.
    void SetStartType(TServiceStartup value);

    // Services that depend on this one, entries of the same manager list.
    TServiceInfo& Dependents(int index);
    int DependentCount();

    // Send the request; with wait true, return once the target state is reached. A wait
    // fails when the service's check point stands still over one wait hint.
    void ServiceStart(bool wait);
    void ServiceStop(bool wait);
    void ServicePause(bool wait);
    void ServiceContinue(bool wait);

  private:
    friend class TServiceManager;
    TServiceInfo(TServiceManager& manager, int index, std::string serviceName,
                 std::string displayName, const scm::SERVICE_STATUS& status);

    void AcquireHandle(scm::DWORD desiredAccess);
    void ReleaseHandle();
    void QueryStatus();
    void WaitForState(scm::DWORD state);
    void SearchDependents();
    void QueryConfig();
    void EnsureConfig();
    void Control(scm::DWORD access, TServiceAccept needed, const char* refusal, scm::DWORD control,
                 scm::DWORD target, bool wait);

    int FIndex;
    TServiceManager& FServiceManager;
    scm::SC_HANDLE FHandle = nullptr;
    scm::SERVICE_STATUS FServiceStatus;
    std::string FServiceName;
    std::string FDisplayName;
    bool FDependentsSearched = false;
    std::vector<TServiceInfo*> FDependents;  // entries of the manager's list, not owned
    bool FLive = false;
    bool FConfigQueried = false;
    bool FOwnProcess = false;
    bool FInteractive = false;
    TServiceStartup FStartType = TServiceStartup::ssManual;
    std::string FBinaryPath;
    std::string FUserName;
};

// A connection to the service control manager of one machine, holding the list of all
// own-process and shared-process services. Inactive after construction; the destructor
// disconnects.
class TServiceManager {
  public:
    TServiceManager();
    ~TServiceManager();
    TServiceManager(const TServiceManager&) = delete;
    TServiceManager& operator=(const TServiceManager&) = delete;

    // true: connect and build the list; false: free the list and disconnect.
    bool Active() const { return FManager != nullptr; }
    void SetActive(bool value);

    // Empty means this machine. Cannot change while active.
    const std::string& MachineName() const { return FMachineName; }
    void SetMachineName(const std::string& value);
    // Whether the connection may lock the service database (needed to change start types).
    // Cannot change while active.
    bool AllowLocking() const { return FAllowLocking; }
    void SetAllowLocking(bool value);

    // Re-reads the list; every earlier entry is destroyed. A failure leaves it empty.
    void RebuildServicesList();
    // Always fails: removing services is not part of the wrapper.
    void DeleteService(int index);

    TServiceInfo& Services(int index);
    // Key names compared without regard to ASCII case; display names do not count.
    TServiceInfo& ServiceByName(std::string_view name);
    int ServiceCount() const { return static_cast<int>(FServices.size()); }

  private:
    friend class TServiceInfo;
    void Connect();
    void Disconnect();
    void ClearServiceList();
    void LockDatabase();
    void UnlockDatabase();

    scm::SC_HANDLE FManager = nullptr;
    scm::SC_LOCK FLock = nullptr;
    std::string FMachineName;
    std::vector<std::unique_ptr<TServiceInfo>> FServices;
    bool FAllowLocking = false;
};

}  // namespace kavar::panel
