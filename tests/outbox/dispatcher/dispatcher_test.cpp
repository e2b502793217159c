#include "outbox/Dispatcher.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "outbox/OutboxTestSupport.h"
#include "support/ProviderSimProcess.h"

using namespace kavar;
using kavar::test::Count;
using kavar::test::Rows;
using Table = std::vector<std::vector<std::string>>;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

const std::string kDash = "----------------------------------";
const std::string kProviderFailed = "خطا در ارتباط با سرويس دهنده - ";
const std::string kInitQueryFailed =
    "(InitializeDatabase) خطا در برقراری ارتباط با بانک اطلاعاتی - ";
const std::string kPanelInvalidAccount = "نام کاربری یا کلمه عبور نادرست است.";
const std::string kPanelInvalidMessage = " ) متن پیام نامعتبر است.";

// A program around the dispatcher: reports become lines (the dash line on its own, as
// in the log), and ProcessMessages runs whatever the test wants to happen mid-cycle.
class TestHost : public outbox::TOutboxHost {
  public:
    const outbox::TOutboxHostTraits* traits = &outbox::ServiceTraits();
    TAppSetting setting;
    Lines reports;
    std::function<void(int call)> onProcessMessages;
    bool flash = false;
    bool raiseInSend = false;
    int processCalls = 0;

    const outbox::TOutboxHostTraits& Traits() const override { return *traits; }
    std::string failOn;  // a report that cannot be written (a log file that cannot be)
    void AddResult(const std::string& msg, bool AddLine) override {
        if (!failOn.empty() && msg == failOn) throw std::runtime_error("Cannot write to file");
        reports.push_back(msg);
        if (AddLine) reports.push_back(kDash);
    }
    TAppSetting GetAppSetting() override { return setting; }
    std::string GetPanelUser() override { return setting.SMS_PanelUser; }
    std::string GetPanelPass() override { return setting.SMS_PanelPass; }
    std::string GetActiveNumber() override { return TSMSUtil::GetActiveNumber(setting); }
    // Read only while the provider call's arguments are put together.
    bool GetIsFlash() override {
        if (raiseInSend) throw std::runtime_error("connection reset");
        return flash;
    }
    void ProcessMessages() override {
        ++processCalls;
        if (onProcessMessages) onProcessMessages(processCalls);
    }
};

class Dispatcher : public ::testing::Test {
  protected:
    void SetUp() override {
        TSMSUtil::ApplicationExeName = dir.Path();
        TSMSUtil::CallerProg = "SVC";
        TSendSmsWS::SetEndpoint(sim.Url(), sim.Namespace());
        dbPath = dir.File("Kavar_SMS.sqlite");
        test::CreateOutboxDatabase(dbPath);
        host.setting.SMS_PanelUser = "kavar";
        host.setting.SMS_PanelPass = "secret";
        host.setting.SMS_NormalNumber = "30001234";
        host.setting.SQL_ServerName = "sqlite:";
        host.setting.SQL_DBName = "Kavar_SMS";
        dispatcher = std::make_unique<outbox::TOutboxDispatcher>(host);
    }

    // The test's own view of the database, opened afresh each time.
    db::Connection& Db() {
        view.OpenSQLite(dbPath);
        return view;
    }
    void Insert(int id, const std::string& mobile, const std::string& message,
                const std::string& extraColumns = "", const std::string& extraValues = "") {
        Db().Execute("INSERT INTO Outbox_High_Auto (ID, Mobile_Number, Message" + extraColumns +
                     ") VALUES (" + std::to_string(id) + ", " + mobile + ", " + message +
                     extraValues + ")");
    }
    // One tick of an armed timer.
    void Cycle() {
        host.reports.clear();
        dispatcher->SetTimerIsActived(true);
        ASSERT_TRUE(dispatcher->RunCycleIfActive());
        EXPECT_TRUE(dispatcher->TimerIsActived());
    }
    std::vector<test::SimRequest> Sends() {
        std::vector<test::SimRequest> sends;
        for (auto& r : sim.Requests())
            if (r.Operation == "SendBatchSms") sends.push_back(r);
        return sends;
    }
    static std::string Text(int code) { return TSMSUtil::GetMessageStatusText(code); }
    static std::string Accepted(int smsId) {
        return Text(0) + "\r\nSmsId = " + std::to_string(smsId);
    }

