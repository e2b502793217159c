// The service framework: what a service program is built on.
//
// A program creates one ServiceApplication, adds its Service object(s) and calls Run with
// its command line. Run handles the install and uninstall switches itself (registration
// with the service's properties and the before/after hooks); without them it connects the
// process to the service manager and runs three threads:
//   - the main thread (the caller of Run) runs its message loop (platform/msgloop), so
//     timers created on it tick there; an exception escaping a tick or a posted task is
//     written to the event log under the service's name and the program keeps running;
//   - the dispatcher thread connects to the manager and delivers control requests to the
//     service's controller;
//   - the service thread (one per service) runs OnStart, then OnExecute, and handles the
//     control requests that the controller queued for it (ProcessRequests).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "platform/msgloop/msgloop.h"
#include "platform/scm/scm.h"

namespace kavar::svcmgr {

using scm::DWORD;

enum class ServiceStatus {
    Stopped = 1,
    StartPending,
    StopPending,
    Running,
    ContinuePending,
    PausePending,
    Paused,
};

class Service {
  public:
    explicit Service(std::string name);
    virtual ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // ---- registration (used by the install switch) --------------------------------------
    std::string Name;         // key name
    std::string DisplayName;  // empty: the key name
    DWORD ServiceType = scm::SERVICE_WIN32_OWN_PROCESS;
    DWORD StartType = scm::SERVICE_AUTO_START;
    DWORD ErrorSeverity = scm::SERVICE_ERROR_NORMAL;
    bool Interactive = false;
    std::vector<std::string> Dependencies;
    std::string ServiceStartName;  // empty: the local system account
    std::string Password;

    // ---- behaviour while running --------------------------------------------------------
    bool AllowStop = true;
    bool AllowPause = true;  // shutdown is always accepted
    // Accept a stop request while OnStart runs (it is queued; OnStart may look at
    // StopRequested() to cut a long wait short, and the stop is handled once it returns).
    bool AllowStopWhileStarting = false;
    // Default pause handling: the service thread waits inside ProcessRequests until
    // continue (or stop, or shutdown) arrives. Other threads keep running.
    bool SuspendWhilePaused = true;
    DWORD WaitHint = 5000;  // milliseconds, reported with every pending state

    // ---- hooks, on the service thread ---------------------------------------------------
    // started/stopped/paused/continued come in true; set false to refuse.
    virtual void OnStart(bool& started);
    // Default: handle requests until terminated. An override should loop on
    // ProcessRequests(false) until Terminated() and must not busy-wait.
    virtual void OnExecute();
    virtual void OnStop(bool& stopped);
    virtual void OnPause(bool& paused);
    virtual void OnContinue(bool& continued);
    // Machine shutdown: the service thread ends; OnStop is not called.
    virtual void OnShutdown();
    // Controls 128-255.
    virtual void OnCustomControl(DWORD code);

    // ---- hooks of the install switches, on the main thread ------------------------------
    virtual void BeforeInstall();
    virtual void AfterInstall();
    virtual void BeforeUninstall();
    virtual void AfterUninstall();

    // The control callback registered with the manager; it must route the code to
    // Controller(). The default routes to the service the application runs.
    virtual scm::LPHANDLER_FUNCTION GetServiceController();
    // Queues a control request for the service thread (dispatcher thread).
    void Controller(DWORD code);

    // ---- for the service thread ---------------------------------------------------------
    // Handles the queued control requests; with waitForMessage, keeps handling them,
    // blocking in between, until the service is terminated.
    void ProcessRequests(bool waitForMessage);
    // A stop (or shutdown) has been handled: the service thread should end.
    bool Terminated() const;
    // A stop or shutdown request has arrived (handled or still queued).
    bool StopRequested() const;
    // Reports the current status; in a pending state each report raises the check point,
    // which tells the manager that the work is progressing.
    void ReportStatus();
    ServiceStatus Status() const;
    void SetExitCodes(DWORD win32ExitCode, DWORD serviceSpecificExitCode = 0);
    // The start arguments (without the service name).
    const std::vector<std::string>& Params() const { return params_; }
    // An entry in the event log under the service's name.
    void LogMessage(const std::string& message, DWORD type = scm::EVENTLOG_ERROR_TYPE) const;

    // The service thread's body; called by the framework with the manager's arguments.
    void Main(DWORD argc, char** argv);

  private:
    void SetStatus(ServiceStatus status);
    void Handle(DWORD code);
    void SuspendUntilContinued();
    bool PopRequest(DWORD& code, bool wait);
    DWORD AcceptedControls(ServiceStatus status) const;

    mutable std::mutex mutex_;
    std::condition_variable requestArrived_;
    std::deque<DWORD> requests_;
    bool terminated_ = false;
    bool stopRequested_ = false;
    ServiceStatus status_ = ServiceStatus::Stopped;
    ServiceStatus reportedStatus_ = ServiceStatus::Stopped;
    DWORD checkPoint_ = 0;
    DWORD win32ExitCode_ = 0;
    DWORD specificExitCode_ = 0;
    scm::SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
    std::vector<std::string> params_;
};

class ServiceApplication {
  public:
    ServiceApplication();
    ~ServiceApplication();
    ServiceApplication(const ServiceApplication&) = delete;
    ServiceApplication& operator=(const ServiceApplication&) = delete;

    // The one application object of the process (null before one is created).
    static ServiceApplication* Instance();

    // Adds a service; the application does not own it. A process runs one service.
    void AddService(Service& service);
    const std::vector<Service*>& Services() const { return services_; }

    // Runs the program: -install or /install, -uninstall or /uninstall (any case), with
    // SILENT to suppress the success message; otherwise runs as a service. Returns the
    // process exit code (0, or the system error code of the failure).
    int Run(int argc, char** argv);

    // The main thread's loop (valid once the application exists).
    msgloop::Loop MainLoop() const { return mainLoop_; }

    // The application-level error handler: the message goes to the event log as an error
    // entry under the service's name; the program keeps running.
    void HandleException(std::exception_ptr error);

  private:
    int Install(bool silent);
    int Uninstall(bool silent);
    int RunAsService();

    std::vector<Service*> services_;
    msgloop::Loop mainLoop_;
};

// The full path of the running program.
std::string ExecutablePath();

// Starts a program detached with its output discarded, without waiting for it and
// without looking at its outcome. A program named without a folder is looked for beside
// the running program first, then on PATH; a ".exe" suffix is ignored when the file
// without it exists. Returns whether the program could be launched.
bool ShellOpenHidden(const std::string& program, const std::string& parameters);

// The text of an exception for logs and messages.
std::string ExceptionText(std::exception_ptr error);

}  // namespace kavar::svcmgr
