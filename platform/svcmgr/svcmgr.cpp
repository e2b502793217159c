#include "platform/svcmgr/svcmgr.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace kavar::svcmgr {
namespace {

std::atomic<ServiceApplication*> gApplication{nullptr};

bool IsPending(ServiceStatus status) {
    return status == ServiceStatus::StartPending || status == ServiceStatus::StopPending ||
           status == ServiceStatus::ContinuePending || status == ServiceStatus::PausePending;
}

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

// A command-line switch given as -NAME or /NAME, letters in any case.
bool HasSwitch(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg != nullptr && (arg[0] == '-' || arg[0] == '/') && Upper(arg + 1) == name) {
            return true;
        }
    }
    return false;
}

Service* FindService(const char* name) {
    ServiceApplication* app = gApplication.load();
    if (app == nullptr || app->Services().empty()) return nullptr;
    if (name != nullptr) {
        for (Service* service : app->Services()) {
            if (Upper(service->Name) == Upper(name)) return service;
        }
    }
    return app->Services().front();
}

void DefaultController(DWORD code) {
    if (Service* service = FindService(nullptr)) service->Controller(code);
}

void ServiceMainEntry(DWORD argc, char** argv) {
    if (Service* service = FindService(argc > 0 ? argv[0] : nullptr)) service->Main(argc, argv);
}

std::string SystemText(DWORD code) {
    return scm::SystemErrorMessage(code) + " (" + std::to_string(code) + ")";
}

std::vector<std::string> SplitParameters(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool any = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(word);
    return words;
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string ResolveProgram(const std::string& program) {
    std::vector<std::string> names{program};
    if (program.size() > 4 && Upper(program.substr(program.size() - 4)) == ".EXE") {
        names.push_back(program.substr(0, program.size() - 4));
    }
    std::vector<std::string> folders;
    if (program.find('/') != std::string::npos) {
        folders.push_back("");
    } else {
        const std::string self = ExecutablePath();
        folders.push_back(self.substr(0, self.rfind('/') + 1));
        const char* path = std::getenv("PATH");
        std::string list = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
        size_t start = 0;
        while (start <= list.size()) {
            const size_t end = list.find(':', start);
            std::string dir =
                list.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!dir.empty()) folders.push_back(dir + "/");
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    for (const auto& folder : folders) {
        for (const auto& name : names) {
            if (IsExecutableFile(folder + name)) return folder + name;
        }
    }
    return {};
}

}  // namespace

std::string ExceptionText(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
    return {};
}

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<size_t>(n));
}