    test::TempDir dir;
    test::ProviderSimProcess sim;
    TestHost host;
    std::unique_ptr<outbox::TOutboxDispatcher> dispatcher;
    std::string dbPath;
    db::Connection view;
};

TEST(Statements, AreTheServersTextsByteForByte) {
    EXPECT_STREQ(outbox::kOutboxQuery,
                 "SELECT * FROM Outbox_High_Auto WHERE IsNull(ResultCode,-1) <> 0   AND "
                 "ISNULL(IsNotValid,0) = 0 ORDER BY ID");
    EXPECT_EQ(outbox::SetSMStoIsNotValidSql("Outbox_High_Auto", 42),
              "UPDATE Outbox_High_Auto SET IsNotValid = 1 WHERE RowID = 42");
    EXPECT_EQ(outbox::FinalizedSMSSql("Outbox_High_Auto", 42, 5521, 0, 1),
              "UPDATE Outbox_High_Auto SET    SmsId = 5521 , ResultCode = 0 , Send_Number_Try = 1 "
              "WHERE RowID = 42");
    EXPECT_EQ(outbox::FinalizedSMSSql("Outbox_High_Auto", 3, -1, -1, 12),
              "UPDATE Outbox_High_Auto SET    SmsId = -1 , ResultCode = -1 , Send_Number_Try = 12 "
              "WHERE RowID = 3");
    EXPECT_EQ(outbox::SendedSMSMoveToSendItemSql("Outbox_High_Auto", 42),
              "EXEC [dbo].[SendedSMSMoveToSendItem] 'Outbox_High_Auto',42");
    EXPECT_EQ(outbox::SendedSMSMoveToSendItemSql("It's", 7),
              "EXEC [dbo].[SendedSMSMoveToSendItem] 'It''s',7");
}

TEST(ConnectionSettingsOf, TakesTheOdbcDriverFromTheSettingsFile) {
    test::TempDir dir;
    TSMSUtil::ApplicationExeName = dir.Path();
    TAppSetting s;
    s.SQL_ServerName = "db1";
    s.SQL_User = "sa";
    s.SQL_Pass = "pw";
    s.SQL_DBName = "Kavar_SMS";
    EXPECT_EQ(outbox::ConnectionSettingsOf(s).OdbcDriver, "FreeTDS");
    std::ofstream(dir.File("KavarConfig.ini"))
        << "[SETTING]\r\nSQL_ServerName=db1\r\n[Database]\r\nsql_odbcdriver=ODBC Driver 18 for SQL "
           "Server\r\n";
    auto settings = outbox::ConnectionSettingsOf(s);
    EXPECT_EQ(settings.OdbcDriver, "ODBC Driver 18 for SQL Server");
    EXPECT_EQ(settings.DefaultFolder, dir.Path());
    EXPECT_EQ(settings.Password, "pw");
}

TEST_F(Dispatcher, EmptyOutboxReportsTheConnectionAndTheCountOnly) {
    Cycle();
    EXPECT_EQ(host.reports,
              (Lines{"InitializeDatabase Successfully", "SMSDataset_High.RecordCount : 0"}));
    host.traits = &outbox::PanelTraits();
    Cycle();
    EXPECT_EQ(host.reports, (Lines{"InitializeDatabase"}));
    EXPECT_TRUE(Sends().empty());
}

TEST_F(Dispatcher, SendsRowsInIdOrderAndMovesAcceptedRowsToSentItem) {
    sim.SetNextBatchId(5521);
    Insert(7, "'09120000007'", "'seven'");
    Insert(3, "'09120000003'", "'three & more'",
           ", CustomerID, Send_Number_Try, Auto_Send, ServiceLine, DeliveyCode",
           ", 'C-3', 2, 0, 2, 4");
    Cycle();

    auto sends = Sends();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_NE(sends[0].Body.find("<a:string>09120000003</a:string>"), std::string::npos);
    EXPECT_NE(sends[0].Body.find("<messageContent>three &amp; more</messageContent>"),
              std::string::npos);
    EXPECT_NE(sends[0].Body.find("<fromNumber>30001234</fromNumber>"), std::string::npos);
    EXPECT_NE(sends[0].Body.find("<isFlash>false</isFlash>"), std::string::npos);
    EXPECT_NE(sends[1].Body.find("<a:string>09120000007</a:string>"), std::string::npos);

    EXPECT_EQ(host.reports,
              (Lines{"InitializeDatabase Successfully", "SMSDataset_High.RecordCount : 2",
                     Accepted(5521), kDash, Accepted(5522), kDash}));
    EXPECT_EQ(Count(Db(), "Outbox_High_Auto"), 0);
    EXPECT_EQ(Rows(Db(),
                   "SELECT ID, CustomerID, Mobile_Number, Message, Sent_Number_Try, "
                   "Send_Status, Sms_Index, Delivery_Status, Delivery_Date, Auto_Send, "
                   "ServiceLine, ResultCode, DeliveyCode, SmsID, IsNotValid FROM Sent_Item "
                   "ORDER BY ID"),
              (Table{{"5521", "C-3", "09120000003", "three & more", "3", "NULL", "NULL", "NULL",
                      "NULL", "0", "2", "0", "4", "5521", "NULL"},
                     {"5522", "NULL", "09120000007", "seven", "1", "NULL", "NULL", "NULL", "NULL",
                      "1", "1", "0", "NULL", "5522", "NULL"}}));
}

