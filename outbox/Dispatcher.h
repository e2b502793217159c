// The outbox dispatcher: the send cycle that turns the pending rows of Outbox_High_Auto
// into provider calls, writes each outcome back, flags rows that can never be sent and
// moves accepted rows to Sent_Item. One implementation for both programs; what differs
// between the service and the panel comes through TOutboxHost.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/db/db.h"
#include "shared/uSmsUtils.h"

namespace kavar::outbox {

// The fixed texts and switches of one program's copy of the cycle.
struct TOutboxHostTraits {
    std::string InvalidAccountText;
    std::string InvalidSenderText;
    std::string InvalidMessageText;  // follows "ID : (" and the row's ID
    std::string InvalidNumberText;   // likewise
    bool ReportRowCount = false;     // "SMSDataset_High.RecordCount : " + rows
    std::string InitializeSuccessText;
    bool DashAfterFailedMove = false;
    // Initialise the component runtime around the database work. Linux has none; the
    // scopes stay so the structure of the service's copy is kept.
    bool ComGuard = false;
};
const TOutboxHostTraits& ServiceTraits();
const TOutboxHostTraits& PanelTraits();

// Everything the cycle needs from the program that runs it.
class TOutboxHost {
  public:
    virtual ~TOutboxHost() = default;
    virtual const TOutboxHostTraits& Traits() const = 0;
    // A report: the text, and when AddLine the line of 34 dashes after it. May throw
    // (a log that cannot be written); the error then ends the cycle.
    virtual void AddResult(const std::string& msg, bool AddLine) = 0;
    // The settings in force; the database values are read when the connection opens.
    virtual TAppSetting GetAppSetting() = 0;
    // The account used to validate and to send.
    virtual std::string GetPanelUser() = 0;
    virtual std::string GetPanelPass() = 0;
    virtual std::string GetActiveNumber() = 0;
    virtual bool GetIsFlash() = 0;
    // Lets the host's thread handle its pending messages once (ticks, input). A tick
    // handled here cannot start a second cycle.
    virtual void ProcessMessages() = 0;
};

// The statement texts, byte for byte as the server receives them.
extern const char* const kOutboxQuery;
extern const char* const kOutboxTable;  // "Outbox_High_Auto"
std::string SetSMStoIsNotValidSql(const std::string& SrcTblName, std::int32_t RowID);
std::string FinalizedSMSSql(const std::string& SrcTblName, std::int32_t RowID, std::int32_t SmsId,
                            std::int32_t ResultCode, std::int32_t Send_Number_Try);
std::string SendedSMSMoveToSendItemSql(const std::string& SrcTblName, std::int32_t SrcID);

// The connection values of the settings, with the ODBC driver from the optional key
// [DATABASE] SQL_OdbcDriver of KavarConfig.ini in TSMSUtil::ApplicationExeName, and
// that folder as the home of the embedded database.
db::ConnectionSettings ConnectionSettingsOf(const TAppSetting& AppSetting);

class TOutboxDispatcher {
  public:
    explicit TOutboxDispatcher(TOutboxHost& host);
    ~TOutboxDispatcher();
    TOutboxDispatcher(const TOutboxDispatcher&) = delete;
    TOutboxDispatcher& operator=(const TOutboxDispatcher&) = delete;

    // Opens the connection when it is not open and re-runs the outbox query (only opens
    // it when ConnectOnly). Reports and returns false on failure.
    bool InitializeDatabase(bool ConnectOnly = false);
    // One send cycle. Sets TimerIsActived at its end, whichever way it ends. Returns at
    // once, touching nothing, while another cycle runs (on any thread, or further up
    // this thread's stack).
    void MultiSendSMS();
    void SetSMStoIsNotValid(const std::string& SrcTblName, std::int32_t RowID);
    void FinalizedSMS(const std::string& SrcTblName, std::int32_t RowID, std::int32_t SmsId,
                      std::int32_t ResultCode, std::int32_t Send_Number_Try);
    void SendedSMSMoveToSendItem(const std::string& SrcTblName, std::int32_t SrcID);

    // The host's cycle flag: true while a cycle may start.
    bool TimerIsActived() const { return timerIsActived_; }
    void SetTimerIsActived(bool value) { timerIsActived_ = value; }
    // The last step of a send-timer tick: when TimerIsActived and no cycle runs, clear
    // the flag and run a cycle. Returns whether a cycle ran.
    bool RunCycleIfActive();
    bool CycleRunning() const { return cycleRunning_; }

    // Closes the connection; safe from any thread. A cycle running on another thread
    // ends after its current row and the call waits for it; called from inside a cycle
    // (re-entrantly) it ends that cycle after the current row and closes then.
    void CloseConnection();
    // Waits for a cycle running on another thread.
    bool Connected();
    // The connection, for the installer's statements on the panel's thread.
    db::Connection& Connection() { return connection_; }

  private:
    class TComScope;
    void RunCycle();
    bool NoteFailure(const std::exception& e);

    TOutboxHost& host_;
    db::Connection connection_;
    db::Recordset dataset_;  // SMSDataset_High: the rows of the last query
    std::recursive_mutex mutex_;
    std::atomic<bool> timerIsActived_{false};
    std::atomic<bool> cycleRunning_{false};
    std::atomic<std::thread::id> cycleThread_{};
    std::atomic<bool> stopRequested_{false};
    bool closeAfterCycle_ = false;
    bool broken_ = false;  // the connection was lost during this cycle
};

}  // namespace kavar::outbox
