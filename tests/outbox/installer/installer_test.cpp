#include "outbox/Installer.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "outbox/OutboxTestSupport.h"
#include "outbox/Schema.h"

using namespace kavar;
using kavar::test::Count;
using kavar::test::Rows;
using Table = std::vector<std::vector<std::string>>;

namespace {

// ---------------------------------------------------------------------------------------
// The SQL Server run. No server runs here, so its statements are recorded.

struct Recorded {
    std::string where;  // "master query", "master", "switch", "database"
    std::string sql;
};

class RecordingConnections : public outbox::TInstallConnections {
  public:
    bool databaseExists = false;
    bool switchSucceeds = true;
    std::string failOn;  // a statement the server refuses
    std::vector<Recorded> log;

    db::Dialect OpenMaster() override { return db::Dialect::TSql; }
    bool MasterQueryHasRows(const std::string& sql) override {
        Run("master query", sql);
        return databaseExists;
    }
    void MasterExecute(const std::string& sql) override { Run("master", sql); }
    void CreateEmbeddedDatabase() override { ADD_FAILURE() << "embedded stage on a server"; }
    bool SwitchToDatabase() override {
        log.push_back({"switch", ""});
        return switchSucceeds;
    }
    db::Dialect DatabaseDialect() override { return db::Dialect::TSql; }
    void DatabaseExecute(const std::string& sql) override { Run("database", sql); }
    void UpgradeEmbeddedDatabase() override { ADD_FAILURE() << "embedded stage on a server"; }