TEST_F(Dispatcher, FlagsRowsThatCanNeverBeSentAndSkipsThemFromThenOn) {
    Insert(1, "'09120000001'", "' \r\n\t '");
    Insert(2, "''", "'hello'");
    Insert(3, "NULL", "'hello'");
    Insert(4, "'09120000004'", "NULL");
    Cycle();
    EXPECT_EQ(
        host.reports,
        (Lines{"InitializeDatabase Successfully", "SMSDataset_High.RecordCount : 4",
               "ID : (1 ) sms message is invalid.", kDash, "ID : (2 ) mobile number is invalid.",
               kDash, "ID : (3 ) mobile number is invalid.", kDash,
               "ID : (4 ) sms message is invalid.", kDash}));
    EXPECT_EQ(Rows(Db(), "SELECT IsNotValid, ResultCode, Send_Number_Try FROM Outbox_High_Auto"),
              (Table(4, {"1", "NULL", "0"})));
    EXPECT_TRUE(Sends().empty());

    host.traits = &outbox::PanelTraits();
    Insert(5, "'09120000005'", "''");
    Cycle();
    EXPECT_EQ(host.reports, (Lines{"InitializeDatabase", "ID : (5" + kPanelInvalidMessage, kDash}));
    Cycle();
    EXPECT_EQ(host.reports, (Lines{"InitializeDatabase"}));
}

TEST_F(Dispatcher, ARowWhoseCountCannotBeReadIsReportedAndDoesNotHoldUpTheOthers) {
    // Other programs write the outbox, and an embedded database takes any value.
    Insert(1, "'09120000001'", "'one'", ", Send_Number_Try", ", 'abc'");
    Insert(2, "'09120000002'", "'two'");
    sim.SetNextBatchId(400);
    Cycle();
    ASSERT_EQ(host.reports.size(), 6u);
    EXPECT_EQ(host.reports[2].rfind("ID : (1 ) ", 0), 0u) << host.reports[2];
    EXPECT_NE(host.reports[2].find("Send_Number_Try"), std::string::npos) << host.reports[2];
    EXPECT_EQ(host.reports[4], Accepted(400));
    EXPECT_EQ(Sends().size(), 1u);
    EXPECT_EQ(Rows(Db(), "SELECT ID, Send_Number_Try, ResultCode FROM Outbox_High_Auto"),
              (Table{{"1", "abc", "NULL"}}));
    EXPECT_EQ(Count(Db(), "Sent_Item"), 1);
}

TEST_F(Dispatcher, RetriesARefusedRowInEveryCycleUntilItIsAccepted) {
    sim.Refuse("8", "", -1, "77");
    Insert(1, "'09120000001'", "'hello'");
    for (int attempt = 1; attempt <= 2; ++attempt) {
        Cycle();
        EXPECT_EQ(host.reports, (Lines{"InitializeDatabase Successfully",
                                       "SMSDataset_High.RecordCount : 1", Text(8), kDash}));
        EXPECT_EQ(Rows(Db(), "SELECT ResultCode, SmsID, Send_Number_Try FROM Outbox_High_Auto"),
                  (Table{{"8", "77", std::to_string(attempt)}}));
        // Stored as numbers, as the statement's literals would be.
        EXPECT_EQ(Rows(Db(),
                       "SELECT typeof(ResultCode), typeof(SmsID), typeof(Send_Number_Try) "
                       "FROM Outbox_High_Auto"),
                  (Table{{"integer", "integer", "integer"}}));
    }
    sim.Normal();
    sim.SetNextBatchId(900);
    Cycle();
    EXPECT_EQ(Count(Db(), "Outbox_High_Auto"), 0);
    EXPECT_EQ(Rows(Db(), "SELECT ID, Sent_Number_Try, ResultCode FROM Sent_Item"),
              (Table{{"900", "3", "0"}}));
}