bool ShellOpenHidden(const std::string& program, const std::string& parameters) {
    const std::string path = ResolveProgram(program);
    if (path.empty()) return false;
    std::vector<std::string> args{path};
    for (auto& word : SplitParameters(parameters)) args.push_back(std::move(word));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0) return false;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(devNull);
        return false;
    }
    if (child == 0) {
        // Detached: own session, reparented to init, nothing of ours left open.
        ::setsid();
        if (::fork() != 0) ::_exit(0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::dup2(devNull, 0);
        ::dup2(devNull, 1);
        ::dup2(devNull, 2);
        ::syscall(SYS_close_range, 3U, ~0U, 0U);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(devNull);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

// ---- Service ---------------------------------------------------------------------------

Service::Service(std::string name) : Name(std::move(name)) {}
Service::~Service() = default;

void Service::OnStart(bool&) {}
void Service::OnExecute() { ProcessRequests(true); }
void Service::OnStop(bool&) {}
void Service::OnPause(bool&) {}
void Service::OnContinue(bool&) {}
void Service::OnShutdown() {}
void Service::OnCustomControl(DWORD) {}
void Service::BeforeInstall() {}
void Service::AfterInstall() {}
void Service::BeforeUninstall() {}
void Service::AfterUninstall() {}

scm::LPHANDLER_FUNCTION Service::GetServiceController() { return &DefaultController; }

DWORD Service::AcceptedControls(ServiceStatus status) const {
    switch (status) {
        case ServiceStatus::StartPending:
            return AllowStopWhileStarting ? scm::SERVICE_ACCEPT_STOP : 0;
        case ServiceStatus::StopPending:
        case ServiceStatus::Stopped:
            return 0;
        default:
            return (AllowStop ? scm::SERVICE_ACCEPT_STOP : 0) |
                   (AllowPause ? scm::SERVICE_ACCEPT_PAUSE_CONTINUE : 0) |
                   scm::SERVICE_ACCEPT_SHUTDOWN;
    }
}

void Service::SetStatus(ServiceStatus status) {
    {
        std::lock_guard lock(mutex_);
        status_ = status;
    }
    ReportStatus();
}

ServiceStatus Service::Status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void Service::SetExitCodes(DWORD win32ExitCode, DWORD serviceSpecificExitCode) {
    std::lock_guard lock(mutex_);
    win32ExitCode_ = win32ExitCode;
    specificExitCode_ = serviceSpecificExitCode;
}

void Service::ReportStatus() {
    std::lock_guard lock(mutex_);
    if (statusHandle_ == nullptr) return;
    if (status_ != reportedStatus_) {
        checkPoint_ = 0;
        reportedStatus_ = status_;
    }
    scm::SERVICE_STATUS status{};
    status.dwServiceType = ServiceType;
    status.dwCurrentState = static_cast<DWORD>(status_);
    status.dwControlsAccepted = AcceptedControls(status_);
    status.dwWin32ExitCode = win32ExitCode_;
    status.dwServiceSpecificExitCode = specificExitCode_;
    if (specificExitCode_ != 0) status.dwWin32ExitCode = scm::ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwCheckPoint = IsPending(status_) ? ++checkPoint_ : 0;
    status.dwWaitHint = IsPending(status_) ? WaitHint : 0;
    if (!scm::SetServiceStatus(statusHandle_, &status)) {
        // Nobody else can be told; keep a trace where the operator looks.
        scm::ReportEvent(Name.c_str(), scm::EVENTLOG_ERROR_TYPE,
                         "Status report failed: " + SystemText(scm::GetLastError()));
    }
}

void Service::LogMessage(const std::string& message, DWORD type) const {
    if (!scm::ReportEvent(Name.c_str(), type, message)) {
        std::fprintf(stderr, "%s: %s\n", Name.c_str(), message.c_str());
    }
}

void Service::Controller(DWORD code) {
    if (code == scm::SERVICE_CONTROL_INTERROGATE) {
        ReportStatus();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (code == scm::SERVICE_CONTROL_STOP || code == scm::SERVICE_CONTROL_SHUTDOWN) {
            stopRequested_ = true;
            status_ = ServiceStatus::StopPending;
        } else if (code == scm::SERVICE_CONTROL_PAUSE && status_ == ServiceStatus::Running) {
            status_ = ServiceStatus::PausePending;
        } else if (code == scm::SERVICE_CONTROL_CONTINUE && status_ == ServiceStatus::Paused) {
            status_ = ServiceStatus::ContinuePending;
        }
        requests_.push_back(code);
    }
    // The manager sees the pending state as soon as the request is accepted.
    ReportStatus();
    requestArrived_.notify_all();
}

bool Service::Terminated() const {
    std::lock_guard lock(mutex_);
    return terminated_;
}

bool Service::StopRequested() const {
    std::lock_guard lock(mutex_);
    return stopRequested_;
}

bool Service::PopRequest(DWORD& code, bool wait) {
    std::unique_lock lock(mutex_);
    if (wait) requestArrived_.wait(lock, [this] { return !requests_.empty(); });
    if (requests_.empty()) return false;
    code = requests_.front();
    requests_.pop_front();
    return true;
}

void Service::ProcessRequests(bool waitForMessage) {
    DWORD code = 0;
    while (!Terminated()) {
        if (!PopRequest(code, waitForMessage)) return;
        Handle(code);
    }
}

void Service::Handle(DWORD code) {
    const auto guarded = [this](const char* step, auto&& hook) {
        try {
            hook();
            return true;
        } catch (...) {
            LogMessage(std::string("Service failed on ") + step + ": " +
                       ExceptionText(std::current_exception()));
            return false;
        }
    };
    switch (code) {
        case scm::SERVICE_CONTROL_STOP: {
            bool stopped = true;
            if (!guarded("stop", [&] { OnStop(stopped); })) stopped = true;
            if (stopped) {
                std::lock_guard lock(mutex_);
                terminated_ = true;
            } else {
                {
                    std::lock_guard lock(mutex_);
                    stopRequested_ = false;
                }
                SetStatus(ServiceStatus::Running);
            }
            break;
        }
        case scm::SERVICE_CONTROL_SHUTDOWN:
            guarded("shutdown", [&] { OnShutdown(); });
            {
                std::lock_guard lock(mutex_);
                terminated_ = true;
            }
            break;
        case scm::SERVICE_CONTROL_PAUSE: {
            if (Status() != ServiceStatus::PausePending) break;  // not running: nothing to pause
            bool paused = true;
            if (!guarded("pause", [&] { OnPause(paused); })) paused = false;
            SetStatus(paused ? ServiceStatus::Paused : ServiceStatus::Running);
            if (paused && SuspendWhilePaused) SuspendUntilContinued();
            break;
        }
        case scm::SERVICE_CONTROL_CONTINUE: {
            if (Status() != ServiceStatus::ContinuePending) break;
            bool continued = true;
            if (!guarded("continue", [&] { OnContinue(continued); })) continued = false;
            SetStatus(continued ? ServiceStatus::Running : ServiceStatus::Paused);
            break;
        }
        default:
            if (code >= 128 && code <= 255) guarded("control", [&] { OnCustomControl(code); });
            break;
    }
}

void Service::SuspendUntilContinued() {
    // Paused by default handling: wait here for the request that ends the pause. A stop
    // must still work while paused.
    DWORD code = 0;
    while (Status() == ServiceStatus::Paused || Status() == ServiceStatus::ContinuePending) {
        if (!PopRequest(code, true)) continue;
        Handle(code);
        if (Terminated() || Status() == ServiceStatus::StopPending) return;
    }
}

void Service::Main(DWORD argc, char** argv) {
    params_.clear();
    for (DWORD i = 1; i < argc; ++i) params_.emplace_back(argv[i]);
    statusHandle_ = scm::RegisterServiceCtrlHandler(Name.c_str(), GetServiceController());
    if (statusHandle_ == nullptr) {
        LogMessage("Service failed on start: " + SystemText(scm::GetLastError()));
        return;
    }
    SetStatus(ServiceStatus::StartPending);
    bool started = true;
    try {
        OnStart(started);
    } catch (...) {
        LogMessage("Service failed on start: " + ExceptionText(std::current_exception()));
        started = false;
        SetExitCodes(scm::ERROR_EXCEPTION_IN_SERVICE);
    }
    if (started) {
        {
            std::lock_guard lock(mutex_);
            // A stop that arrived during the start keeps the service stop-pending; the
            // execute loop handles it first thing.
            if (!stopRequested_) status_ = ServiceStatus::Running;
        }
        ReportStatus();
        try {
            OnExecute();
        } catch (...) {
            LogMessage("Service failed on execute: " + ExceptionText(std::current_exception()));
            SetExitCodes(scm::ERROR_EXCEPTION_IN_SERVICE);
        }
    }
    SetStatus(ServiceStatus::Stopped);
}

// ---- ServiceApplication ----------------------------------------------------------------

ServiceApplication::ServiceApplication() : mainLoop_(msgloop::Loop::Current()) {
    ServiceApplication* expected = nullptr;
    if (!gApplication.compare_exchange_strong(expected, this)) {
        throw std::logic_error("only one service application per process");
    }
}

ServiceApplication::~ServiceApplication() { gApplication.store(nullptr); }

ServiceApplication* ServiceApplication::Instance() { return gApplication.load(); }

void ServiceApplication::AddService(Service& service) { services_.push_back(&service); }

void ServiceApplication::HandleException(std::exception_ptr error) {
    const std::string text = ExceptionText(error);
    const std::string source = services_.empty() ? "Service" : services_.front()->Name;
    if (!scm::ReportEvent(source.c_str(), scm::EVENTLOG_ERROR_TYPE, text)) {
        std::fprintf(stderr, "%s: %s\n", source.c_str(), text.c_str());
    }
}

int ServiceApplication::Run(int argc, char** argv) {
    const bool silent = HasSwitch(argc, argv, "SILENT");
    if (HasSwitch(argc, argv, "INSTALL")) return Install(silent);
    if (HasSwitch(argc, argv, "UNINSTALL")) return Uninstall(silent);
    return RunAsService();
}

int ServiceApplication::Install(bool silent) {
    const scm::SC_HANDLE manager = scm::OpenSCManager(nullptr, nullptr, scm::SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        const DWORD code = scm::GetLastError();
        std::fprintf(stderr, "Service installation failed: %s\n", SystemText(code).c_str());
        return static_cast<int>(code);
    }
    std::string path = ExecutablePath();
    if (path.find(' ') != std::string::npos) path = "\"" + path + "\"";
    int result = 0;
    for (Service* service : services_) {
        try {
            service->BeforeInstall();
            std::string dependencies;
            for (const auto& dependency : service->Dependencies) {
                dependencies += dependency;
                dependencies += '\0';
            }
            dependencies += '\0';
            const DWORD type = service->ServiceType |
                               (service->Interactive ? scm::SERVICE_INTERACTIVE_PROCESS : 0);
            const std::string display =
                service->DisplayName.empty() ? service->Name : service->DisplayName;
            const scm::SC_HANDLE handle = scm::CreateService(
                manager, service->Name.c_str(), display.c_str(), scm::SERVICE_ALL_ACCESS, type,
                service->StartType, service->ErrorSeverity, path.c_str(), nullptr, nullptr,
                dependencies.c_str(),
                service->ServiceStartName.empty() ? nullptr : service->ServiceStartName.c_str(),
                service->Password.empty() ? nullptr : service->Password.c_str());
            if (handle == nullptr) {
                const DWORD code = scm::GetLastError();
                std::fprintf(stderr, "Service %s failed on install: %s\n", service->Name.c_str(),
                             SystemText(code).c_str());
                result = static_cast<int>(code);
                continue;
            }
            scm::CloseServiceHandle(handle);
            service->AfterInstall();
            if (!silent) std::printf("Service %s installed successfully.\n", service->Name.c_str());
        } catch (...) {
            std::fprintf(stderr, "Service %s failed on install: %s\n", service->Name.c_str(),
                         ExceptionText(std::current_exception()).c_str());
            result = result != 0 ? result : 1;
        }
    }
    scm::CloseServiceHandle(manager);
    std::fflush(stdout);
    return result;
}

int ServiceApplication::Uninstall(bool silent) {
    const scm::SC_HANDLE manager = scm::OpenSCManager(nullptr, nullptr, scm::SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        const DWORD code = scm::GetLastError();
        std::fprintf(stderr, "Service removal failed: %s\n", SystemText(code).c_str());
        return static_cast<int>(code);
    }
    int result = 0;
    for (Service* service : services_) {
        try {
            service->BeforeUninstall();
            const scm::SC_HANDLE handle =
                scm::OpenService(manager, service->Name.c_str(), scm::DELETE);
            const bool deleted = handle != nullptr && scm::DeleteService(handle);
            const DWORD code = deleted ? 0 : scm::GetLastError();
            if (handle != nullptr) scm::CloseServiceHandle(handle);
            if (!deleted) {
                std::fprintf(stderr, "Service %s failed on uninstall: %s\n", service->Name.c_str(),
                             SystemText(code).c_str());
                result = static_cast<int>(code);
                continue;
            }
            service->AfterUninstall();
            if (!silent)
                std::printf("Service %s uninstalled successfully.\n", service->Name.c_str());
        } catch (...) {
            std::fprintf(stderr, "Service %s failed on uninstall: %s\n", service->Name.c_str(),
                         ExceptionText(std::current_exception()).c_str());
            result = result != 0 ? result : 1;
        }
    }
    scm::CloseServiceHandle(manager);
    std::fflush(stdout);
    return result;
}

int ServiceApplication::RunAsService() {
    if (services_.empty()) return 0;
    mainLoop_.SetErrorHandler([this](std::exception_ptr error) { HandleException(error); });
    std::vector<std::string> names;
    for (Service* service : services_) names.push_back(service->Name);
    std::vector<scm::SERVICE_TABLE_ENTRY> table;
    for (const auto& name : names) table.push_back({name.c_str(), &ServiceMainEntry});
    table.push_back({nullptr, nullptr});

    std::atomic<DWORD> failure{0};
    msgloop::Loop loop = mainLoop_;
    std::thread dispatcher([&table, &failure, loop] {
        if (!scm::StartServiceCtrlDispatcher(table.data())) failure = scm::GetLastError();
        loop.Quit(0);
    });
    loop.Run();
    dispatcher.join();
    if (failure != 0) {
        std::fprintf(stderr, "%s: %s\n", services_.front()->Name.c_str(),
                     SystemText(failure).c_str());
        return static_cast<int>(failure.load());
    }
    return 0;
}

}  // namespace kavar::svcmgr