  private:
    void Run(const std::string& where, const std::string& sql) {
        log.push_back({where, sql});
        if (sql == failOn) throw db::EDatabaseError("refused: " + sql.substr(0, 20));
    }
};

// One block per statement: a header naming the connection, then the text with every CR
// and tab shown as <CR>/<TAB> (a CR also ends the line here) and <END> after its last
// character, so trailing blanks are visible too.
std::string Render(const std::vector<Recorded>& log) {
    std::string out;
    for (const Recorded& r : log) {
        out += "== " + r.where + "\n";
        if (r.where == "switch") continue;
        for (char c : r.sql) {
            if (c == '\r')
                out += "<CR>\n";
            else if (c == '\t')
                out += "<TAB>";
            else if (c == '\n')
                out += "<LF>";
            else
                out += c;
        }
        out += "<END>\n";
    }
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(TSqlInstall, AFreshDatabaseGetsEveryStatementInOrder) {
    RecordingConnections c;
    outbox::InstallDatabase("Kavar_SMS", c);
    const std::string golden =
        std::string(KAVAR_SOURCE_DIR) + "/tests/outbox/installer/tsql_fresh_Kavar_SMS.txt";
    const std::string rendered = Render(c.log);
    if (getenv("KAVAR_WRITE_GOLDEN")) std::ofstream(golden, std::ios::binary) << rendered;
    EXPECT_EQ(rendered, ReadFile(golden));
    ASSERT_EQ(c.log.size(), 1u + 30u + 1u + 43u);
}

// Where each run stops and what it leaves out.
TEST(TSqlInstall, TheExistenceTestTheSwitchAndFailuresDecideWhatRuns) {
    const std::vector<std::string> creation = outbox::TSqlCreateDatabase("Kavar_SMS");
    const std::vector<std::string> inside = outbox::TSqlSchema().All();
    struct Case {
        const char* name;
        bool exists;
        bool switches;
        std::string failOn;
        std::size_t master, switched, database;  // statements run on each side
        bool raises;
    } cases[] = {
        {"existing database: no creation, no options", true, true, "", 0, 1, 43, false},
        {"failed switch: nothing inside, nothing on master", false, false, "", 30, 1, 0, true},
        {"failed option: the run ends there", false, true, creation[5], 6, 0, 0, true},
        {"failed table: later statements not sent", true, true, inside[10], 0, 1, 11, true},
        {"failed procedure drop: no creation", true, true, inside[41], 0, 1, 42, true},
    };
    for (const Case& k : cases) {
        RecordingConnections c;
        c.databaseExists = k.exists;
        c.switchSucceeds = k.switches;
        c.failOn = k.failOn;
        bool raised = false;
        try {
            outbox::InstallDatabase("Kavar_SMS", c);
        } catch (const db::EDatabaseError& e) {
            raised = true;
            if (!k.switches) {
                EXPECT_STREQ(e.what(),
                             "Could not connect to the database Kavar_SMS; the installation "
                             "stopped before its tables.");
            }
        }
        std::size_t master = 0, switched = 0, database = 0;
        for (const Recorded& r : c.log) {
            master += r.where == "master";
            switched += r.where == "switch";
            database += r.where == "database";
        }
        EXPECT_EQ(c.log.front().where, "master query") << k.name;
        EXPECT_EQ(master, k.master) << k.name;
        EXPECT_EQ(switched, k.switched) << k.name;
        EXPECT_EQ(database, k.database) << k.name;
        EXPECT_EQ(raised, k.raises) << k.name;
    }
}

TEST(TSqlInstall, ANameWithQuotesAndBracketsStaysOneNameInEveryStatement) {
    RecordingConnections c;
    outbox::InstallDatabase("O'Ha]ra SMS", c);
    EXPECT_EQ(c.log[0].sql, "SELECT * FROM master..sysdatabases WHERE [name] ='O''Ha]ra SMS'");
    EXPECT_EQ(c.log[1].sql, "CREATE DATABASE [O'Ha]]ra SMS]");
    EXPECT_EQ(c.log[2].sql, "ALTER DATABASE [O'Ha]]ra SMS] SET COMPATIBILITY_LEVEL = 100");
    EXPECT_NE(c.log[3].sql.find("   EXEC [O'Ha]]ra SMS].[dbo].[sp_fulltext_database]"),
              std::string::npos);
    EXPECT_EQ(c.log[30].sql, "EXEC sys.sp_db_vardecimal_storage_format N'O''Ha]ra SMS', N'ON'");
}

TEST(MasterConnection, IsTheConfiguredServerOnItsMasterDatabase) {
    test::TempDir dir;
    TSMSUtil::ApplicationExeName = dir.Path();
    TAppSetting s;
    s.SQL_ServerName = "db1\\SQLEXPRESS";
    s.SQL_User = "sa";
    s.SQL_Pass = "p;}x";
    s.SQL_DBName = "Kavar_SMS";
    EXPECT_EQ(db::ResolveTarget(outbox::MasterConnectionSettingsOf(s)).OdbcConnectString,
              "Driver={FreeTDS};Server={db1\\SQLEXPRESS};Database={Master};UID={sa};"
              "PWD={p;}}x};ClientCharset=UTF-8;");
}

// ---------------------------------------------------------------------------------------
// The embedded database, for real.

class Host : public outbox::TOutboxHost {
  public:
    TAppSetting setting;
    std::vector<std::string> reports;
    const outbox::TOutboxHostTraits& Traits() const override { return outbox::PanelTraits(); }
    void AddResult(const std::string& msg, bool) override { reports.push_back(msg); }
    TAppSetting GetAppSetting() override { return setting; }
    std::string GetPanelUser() override { return {}; }
    std::string GetPanelPass() override { return {}; }
    std::string GetActiveNumber() override { return {}; }
    bool GetIsFlash() override { return false; }
    void ProcessMessages() override {}
};

class SQLiteInstall : public ::testing::Test {
  protected:
    SQLiteInstall() {
        TSMSUtil::ApplicationExeName = dir.Path();
        host.setting.SQL_ServerName = "sqlite:";
        host.setting.SQL_DBName = "Kavar_SMS";
        path = dir.File("Kavar_SMS.sqlite");
    }

    void Install() { outbox::InstallDatabase(host.setting, master, dispatcher); }

    // The test's own connection, opened afresh.
    db::Connection& Db() {
        own.OpenSQLite(path);
        return own;
    }

    std::vector<std::string> Columns(const std::string& table) {
        std::vector<std::string> names;
        for (auto& row : Rows(Db(), "PRAGMA table_info([" + table + "])")) names.push_back(row[1]);
        return names;
    }

    // Everything a run could change: the schema's objects and every row of every table.
    Table Snapshot() {
        Table all = Rows(Db(), "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name");
        for (auto& row : Rows(Db(), "SELECT name FROM sqlite_master WHERE type = 'table'"))
            for (auto& data : Rows(Db(), "SELECT * FROM [" + row[0] + "]")) {
                data.insert(data.begin(), row[0]);
                all.push_back(data);
            }
        return all;
    }

    test::TempDir dir;
    Host host;
    db::Connection master;
    outbox::TOutboxDispatcher dispatcher{host};
    std::string path;
    db::Connection own;
};

TEST_F(SQLiteInstall, CreatesTheFileWithItsOptionsAndAWorkingSchema) {
    Install();
    EXPECT_EQ(host.reports, (std::vector<std::string>{"InitializeDatabase"}));
    EXPECT_EQ(Rows(Db(), "PRAGMA journal_mode"), (Table{{"wal"}}));
    EXPECT_EQ(Rows(Db(), "PRAGMA page_size"), (Table{{"4096"}}));
    EXPECT_EQ(Rows(Db(), "PRAGMA auto_vacuum"), (Table{{"0"}}));
    EXPECT_EQ(Rows(Db(),
                   "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name NOT LIKE "
                   "'sqlite%'"),
              (Table{{"12"}}));
    EXPECT_EQ(Columns("Sent_Item").back(), "IsNotValid");
    EXPECT_EQ(Columns("Outbox_Low_Auto").back(), "RowID");

    // Defaults, the identity and the move, on the dispatcher's own connection.
    db::Connection& AC = dispatcher.Connection();
    AC.Execute("INSERT INTO Outbox_High_Auto (ID, Mobile_Number, SmsID) VALUES (7, '0912', 99)");
    dispatcher.SendedSMSMoveToSendItem("Outbox_High_Auto", 1);
    EXPECT_EQ(Count(Db(), "Outbox_High_Auto"), 0);
    EXPECT_EQ(Rows(Db(),
                   "SELECT ID, Mobile_Number, Sent_Number_Try, Auto_Send, ServiceLine "
                   "FROM Sent_Item"),
              (Table{{"99", "0912", "0", "1", "1"}}));
    // The server connection is an in-memory database, kept open for the next run.
    EXPECT_TRUE(master.Connected());
    EXPECT_EQ(Rows(master, "SELECT file FROM pragma_database_list WHERE name = 'main'"),
              (Table{{""}}));
}

TEST_F(SQLiteInstall, ASecondRunChangesNothingAndReusesTheServerConnection) {
    Install();
    dispatcher.Connection().Execute(
        "INSERT INTO Outbox_Low_Auto (ID, Message) VALUES (1, 'a'), (2, 'b')");
    dispatcher.Connection().Execute("DELETE FROM Outbox_Low_Auto WHERE ID = 2");
    const Table before = Snapshot();
    master.Execute("CREATE TABLE marker (x)");
    dispatcher.CloseConnection();

    Install();
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(Rows(master, "SELECT count(*) FROM marker"), (Table{{"0"}}));
    // An existing file keeps its options: a second run applies none.
    dispatcher.CloseConnection();
    Db().Execute("PRAGMA journal_mode = DELETE");
    own.Close();
    Install();
    EXPECT_EQ(Rows(Db(), "PRAGMA journal_mode"), (Table{{"delete"}}));
}

// An older database: an outbox table without RowID, defaults or late columns and with a
// column of its own, an index and a view on it; a table with RowID but one default
// short and rows moved away; Sent_Item without its late columns; Inbox missing.
TEST_F(SQLiteInstall, AnOlderDatabaseGetsWhatItLacksWithItsRowsKept) {
    {
        db::Connection old;
        old.OpenSQLite(path, db::Connection::OpenMode::CreateIfMissing);
        old.Execute(
            "CREATE TABLE Outbox_High_Auto (ID int NOT NULL, CustomerID varchar(20), "
            "Mobile_Number varchar(50), Message varchar(200), Send_Number_Try int, Auto_Send int, "
            "ServiceLine int, Extra text DEFAULT 'x');"
            "CREATE INDEX ix_high_mobile ON Outbox_High_Auto (Mobile_Number);"
            "CREATE VIEW high_ids AS SELECT ID FROM Outbox_High_Auto;"
            "INSERT INTO Outbox_High_Auto (ID, Mobile_Number, Message, Send_Number_Try) VALUES "
            "(30, '0930', 'c', 2), (10, '0910', 'a', NULL), (20, '0920', 'b', 5);"
            "CREATE TABLE Outbox_Low_Auto (ID int NOT NULL, CustomerID varchar(20), "
            "Mobile_Number varchar(50), Message varchar(200), Send_Number_Try int DEFAULT 0, "
            "Auto_Send int DEFAULT 1, ServiceLine int, ResultCode int, DeliveyCode int, "
            "IsNotValid bit, SmsID int, RowID INTEGER PRIMARY KEY AUTOINCREMENT);"
            "INSERT INTO Outbox_Low_Auto (ID) VALUES (1), (2), (3);"
            "DELETE FROM Outbox_Low_Auto WHERE ID = 3;"
            "CREATE TABLE Sent_Item (ID int NOT NULL PRIMARY KEY, CustomerID varchar(20), "
            "Mobile_Number varchar(50), Message varchar(200), Sent_Number_Try int, Send_Status "
            "int, Sms_Index int, Send_Date varchar(50), Delivery_Status int, Delivery_Date "
            "varchar(50), Auto_Send int);"
            "INSERT INTO Sent_Item (ID, Message) VALUES (5, 'sent');");
    }
    Install();

    EXPECT_EQ(
        Columns("Outbox_High_Auto"),
        (std::vector<std::string>{"ID", "CustomerID", "Mobile_Number", "Message", "Send_Number_Try",
                                  "Auto_Send", "ServiceLine", "Extra", "RowID", "ResultCode",
                                  "DeliveyCode", "IsNotValid", "SmsID"}));
    EXPECT_EQ(Rows(Db(),
                   "SELECT RowID, ID, Message, Send_Number_Try, Extra, ResultCode, SmsID "
                   "FROM Outbox_High_Auto ORDER BY RowID"),
              (Table{{"1", "30", "c", "2", "x", "NULL", "NULL"},
                     {"2", "10", "a", "NULL", "x", "NULL", "NULL"},
                     {"3", "20", "b", "5", "x", "NULL", "NULL"}}));
    EXPECT_EQ(Rows(Db(), "SELECT ID FROM high_ids ORDER BY ID"), (Table{{"10"}, {"20"}, {"30"}}));
    EXPECT_EQ(Rows(Db(), "SELECT count(*) FROM sqlite_master WHERE name = 'ix_high_mobile'"),
              (Table{{"1"}}));
    Db().Execute("INSERT INTO Outbox_High_Auto (ID) VALUES (40)");
    EXPECT_EQ(Rows(Db(),
                   "SELECT RowID, Send_Number_Try, Auto_Send, ServiceLine FROM "
                   "Outbox_High_Auto WHERE ID = 40"),
              (Table{{"4", "0", "1", "1"}}));

    // The missing ServiceLine default: rebuilt, rows and numbers kept, and a number of a
    // row that is gone is not handed out again.
    Db().Execute("INSERT INTO Outbox_Low_Auto (ID) VALUES (4)");
    EXPECT_EQ(Rows(Db(), "SELECT ID, RowID, ServiceLine FROM Outbox_Low_Auto ORDER BY RowID"),
              (Table{{"1", "1", "NULL"}, {"2", "2", "NULL"}, {"4", "4", "1"}}));

    // Appended in the installer's order, as the server would.
    const auto sent = Columns("Sent_Item");
    EXPECT_EQ(std::vector<std::string>(sent.begin() + 10, sent.end()),
              (std::vector<std::string>{"Auto_Send", "ServiceLine", "ResultCode", "DeliveyCode",
                                        "IsNotValid", "SmsID"}));
    EXPECT_EQ(Rows(Db(), "SELECT ID, Message, ServiceLine, IsNotValid FROM Sent_Item"),
              (Table{{"5", "sent", "NULL", "NULL"}}));
    EXPECT_EQ(Columns("Inbox").size(), 5u);
    // Not a new database: its journal mode is its own.
    EXPECT_EQ(Rows(Db(), "PRAGMA journal_mode"), (Table{{"delete"}}));

    // And the upgraded database serves the send cycle's query.
    EXPECT_TRUE(dispatcher.InitializeDatabase(false));
    // A second run leaves it as it is.
    const Table before = Snapshot();
    Install();
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(SQLiteInstall, AFailedRunKeepsWhatRanAndTheNextRunCompletesIt) {
    {
        db::Connection old;
        old.OpenSQLite(path, db::Connection::OpenMode::CreateIfMissing);
        old.Execute("CREATE VIEW Panel_Setting AS SELECT 1 AS ID");
    }
    try {
        Install();
        FAIL() << "the conflicting view went unnoticed";
    } catch (const db::EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "view [Panel_Setting] already exists");
    }
    EXPECT_EQ(Columns("Outbox_Normal_Auto").size(), 12u);  // before the conflict
    EXPECT_TRUE(Columns("Sent_Item").empty());             // after it

    Db().Execute("DROP VIEW Panel_Setting");
    own.Close();
    Install();
    EXPECT_EQ(Columns("Panel_Setting").size(), 7u);
    EXPECT_EQ(Columns("Sent_Item").size(), 16u);
}

// Rows whose RowID cannot become the key: the rebuild fails as a whole and the table
// keeps its rows and its layout.
TEST_F(SQLiteInstall, AFailedRebuildLeavesTheTableAsItWas) {
    {
        db::Connection old;
        old.OpenSQLite(path, db::Connection::OpenMode::CreateIfMissing);
        old.Execute(
            "CREATE TABLE Outbox_High_Auto (ID int NOT NULL, Send_Number_Try int, Auto_Send int, "
            "ServiceLine int, RowID int);"
            "INSERT INTO Outbox_High_Auto VALUES (1, 0, 1, 1, 7), (2, 0, 1, 1, 7);");
    }
    const Table before = Rows(Db(), "SELECT * FROM Outbox_High_Auto");
    const Table schemaBefore =
        Rows(Db(), "SELECT sql FROM sqlite_master WHERE name LIKE '%Outbox_High_Auto'");
    own.Close();
    try {
        Install();
        FAIL() << "duplicate RowIDs went into the key";
    } catch (const db::EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "UNIQUE constraint failed: kavar_rebuild_Outbox_High_Auto.RowID");
    }
    EXPECT_EQ(Rows(Db(), "SELECT * FROM Outbox_High_Auto"), before);
    EXPECT_EQ(Rows(Db(), "SELECT sql FROM sqlite_master WHERE name LIKE '%Outbox_High_Auto'"),
              schemaBefore);
}

// A rebuild for a missing default changes no existing column: a legacy NULL ID, a
// default of its own and a text-typed column stay as they were (the server only adds the
// constraint). An emptied table keeps its identity's high-water mark too.
TEST_F(SQLiteInstall, ARebuildForADefaultKeepsTheColumnsAndTheIdentityMark) {
    {
        db::Connection old;
        old.OpenSQLite(path, db::Connection::OpenMode::CreateIfMissing);
        for (const char* table : {"Outbox_Normal_Auto", "Outbox_Low_Auto"})
            old.Execute(std::string("CREATE TABLE ") + table +
                        " (ID int, CustomerID varchar(20), Mobile_Number text, Message "
                        "varchar(200), Send_Number_Try int DEFAULT 0, Auto_Send int DEFAULT 5, "
                        "ServiceLine int, ResultCode int, DeliveyCode int, IsNotValid bit, SmsID "
                        "int, RowID INTEGER PRIMARY KEY AUTOINCREMENT)");
        old.Execute(
            "INSERT INTO Outbox_Normal_Auto (ID, Mobile_Number) VALUES (NULL, '0912'), (2, "
            "'0913');"
            "DELETE FROM Outbox_Normal_Auto WHERE ID = 2;"
            "INSERT INTO Outbox_Low_Auto (ID) VALUES (1), (2), (3);"
            "DELETE FROM Outbox_Low_Auto;");
    }
    Install();

    Db().Execute("INSERT INTO Outbox_Normal_Auto (ID, Mobile_Number) VALUES (3, '0914')");
    Db().Execute("INSERT INTO Outbox_Low_Auto (ID) VALUES (4)");
    EXPECT_EQ(Rows(Db(),
                   "SELECT RowID, ID, Mobile_Number, Auto_Send, ServiceLine FROM "
                   "Outbox_Normal_Auto ORDER BY RowID"),
              (Table{{"1", "NULL", "0912", "5", "NULL"}, {"3", "3", "0914", "5", "1"}}));
    EXPECT_EQ(Rows(Db(), "SELECT RowID, Auto_Send, ServiceLine FROM Outbox_Low_Auto"),
              (Table{{"4", "5", "1"}}));
    EXPECT_EQ(Rows(Db(),
                   "SELECT upper(type) FROM pragma_table_info('Outbox_Low_Auto') WHERE name = "
                   "'Mobile_Number'"),
              (Table{{"TEXT"}}));
}

TEST_F(SQLiteInstall, ANameWithAQuoteAndABracketIsOneFile) {
    host.setting.SQL_DBName = "O'Ha]ra";
    Install();
    path = dir.File("O'Ha]ra.sqlite");
    EXPECT_EQ(Columns("Outbox_High_Auto").size(), 12u);
    EXPECT_EQ(Rows(Db(), "PRAGMA journal_mode"), (Table{{"wal"}}));
}

// The database cannot be opened: the dispatcher says why, the installer stops before any
// table, and the file is left as it was.
TEST_F(SQLiteInstall, AFailedSwitchEndsTheRunBeforeItsTables) {
    std::ofstream(path) << "not a database, but someone's file";
    try {
        Install();
        FAIL() << "the run went on without its database";
    } catch (const db::EDatabaseError& e) {
        EXPECT_STREQ(e.what(),
                     "Could not connect to the database Kavar_SMS; the installation stopped "
                     "before its tables.");
    }
    ASSERT_EQ(host.reports.size(), 1u);
    EXPECT_EQ(host.reports[0],
              "Exception in open  ADO Connection.Kavar_SMS : \rfile is not a database");
    EXPECT_EQ(ReadFile(path), "not a database, but someone's file");
}

TEST_F(SQLiteInstall, AnEmptyNameCreatesNothing) {
    host.setting.SQL_DBName = "";
    EXPECT_THROW(
        {
            try {
                Install();
            } catch (const db::EDatabaseError& e) {
                EXPECT_STREQ(e.what(), "The database name is empty.");
                throw;
            }
        },
        db::EDatabaseError);
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

// unixODBC finds the SQLite ODBC driver through an odbcinst.ini of our own.
TEST_F(SQLiteInstall, RunsThroughAnOdbcDataSourceWhoseDbmsIsSQLite) {
    std::ofstream(dir.File("odbcinst.ini"))
        << "[SQLite3]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so\n";
    setenv("ODBCSYSINI", dir.Path().c_str(), 1);
    host.setting.SQL_ServerName = "odbc:Driver={SQLite3};Database=" + path + ";";
    Install();
    Install();
    EXPECT_EQ(Columns("Sent_Item").back(), "IsNotValid");
    EXPECT_EQ(master.DbmsName().find("SQLite") != std::string::npos, true);
}

}  // namespace