TEST_F(Dispatcher, ARowWithoutAnAnswerRecordsItsOwnFailureAndIsTriedAgain) {
    sim.SetNextBatchId(5521);
    Insert(1, "'09120000001'", "'one'");
    Insert(2, "'09120000002'", "'two'");
    Insert(3, "'09120000003'", "'three'");
    host.onProcessMessages = [&](int call) {
        if (call == 2) sim.HttpStatus(500);
        if (call == 3) sim.Normal(), host.raiseInSend = true;
    };
    Cycle();
    EXPECT_EQ(host.reports,
              (Lines{"InitializeDatabase Successfully", "SMSDataset_High.RecordCount : 3",
                     Accepted(5521), kDash, Text(-1), kDash, kProviderFailed + "connection reset",
                     kDash, Text(-1), kDash}));
    // Neither failed row inherits the accepted row's identifier or code.
    EXPECT_EQ(Rows(Db(),
                   "SELECT ID, ResultCode, SmsID, Send_Number_Try FROM Outbox_High_Auto "
                   "ORDER BY ID"),
              (Table{{"2", "-1", "0", "1"}, {"3", "-1", "0", "1"}}));
    EXPECT_EQ(Count(Db(), "Sent_Item"), 1);

    host.onProcessMessages = nullptr;
    host.raiseInSend = false;
    Cycle();
    EXPECT_EQ(Count(Db(), "Outbox_High_Auto"), 0);
    EXPECT_EQ(Rows(Db(), "SELECT ID, Sent_Number_Try FROM Sent_Item ORDER BY ID"),
              (Table{{"5521", "1"}, {"5522", "2"}, {"5523", "2"}}));
}

TEST_F(Dispatcher, AFailedMoveIsReportedAndTheAcceptedRowStays) {
    for (bool panel : {false, true}) {
        SCOPED_TRACE(panel ? "panel" : "service");
        host.traits = panel ? &outbox::PanelTraits() : &outbox::ServiceTraits();
        int id = panel ? 2 : 1;
        // The provider's identifier is already a key of Sent_Item.
        sim.SetNextBatchId(600 + id);
        Db().Execute("INSERT INTO Sent_Item (ID) VALUES (" + std::to_string(600 + id) + ")");
        Insert(id, "'0912000000" + std::to_string(id) + "'", "'hello'");
        Cycle();
        Lines expected = {"InitializeDatabase Successfully", "SMSDataset_High.RecordCount : 1"};
        if (panel) expected = {"InitializeDatabase"};
        for (const std::string& line :
             Lines{Accepted(600 + id), kDash,
                   "SendedSMSMoveToSendItem Failed. Error = UNIQUE constraint failed: "
                   "Sent_Item.ID"})
            expected.push_back(line);
        if (panel) expected.push_back(kDash);
        EXPECT_EQ(host.reports, expected);
        EXPECT_EQ(Rows(Db(),
                       "SELECT ResultCode, SmsID, Send_Number_Try FROM Outbox_High_Auto "
                       "WHERE ID = " +
                           std::to_string(id)),
                  (Table{{"0", std::to_string(600 + id), "1"}}));
    }
    Cycle();  // accepted rows are not selected again
    EXPECT_EQ(host.reports, (Lines{"InitializeDatabase"}));
}

