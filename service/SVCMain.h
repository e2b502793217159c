// SVCMain: the Velmo service. TVelmo runs the outbox dispatcher on a timer: the start
// loads the settings, opens the database and arms the send timer; every tick inside the
// sending window, while the machine is online, runs one send cycle.
//
// Threads: the send timer ticks, and every send cycle runs, on the main thread (the
// service application's message loop, the thread that created the TVelmo); the start, the
// once-per-second request loop and the stop run on the service thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "outbox/Dispatcher.h"
#include "platform/msgloop/msgloop.h"
#include "platform/svcmgr/svcmgr.h"
#include "shared/uSmsUtils.h"

namespace kavar::service {

// The service's key and display name.
extern const char* const kServiceName;  // "Velmo"
// Seconds between the two database attempts of a start whose first attempt failed.
constexpr std::int32_t kSecondAttemptDelaySec = 20;

class TVelmo : public svcmgr::Service, private outbox::TOutboxHost {
  public:
    // Create it on the thread that runs `mainLoop`: the send timer ticks there.
    explicit TVelmo(msgloop::Loop mainLoop = msgloop::Loop::Current());
    ~TVelmo() override;

    // The control callback registered with the manager; routes to the one TVelmo.
    scm::LPHANDLER_FUNCTION GetServiceController() override;

    // ---- event handlers ------------------------------------------------------------------
    void ServiceStart(bool& Started);
    void ServiceExecute();
    void ServiceStop(bool& Stopped);
    void ServiceAfterInstall();
    void ServiceAfterUninstall();
    void SMSTimerTimer();

  private:
    // The framework's hooks, forwarded to the handlers above.
    void OnStart(bool& started) override { ServiceStart(started); }
    void OnExecute() override { ServiceExecute(); }
    void OnStop(bool& stopped) override { ServiceStop(stopped); }
    void AfterInstall() override { ServiceAfterInstall(); }
    void AfterUninstall() override { ServiceAfterUninstall(); }
    void OnShutdown() override;

    void Initialize();
    void SetTimer();
    bool InitializeDatabase();
    void AddResult(const std::string& msg, bool AddLine) override;
    std::string GetActiveNumber() override;
    void Sleep_Func(std::int32_t SleepSec);
    // Stops the send timer, lets a running cycle end after its current row and closes
    // the connection; no cycle starts afterwards.
    void EndSending();

    // TOutboxHost
    const outbox::TOutboxHostTraits& Traits() const override;
    TAppSetting GetAppSetting() override { return AppSetting; }
    std::string GetPanelUser() override { return AppSetting.SMS_PanelUser; }
    std::string GetPanelPass() override { return AppSetting.SMS_PanelPass; }
    bool GetIsFlash() override { return false; }
    void ProcessMessages() override;

    msgloop::Loop mainLoop_;
    msgloop::Timer SMSTimer;
    // The connection (AC), the outbox query (SMSDataset_High) and the statements (Qry).
    outbox::TOutboxDispatcher dispatcher_;
    TAppSetting AppSetting;

    // Keeps a stop and the start of a send cycle apart: once stopping_ is set no cycle
    // starts, and the stop waits until the cycle the timer started (if any) has ended.
    std::mutex cycleMutex_;
    std::condition_variable cycleEnded_;
    bool stopping_ = false;
    bool cycleInProgress_ = false;
};

}  // namespace kavar::service
