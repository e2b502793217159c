#include "outbox/Dispatcher.h"

#include <algorithm>
#include <climits>

#include "outbox/Schema.h"
#include "platform/profile/profile.h"

namespace kavar::outbox {

const char* const kOutboxQuery =
    "SELECT * FROM Outbox_High_Auto WHERE IsNull(ResultCode,-1) <> 0   AND ISNULL(IsNotValid,0) = "
    "0 ORDER BY ID";
const char* const kOutboxTable = "Outbox_High_Auto";

namespace {

const char* const kInitOpenFailed = "Exception in open  ADO Connection.";
const char* const kInitQueryFailed =
    "(InitializeDatabase) خطا در برقراری ارتباط با بانک اطلاعاتی - ";
const char* const kProviderFailed = "خطا در ارتباط با سرويس دهنده - ";

}  // namespace

const TOutboxHostTraits& ServiceTraits() {
    static const TOutboxHostTraits traits{
        "sms panel username or password is invalid.",
        "sms panel sender number is invlid.",
        " ) sms message is invalid.",
        " ) mobile number is invalid.",
        true,
        "InitializeDatabase Successfully",
        false,
        true,
    };
    return traits;
}

const TOutboxHostTraits& PanelTraits() {
    static const TOutboxHostTraits traits{
        "نام کاربری یا کلمه عبور نادرست است.",
        "شماره خط نامعتبر است.",
        " ) متن پیام نامعتبر است.",
        " ) شماره موبایل نامعتبر است.",
        false,
        "InitializeDatabase",
        true,
        false,
    };
    return traits;
}

std::string SetSMStoIsNotValidSql(const std::string& SrcTblName, std::int32_t RowID) {
    return "UPDATE " + SrcTblName + " SET IsNotValid = 1 WHERE RowID = " + std::to_string(RowID);
}

namespace {

std::string FinalizedSMSText(const std::string& SrcTblName, const std::string& RowID,
                             const std::string& SmsId, const std::string& ResultCode,
                             const std::string& Send_Number_Try) {
    return "UPDATE " + SrcTblName + " SET " + "   SmsId = " + SmsId +
           " , ResultCode = " + ResultCode + " , Send_Number_Try = " + Send_Number_Try +
           " WHERE RowID = " + RowID;
}

}  // namespace

std::string FinalizedSMSSql(const std::string& SrcTblName, std::int32_t RowID, std::int32_t SmsId,
                            std::int32_t ResultCode, std::int32_t Send_Number_Try) {
    return FinalizedSMSText(SrcTblName, std::to_string(RowID), std::to_string(SmsId),
                            std::to_string(ResultCode), std::to_string(Send_Number_Try));
}

std::string SendedSMSMoveToSendItemSql(const std::string& SrcTblName, std::int32_t SrcID) {
    return "EXEC [dbo].[SendedSMSMoveToSendItem] " + QuotedStr(SrcTblName) + "," +
           std::to_string(SrcID);
}

db::ConnectionSettings ConnectionSettingsOf(const TAppSetting& AppSetting) {
    db::ConnectionSettings s;
    s.ServerName = AppSetting.SQL_ServerName;
    s.User = AppSetting.SQL_User;
    s.Password = AppSetting.SQL_Pass;
    s.Database = AppSetting.SQL_DBName;
    s.DefaultFolder = TSMSUtil::ApplicationExeName;
    s.OdbcDriver = profile::ReadString(TSMSUtil::ApplicationExeName + "/KavarConfig.ini",
                                       "DATABASE", "SQL_OdbcDriver", db::kDefaultOdbcDriver);
    return s;
}

// The component runtime's initialise/release pair of the service's copy; Linux has no
// such runtime, so the scope is empty.
class TOutboxDispatcher::TComScope {
  public:
    explicit TComScope(bool) {}
};

TOutboxDispatcher::TOutboxDispatcher(TOutboxHost& host) : host_(host) {}

TOutboxDispatcher::~TOutboxDispatcher() = default;

bool TOutboxDispatcher::Connected() {
    std::lock_guard lock(mutex_);
    return connection_.Connected();
}

bool TOutboxDispatcher::NoteFailure(const std::exception& e) {
    auto* dbError = dynamic_cast<const db::EDatabaseError*>(&e);
    if (dbError && dbError->ConnectionLost()) broken_ = true;
    return broken_;
}

bool TOutboxDispatcher::InitializeDatabase(bool ConnectOnly) {
    std::lock_guard lock(mutex_);
    TComScope com(host_.Traits().ComGuard);
    bool result = false;
    if (!connection_.Connected()) {
        const TAppSetting setting = host_.GetAppSetting();
        try {
            connection_.Close();
            connection_.Open(ConnectionSettingsOf(setting));
            PrepareConnection(connection_);
        } catch (const std::exception& E) {
            connection_.Close();
            host_.AddResult(
                std::string(kInitOpenFailed) + setting.SQL_DBName + " : " + "\r" + E.what(), true);
            return false;
        }
    }
    if (connection_.Connected()) {
        try {
            if (!ConnectOnly) {
                dataset_.Clear();
                dataset_ = connection_.Query(kOutboxQuery);
            }
            result = true;
        } catch (const std::exception& E) {
            // A connection lost under us (a server restart) would otherwise fail every
            // later cycle the same way; closed, the next cycle opens it afresh.
            if (NoteFailure(E)) {
                connection_.Close();
                broken_ = false;
            }
            host_.AddResult(std::string(kInitQueryFailed) + E.what(), true);
            return false;
        }
    }
    host_.AddResult(host_.Traits().InitializeSuccessText, false);
    return result;
}

void TOutboxDispatcher::SetSMStoIsNotValid(const std::string& SrcTblName, std::int32_t RowID) {
    std::lock_guard lock(mutex_);
    try {
        connection_.Execute(SetSMStoIsNotValidSql(SrcTblName, RowID));
    } catch (const std::exception& E) {
        NoteFailure(E);
        host_.AddResult("SetSMStoIsNotValid Failed. (" + SrcTblName + "," + std::to_string(RowID) +
                            ")Error = " + E.what(),
                        true);
    }
}

void TOutboxDispatcher::FinalizedSMS(const std::string& SrcTblName, std::int32_t RowID,
                                     std::int32_t SmsId, std::int32_t ResultCode,
                                     std::int32_t Send_Number_Try) {
    std::lock_guard lock(mutex_);
    try {
        if (connection_.GetDialect() == db::Dialect::SQLite) {
            // The same statement with its values bound: parsed once per cycle, not per row.
            connection_.Execute(FinalizedSMSText(SrcTblName, "?", "?", "?", "?"),
                                {std::to_string(SmsId), std::to_string(ResultCode),
                                 std::to_string(Send_Number_Try), std::to_string(RowID)});
        } else {
            connection_.Execute(
                FinalizedSMSSql(SrcTblName, RowID, SmsId, ResultCode, Send_Number_Try));
        }
    } catch (const std::exception& E) {
        NoteFailure(E);
        host_.AddResult("FinalizedSMS Failed. (" + SrcTblName + "," + std::to_string(RowID) +
                            ")Error = " + E.what(),
                        true);
    }
}

void TOutboxDispatcher::SendedSMSMoveToSendItem(const std::string& SrcTblName, std::int32_t SrcID) {
    std::lock_guard lock(mutex_);
    TComScope com(host_.Traits().ComGuard);
    try {
        connection_.Execute(SendedSMSMoveToSendItemSql(SrcTblName, SrcID));
    } catch (const std::exception& E) {
        NoteFailure(E);
        host_.AddResult(std::string("SendedSMSMoveToSendItem Failed. Error = ") + E.what(),
                        host_.Traits().DashAfterFailedMove);
    }
}

bool TOutboxDispatcher::RunCycleIfActive() {
    if (cycleRunning_ || !timerIsActived_.exchange(false)) return false;
    MultiSendSMS();
    return true;
}

void TOutboxDispatcher::MultiSendSMS() {
    // The host's flag alone cannot keep cycles apart: the panel re-arms it when the
    // settings are saved, possibly from inside a cycle's message processing.
    if (cycleRunning_.exchange(true)) return;
    struct CycleEnd {
        TOutboxDispatcher& d;
        ~CycleEnd() {
            d.dataset_.Clear();
            if (d.broken_ || d.closeAfterCycle_) d.connection_.Close();
            if (d.closeAfterCycle_) d.stopRequested_ = false;
            d.broken_ = false;
            d.closeAfterCycle_ = false;
            d.cycleThread_ = std::thread::id();
            d.timerIsActived_ = true;
            d.cycleRunning_ = false;
        }
    };
    std::lock_guard lock(mutex_);
    cycleThread_ = std::this_thread::get_id();
    CycleEnd end{*this};
    TComScope com(host_.Traits().ComGuard);
    RunCycle();
}

void TOutboxDispatcher::RunCycle() {
    const TOutboxHostTraits& traits = host_.Traits();
    std::string log;  // the validators' texts; they log them themselves

    if (!TSMSUtil::ValidateUser(host_.GetPanelUser(), host_.GetPanelPass(), log)) {
        host_.AddResult(traits.InvalidAccountText, true);
        return;
    }
    if (!TSMSUtil::ValidateSenderNumber(host_.GetActiveNumber(), log)) {
        host_.AddResult(traits.InvalidSenderText, true);
        return;
    }
    if (!InitializeDatabase(false)) return;
    if (traits.ReportRowCount)
        host_.AddResult("SMSDataset_High.RecordCount : " + std::to_string(dataset_.RecordCount()),
                        false);
    if (dataset_.RecordCount() == 0) return;

    // Every column is found before the first send: a table without one of them must
    // not cost a provider call whose outcome cannot be written back.
    const int fID = dataset_.FieldIndex("ID");
    const int fRowID = dataset_.FieldIndex("RowID");
    const int fMessage = dataset_.FieldIndex("Message");
    const int fMobile = dataset_.FieldIndex("Mobile_Number");
    const int fTry = dataset_.FieldIndex("Send_Number_Try");

    for (dataset_.First(); !dataset_.Eof(); dataset_.Next()) {
        // A lost connection cannot record what is sent now; the rest waits for the
        // next cycle, which reconnects. A stop request ends the cycle the same way.
        if (broken_ || stopRequested_) break;

        // All of the row is read before the send, for the same reason.
        const std::string id = dataset_.FieldAt(fID).AsString();
        std::int32_t rowId = 0, tries = 0;
        try {
            rowId = dataset_.FieldAt(fRowID).AsInteger();
            tries = dataset_.FieldAt(fTry).AsInteger();
        } catch (const db::EDatabaseError& E) {
            // A value no server column could hold (the embedded database does not enforce
            // column types, and other programs write the outbox): this row's outcome could
            // not be recorded, so it is not sent, and it must not hold up the rows after it.
            host_.AddResult("ID : (" + id + " ) " + E.what(), true);
            continue;
        }
        const std::string message = dataset_.FieldAt(fMessage).AsString();
        const std::string mobile = dataset_.FieldAt(fMobile).AsString();

        if (!TSMSUtil::ValidateMessage(message, log)) {
            SetSMStoIsNotValid(kOutboxTable, rowId);
            host_.AddResult("ID : (" + id + traits.InvalidMessageText, true);
            continue;
        }
        if (!TSMSUtil::ValidateNumbers(mobile, log)) {
            SetSMStoIsNotValid(kOutboxTable, rowId);
            host_.AddResult("ID : (" + id + traits.InvalidNumberText, true);
            continue;
        }
        const ArrayOfString arToNumbers{mobile};
        host_.ProcessMessages();

        // Each row records its own outcome only: a call that leaves SmsId alone (no
        // answer) or raises must not inherit the previous row's identifier or code.
        std::int32_t SmsId = 0;
        std::int32_t StatusCode = -1;
        try {
            StatusCode =
                TSendSmsWS::SendSms(host_.GetPanelUser(), host_.GetPanelPass(), arToNumbers,
                                    host_.GetActiveNumber(), message, host_.GetIsFlash(), SmsId);
        } catch (const std::exception& E) {
            StatusCode = -1;
            SmsId = 0;
            host_.AddResult(std::string(kProviderFailed) + E.what(), true);
        }

        std::string sMessage = TSMSUtil::GetMessageStatusText(StatusCode);
        if (StatusCode == 0) sMessage += "\r\nSmsId = " + std::to_string(SmsId);
        FinalizedSMS(kOutboxTable, rowId, SmsId, StatusCode,
                     tries == INT32_MAX ? tries : tries + 1);
        host_.AddResult(sMessage, true);
        if (StatusCode == 0) SendedSMSMoveToSendItem(kOutboxTable, rowId);
    }
}

void TOutboxDispatcher::CloseConnection() {
    stopRequested_ = true;
    if (cycleRunning_ && cycleThread_.load() == std::this_thread::get_id()) {
        // Called from inside this thread's own cycle: closing now would pull the
        // connection from under it.
        std::lock_guard lock(mutex_);
        closeAfterCycle_ = true;
        return;
    }
    {
        std::lock_guard lock(mutex_);  // waits for a cycle on another thread
        connection_.Close();
        dataset_.Clear();
    }
    stopRequested_ = false;
}

}  // namespace kavar::outbox