TEST_F(Dispatcher, ACycleThatCannotStartReportsWhyInEveryCycle) {
    struct Case {
        const char* name;
        std::function<void(TestHost&, const std::string& folder)> setup;
        Lines reports;
    } cases[] = {
        {"no account",
         [](TestHost& h, const std::string&) { h.setting.SMS_PanelPass = " "; },
         {"sms panel username or password is invalid.", kDash}},
        {"panel, no account",
         [](TestHost& h, const std::string&) {
             h.traits = &outbox::PanelTraits();
             h.setting.SMS_PanelUser = "";
         },
         {kPanelInvalidAccount, kDash}},
        {"no sender number",
         [](TestHost& h, const std::string&) { h.setting.SMS_NormalNumber = "\t"; },
         {"sms panel sender number is invlid.", kDash}},
        {"no database file",
         [](TestHost& h, const std::string& folder) {
             h.setting.SQL_ServerName = "sqlite:" + folder + "/missing";
         },
         {}},
        {"no outbox table",
         [](TestHost& h, const std::string& folder) {
             db::Connection c;
             c.OpenSQLite(folder + "/Empty.sqlite", db::Connection::OpenMode::CreateIfMissing);
             h.setting.SQL_DBName = "Empty";
         },
         {kInitQueryFailed + "no such table: Outbox_High_Auto", kDash}},
    };
    Insert(1, "'09120000001'", "'hello'");
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestHost h;
        h.setting = host.setting;
        c.setup(h, dir.Path());
        if (c.reports.empty())
            c.reports = {
                "Exception in open  ADO Connection.Kavar_SMS : \runable to open database "
                "file (" +
                    dir.Path() + "/missing/Kavar_SMS.sqlite)",
                kDash};
        outbox::TOutboxDispatcher d(h);
        for (int cycle = 0; cycle < 2; ++cycle) {
            h.reports.clear();
            d.MultiSendSMS();
            EXPECT_EQ(h.reports, c.reports);
            EXPECT_TRUE(d.TimerIsActived());
        }
    }
    EXPECT_TRUE(Sends().empty());
    EXPECT_EQ(Rows(Db(), "SELECT ResultCode, Send_Number_Try FROM Outbox_High_Auto"),
              (Table{{"NULL", "0"}}));
}

TEST_F(Dispatcher, AnErrorThatEscapesTheCycleStillReArmsTheFlag) {
    Insert(1, "'09120000001'", "'hello'");
    host.failOn = "SMSDataset_High.RecordCount : 1";
    dispatcher->SetTimerIsActived(true);
    EXPECT_THROW(dispatcher->RunCycleIfActive(), std::runtime_error);
    EXPECT_TRUE(dispatcher->TimerIsActived());
    EXPECT_FALSE(dispatcher->CycleRunning());
    EXPECT_TRUE(Sends().empty());
    host.failOn.clear();
    Cycle();
    EXPECT_EQ(Count(Db(), "Sent_Item"), 1);
}

TEST_F(Dispatcher, ConnectOnlyOpensTheConnectionWithoutTheQuery) {
    db::Connection c;
    c.OpenSQLite(dir.File("New.sqlite"), db::Connection::OpenMode::CreateIfMissing);
    host.setting.SQL_DBName = "New";
    host.traits = &outbox::PanelTraits();
    EXPECT_TRUE(dispatcher->InitializeDatabase(true));
    EXPECT_TRUE(dispatcher->Connected());
    EXPECT_EQ(host.reports, (Lines{"InitializeDatabase"}));
    // The installer's statements then run on the same connection.
    outbox::InstallSchema(dispatcher->Connection());
    EXPECT_TRUE(dispatcher->InitializeDatabase(false));
}

TEST_F(Dispatcher, ALostConnectionIsClosedAndOpenedAgainByTheNextCycle) {
    Cycle();
    ASSERT_TRUE(dispatcher->Connected());
    // The file goes away under the open connection (a database restart, for SQLite).
    fs::rename(dbPath, dbPath + ".away");
    Cycle();
    EXPECT_EQ(host.reports,
              (Lines{kInitQueryFailed + "the database file was moved or deleted (" + dbPath + ")",
                     kDash}));
    EXPECT_FALSE(dispatcher->Connected());
    fs::rename(dbPath + ".away", dbPath);
    Insert(1, "'09120000001'", "'hello'");
    Cycle();
    EXPECT_EQ(host.reports[1], "SMSDataset_High.RecordCount : 1");
    EXPECT_EQ(Count(Db(), "Sent_Item"), 1);
}

TEST_F(Dispatcher, ALostConnectionMidCycleStopsSendingWhatCannotBeRecorded) {
    Insert(1, "'09120000001'", "'one'");
    Insert(2, "'09120000002'", "'two'");
    host.onProcessMessages = [&](int call) {
        if (call == 1) fs::rename(dbPath, dbPath + ".away");
    };
    Cycle();
    EXPECT_EQ(Sends().size(), 1u);  // row 2 waits for a connection that can record it
    ASSERT_EQ(host.reports.size(), 7u);
    EXPECT_EQ(host.reports[2].rfind("FinalizedSMS Failed. (Outbox_High_Auto,1)Error = ", 0), 0u)
        << host.reports[2];
    EXPECT_EQ(host.reports[4], Accepted(1000));
    EXPECT_EQ(host.reports[6].rfind("SendedSMSMoveToSendItem Failed. Error = ", 0), 0u);
    EXPECT_FALSE(dispatcher->Connected());

    fs::rename(dbPath + ".away", dbPath);
    host.onProcessMessages = nullptr;
    Cycle();
    EXPECT_EQ(Count(Db(), "Outbox_High_Auto"), 0);
}

