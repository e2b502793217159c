#include "service/SVCMain.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>

namespace kavar::service {

const char* const kServiceName = "Velmo";

namespace {

const char* const kDashLine = "----------------------------------";

std::atomic<TVelmo*> gVelmo{nullptr};

// The control callback the manager calls on the framework's dispatcher thread.
void ServiceController(scm::DWORD CtrlCode) {
    if (TVelmo* velmo = gVelmo.load()) velmo->Controller(CtrlCode);
}

// Reports the pending status once a second while a start or a stop is under way, so the
// manager (and Net, and the panel's wait) sees the check point move instead of a service
// that looks hung. Every step it covers is bounded by a time-out of its own.
class TStatusProgress {
  public:
    explicit TStatusProgress(svcmgr::Service& service)
        : thread_([this, &service] {
              std::unique_lock lock(mutex_);
              while (!done_.wait_for(lock, std::chrono::seconds(1), [this] { return finished_; })) {
                  lock.unlock();
                  service.ReportStatus();
                  lock.lock();
              }
          }) {}
    ~TStatusProgress() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }
    TStatusProgress(const TStatusProgress&) = delete;
    TStatusProgress& operator=(const TStatusProgress&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

// TimerDelay seconds as a timer interval. A negative delay never ticks, like a zero one;
// a delay beyond the longest interval a timer can hold gets that longest interval.
unsigned IntervalOf(std::int32_t TimerDelay) {
    if (TimerDelay <= 0) return 0;
    const long long ms = static_cast<long long>(TimerDelay) * 1000;
    return ms > INT_MAX ? static_cast<unsigned>(INT_MAX) : static_cast<unsigned>(ms);
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

TVelmo::TVelmo(msgloop::Loop mainLoop)
    : Service(kServiceName), mainLoop_(mainLoop), SMSTimer(mainLoop), dispatcher_(*this) {
    DisplayName = kServiceName;
    // The start may wait for the database; a stop must be able to cut that wait short.
    AllowStopWhileStarting = true;
    SMSTimer.SetEnabled(false);
    SMSTimer.SetOnTimer([this] { SMSTimerTimer(); });
    gVelmo.store(this);
}

TVelmo::~TVelmo() {
    TVelmo* self = this;
    gVelmo.compare_exchange_strong(self, nullptr);
}

scm::LPHANDLER_FUNCTION TVelmo::GetServiceController() { return &ServiceController; }

const outbox::TOutboxHostTraits& TVelmo::Traits() const { return outbox::ServiceTraits(); }

void TVelmo::ProcessMessages() { mainLoop_.ProcessMessages(); }

void TVelmo::AddResult(const std::string& msg, bool AddLine) {
    TSMSUtil::Logger(msg);
    if (AddLine) TSMSUtil::Logger(kDashLine);
}

std::string TVelmo::GetActiveNumber() {
    return AppSetting.SMS_ActiveServerNumber ? AppSetting.SMS_ServiceNumber
                                             : AppSetting.SMS_NormalNumber;
}

void TVelmo::Initialize() {
    const std::string exe = svcmgr::ExecutablePath();
    TSMSUtil::CallerProg = "SVC";
    TSMSUtil::ApplicationExeName = FolderOf(exe);
    TSMSUtil::LoadSetting(exe, AppSetting);
    TSMSUtil::Logger("Initialize");
}

bool TVelmo::InitializeDatabase() { return dispatcher_.InitializeDatabase(); }

void TVelmo::Sleep_Func(std::int32_t SleepSec) {
    const msgloop::Loop loop = msgloop::Loop::Current();
    for (long long i = 0; i < static_cast<long long>(SleepSec) * 10; ++i) {
        // The only caller is the start; a stop that arrives meanwhile ends the wait.
        if (StopRequested()) return;
        loop.ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        loop.ProcessMessages();
    }
}

void TVelmo::SetTimer() {
    SMSTimer.SetInterval(IntervalOf(AppSetting.TimerDelay));
    SMSTimer.SetEnabled(AppSetting.SVCKAVARSMS ? AppSetting.AutoSendSMS : false);
    if (SMSTimer.Enabled()) dispatcher_.SetTimerIsActived(true);
    TSMSUtil::Logger(dispatcher_.TimerIsActived() ? "SetTimer : ==> TimerIsActived = True"
                                                  : "SetTimer : ==> TimerIsActived = False");
}

void TVelmo::ServiceStart(bool& Started) {
    TStatusProgress progress(*this);
    Initialize();
    if (!InitializeDatabase()) {
        Sleep_Func(kSecondAttemptDelaySec);
        // The second attempt's outcome does not matter: every cycle opens the connection
        // again when it is closed.
        if (!StopRequested()) InitializeDatabase();
    }
    Started = true;
    // Stopped before it ever ran: nothing to arm, the stop follows at once.
    if (StopRequested()) return;
    SetTimer();
    TSMSUtil::Logger("VELMO STARTED");
}

void TVelmo::ServiceExecute() {
    AddResult("ServiceExecute", true);
    while (!Terminated()) {
        ProcessRequests(false);
        if (!Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
}

void TVelmo::EndSending() {
    {
        std::lock_guard lock(cycleMutex_);
        stopping_ = true;
    }
    SMSTimer.SetEnabled(false);
    // A running cycle ends after its current row; the connection is closed only then.
    // A tick that had claimed a cycle just before stopping_ was set may open the
    // connection once more after a close, hence the loop and the final close.
    for (;;) {
        dispatcher_.CloseConnection();
        std::unique_lock lock(cycleMutex_);
        if (cycleEnded_.wait_for(lock, std::chrono::milliseconds(100),
                                 [this] { return !cycleInProgress_; }))
            break;
    }
    dispatcher_.CloseConnection();
}

void TVelmo::ServiceStop(bool& Stopped) {
    TStatusProgress progress(*this);
    EndSending();
    AddResult("VELMO STOPED", true);
    Stopped = true;
}

void TVelmo::OnShutdown() {
    // No stop handler and no log line at shutdown; only no send cycle may go on in a
    // process the manager already counts as stopped.
    TStatusProgress progress(*this);
    EndSending();
}

void TVelmo::ServiceAfterInstall() { svcmgr::ShellOpenHidden("Net", "Start " + DisplayName); }

void TVelmo::ServiceAfterUninstall() { svcmgr::ShellOpenHidden("Net", "Stop " + DisplayName); }

void TVelmo::SMSTimerTimer() {
    {
        std::lock_guard lock(cycleMutex_);
        if (stopping_) return;
    }
    if (!TSMSUtil::CheckActiveTime(AppSetting)) return;
    if (!TSMSUtil::InternetState()) {
        AddResult("(SMSTimer) NO INTERNET CONNECTION", true);
        return;
    }
    {
        std::lock_guard lock(cycleMutex_);
        // A tick during a running cycle (handled inside its message processing) is ignored.
        if (stopping_ || !dispatcher_.TimerIsActived() || dispatcher_.CycleRunning()) return;
        dispatcher_.SetTimerIsActived(false);
        cycleInProgress_ = true;
    }
    struct TCycleEnd {
        TVelmo& velmo;
        ~TCycleEnd() {
            {
                std::lock_guard lock(velmo.cycleMutex_);
                velmo.cycleInProgress_ = false;
            }
            velmo.cycleEnded_.notify_all();
        }
    } end{*this};
    dispatcher_.MultiSendSMS();
}

}  // namespace kavar::service