TEST_F(Dispatcher, TicksDuringACycleNeverStartASecondOne) {
    for (int id = 1; id <= 3; ++id) Insert(id, "'0912000000" + std::to_string(id) + "'", "'x'");
    std::vector<bool> started;
    host.onProcessMessages = [&](int) {
        // The panel's save re-arms the flag from inside the cycle, then a tick arrives.
        dispatcher->SetTimerIsActived(true);
        started.push_back(dispatcher->RunCycleIfActive());
        dispatcher->MultiSendSMS();
    };
    Cycle();
    EXPECT_EQ(started, (std::vector<bool>{false, false, false}));
    EXPECT_EQ(Sends().size(), 3u);
    EXPECT_EQ(
        std::count(host.reports.begin(), host.reports.end(), "SMSDataset_High.RecordCount : 3"), 1);
    EXPECT_EQ(Count(Db(), "Sent_Item"), 3);
}

TEST_F(Dispatcher, ClosingWaitsForTheRowInHandAndEndsTheCycle) {
    for (int id = 1; id <= 4; ++id) Insert(id, "'0912000000" + std::to_string(id) + "'", "'x'");
    // From another thread (the service's stop) while a send is under way.
    sim.SetDelay(200);
    std::thread stopper;
    host.onProcessMessages = [&](int call) {
        if (call == 1) stopper = std::thread([&] { dispatcher->CloseConnection(); });
    };
    Cycle();
    stopper.join();
    EXPECT_FALSE(dispatcher->Connected());
    for (const auto& line : host.reports) EXPECT_EQ(line.find("Failed"), std::string::npos) << line;
    // Whatever was sent was recorded and moved; the rest is still pending.
    EXPECT_EQ(static_cast<int>(Sends().size()), Count(Db(), "Sent_Item"));
    EXPECT_EQ(Count(Db(), "Sent_Item") + Count(Db(), "Outbox_High_Auto"), 4);

    // From inside the cycle (the panel closing while it processes its messages).
    sim.SetDelay(0);
    sim.ClearRequests();
    host.onProcessMessages = [&](int) { dispatcher->CloseConnection(); };
    int pending = Count(Db(), "Outbox_High_Auto");
    ASSERT_GE(pending, 2);
    Cycle();
    EXPECT_EQ(Sends().size(), 1u);
    EXPECT_EQ(Count(Db(), "Outbox_High_Auto"), pending - 1);
    EXPECT_FALSE(dispatcher->Connected());
    host.onProcessMessages = nullptr;
    Cycle();
    EXPECT_EQ(Count(Db(), "Outbox_High_Auto"), 0);
}

// unixODBC finds the SQLite ODBC driver through an odbcinst.ini of our own.
TEST_F(Dispatcher, RunsTheSameCycleThroughTheOdbcBackend) {
    std::ofstream(dir.File("odbcinst.ini"))
        << "[SQLite3]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so\n";
    setenv("ODBCSYSINI", dir.Path().c_str(), 1);
    host.setting.SQL_ServerName = "odbc:Driver={SQLite3};Database=" + dbPath + ";";
    sim.SetNextBatchId(42);
    Insert(2, "'09120000002'", "'two'");
    Insert(1, "''", "'one'");
    Cycle();
    EXPECT_EQ(host.reports,
              (Lines{"InitializeDatabase Successfully", "SMSDataset_High.RecordCount : 2",
                     "ID : (1 ) mobile number is invalid.", kDash, Accepted(42), kDash}));
    EXPECT_EQ(Rows(Db(), "SELECT ID, Mobile_Number, SmsID FROM Sent_Item"),
              (Table{{"42", "09120000002", "42"}}));
    EXPECT_EQ(Rows(Db(), "SELECT ID, IsNotValid FROM Outbox_High_Auto"), (Table{{"1", "1"}}));
}

}  // namespace
