#include "outbox/Schema.h"

#include <charconv>
#include <ctime>

namespace kavar::outbox {

namespace {

const char CR = '\r';

// One column as the table definition gives it. Type is the bracketed SQL Server
// form's inner part: "int", "varchar(50)", ...
struct Column {
    const char* name;
    const char* type;
    bool notNull = false;
    bool identity = false;
    // Default constraint (outbox tables): value; the constraint is DF_<table>_<name>.
    const char* defaultValue = nullptr;
    // Added by the late-column step, not by the table's creation statement.
    bool late = false;
};

struct Table {
    const char* name;
    const char* primaryKey;  // constraint name, nullptr for none
    const char* keyColumn;
    bool textImage;
    std::vector<Column> columns;
};

std::vector<Column> OutboxColumns() {
    return {
        {"ID", "int", true},
        {"CustomerID", "varchar(20)"},
        {"Mobile_Number", "varchar(50)"},
        {"Message", "varchar(200)"},
        {"Send_Number_Try", "int", false, false, "0"},
        {"Auto_Send", "int", false, false, "1"},
        {"ServiceLine", "int", false, false, "1"},
        {"ResultCode", "int"},
        {"DeliveyCode", "int"},
        {"IsNotValid", "bit"},
        {"SmsID", "int"},
        {"RowID", "int", true, true},
    };
}

// Tables in order of creation.
const std::vector<Table>& Tables() {
    static const std::vector<Table> tables = {
        {"Error_Message",
         "PK_Error_Message",
         "ID",
         true,
         {{"ID", "int", true, true},
          {"Error_Number", "int"},
          {"Message", "text"},
          {"DateTime", "varchar(50)"}}},
        {"Gsm_Port_Setting",
         "PK_Gsm_Port_Setting",
         "ID",
         false,
         {{"ID", "int", true},
          {"PortNumber", "int"},
          {"AutoOpen", "int"},
          {"BaudRate", "int"},
          {"SMS_Count", "int"},
          {"Delay_Time", "varchar(8)"},
          {"Start_Delay_Time", "varchar(50)"},
          {"Modem_Model", "int"}}},
        {"Inbox",
         "PK_SMS_Inbox",
         "ID",
         false,
         {{"ID", "int", true},
          {"Mobile_Number", "varchar(50)"},
          {"Receive_Date", "varchar(50)"},
          {"Message_Text", "nvarchar(200)"},
          {"Sent", "int"}}},
        {"Outbox_High_Auto", nullptr, nullptr, false, OutboxColumns()},
        {"Outbox_Low_Auto", nullptr, nullptr, false, OutboxColumns()},
        {"Outbox_Normal_Auto", nullptr, nullptr, false, OutboxColumns()},
        {"Panel_Setting",
         "PK_Panel_Setting",
         "ID",
         false,
         {{"ID", "int", true},
          {"UserName", "varchar(100)"},
          {"Password", "binary(500)"},
          {"SenderNo", "varchar(50)"},
          {"SenderNo2", "varchar(50)"},
          {"ReceiverNo", "varchar(50)"},
          {"Receive", "int"}}},
        {"Sent_Item",
         "PK_SMS_Group_Sent",
         "ID",
         false,
         {{"ID", "int", true},
          {"CustomerID", "varchar(20)"},
          {"Mobile_Number", "varchar(50)"},
          {"Message", "varchar(200)"},
          {"Sent_Number_Try", "int"},
          {"Send_Status", "int"},
          {"Sms_Index", "int"},
          {"Send_Date", "varchar(50)"},
          {"Delivery_Status", "int"},
          {"Delivery_Date", "varchar(50)"},
          {"Auto_Send", "int"},
          {"ServiceLine", "int"},
          {"ResultCode", "int"},
          {"DeliveyCode", "int"},
          {"SmsID", "int"},
          {"IsNotValid", "bit", false, false, nullptr, true}}},
        {"SimCard_Details",
         "PK_SimCard_Details",
         "ID",
         false,
         {{"ID", "int", true},
          {"OperatorName", "int"},
          {"OperatorType", "int"},
          {"Delivery_Report", "int"}}},
        {"SMS_Messages",
         "PK_Messages",
         "MessageID",
         false,
         {{"MessageID", "int", true},
          {"Language", "int"},
          {"Text", "varchar(100)"},
          {"DateTime", "varchar(50)"}}},
        {"SMS_Reports",
         "PK_SMS_Reports",
         "ID",
         false,
         {{"ID", "int", true},
          {"CustomerID", "int"},
          {"Status_STP", "int"},
          {"Status_STV1", "int"},
          {"Status_STV2", "int"},
          {"Status_STV3", "int"},
          {"Status_STV4", "int"},
          {"STP_DateTime", "datetime"},
          {"STV1_DateTime", "datetime"},
          {"STV2_DateTime", "datetime"},
          {"STV3_DateTime", "datetime"},
          {"STV4_DateTime", "datetime"}}},
        {"SMS_Settings_Tirel",
         "PK_SMS_Settings_Tirel",
         "ID",
         false,
         {{"ID", "int", true}, {"Type", "int"}, {"Value", "nvarchar(200)"}}},
    };
    return tables;
}

bool IsOutbox(const Table& t) { return std::string(t.name).rfind("Outbox_", 0) == 0; }

// "varchar(50)" -> "[varchar](50)", "int" -> "[int]".
std::string BracketedType(const std::string& type) {
    auto paren = type.find('(');
    if (paren == std::string::npos) return "[" + type + "]";
    return "[" + type.substr(0, paren) + "]" + type.substr(paren);
}

std::string TSqlCreateTable(const Table& t) {
    std::string s =
        "IF NOT EXISTS (SELECT * FROM sys.objects WHERE object_id = OBJECT_ID(N'[dbo].[" +
        std::string(t.name) + "]') AND type in (N'U'))" + CR;
    s += "CREATE TABLE [dbo].[" + std::string(t.name) + "](" + CR;
    std::vector<std::string> lines;
    for (const Column& c : t.columns) {
        if (c.late) continue;
        std::string line = "  [" + std::string(c.name) + "] " + BracketedType(c.type);
        if (c.identity) line += " IDENTITY(1,1)";
        line += c.notNull ? " NOT NULL" : " NULL";
        lines.push_back(line);
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        s += lines[i];
        if (t.primaryKey || i + 1 < lines.size()) s += ",";
        s += CR;
    }
    if (t.primaryKey) {
        s += " CONSTRAINT [" + std::string(t.primaryKey) + "] PRIMARY KEY CLUSTERED" + CR;
        s += "([" + std::string(t.keyColumn) +
             "] ASC)WITH (PAD_INDEX = OFF, STATISTICS_NORECOMPUTE = OFF, IGNORE_DUP_KEY = OFF, "
             "ALLOW_ROW_LOCKS = ON, ALLOW_PAGE_LOCKS = ON) ON [PRIMARY]" +
             CR;
    }
    s += ") ON [PRIMARY]";
    if (t.textImage) s += " TEXTIMAGE_ON [PRIMARY]";
    return s;
}

std::string TSqlRowIdStep(const std::string& table) {
    return "IF NOT EXISTS(SELECT 1 FROM sys.columns WHERE Name = N'RowID' AND OBJECT_ID = "
           "OBJECT_ID(N'" +
           table + "')) " + CR + "   ALTER TABLE " + table + " ADD RowID INT IDENTITY(1,1) ";
}

std::string TSqlDefault(const std::string& table, const std::string& column,
                        const std::string& value) {
    const std::string name = "DF_" + table + "_" + column;
    // The ServiceLine constraints name their column in lower camel case; the server
    // compares names without regard to case.
    const std::string target = column == "ServiceLine" ? "serviceLine" : column;
    return "IF (OBJECT_ID(N'" + name + "') IS NULL)" + CR + "ALTER TABLE [dbo].[" + table +
           "] ADD  CONSTRAINT [" + name + "]  DEFAULT ((" + value + ")) FOR [" + target + "]";
}

std::string TSqlLateColumn(const std::string& table, const std::string& column,
                           const std::string& type) {
    return "IF COL_LENGTH('" + table + "', '" + column + "') IS NULL" + CR + "ALTER TABLE " +
           table + "  ADD " + column + " " + type + "\tNULL";
}

const char* const kCreateProcedure =
    "CREATE PROCEDURE [dbo].[SendedSMSMoveToSendItem]\r"
    "  @SrcTblName VARCHAR(30),\r"
    "  @SrcID INT\r"
    "AS\r"
    "BEGIN\r"
    "  DECLARE @SQL VARCHAR(5000)\r"
    "  SET @SQL = 'BEGIN TRY\r"
    "  BEGIN TRANSACTION\r"
    "    INSERT INTO [dbo].[Sent_Item] ([ID], [CustomerID], [Mobile_Number], [Message], "
    "[Sent_Number_Try], [Send_Date], [Auto_Send], [ServiceLine], [ResultCode], [DeliveyCode], "
    "[SmsID])\r"
    "    SELECT SmsID, CustomerID, Mobile_Number, Message, Send_Number_Try, Getdate() as "
    "Send_Date, Auto_Send, ServiceLine, ResultCode, DeliveyCode, SmsID\r"
    "    FROM   [dbo].['+@SrcTblName+']\r"
    "    WHERE  RowID = '+CAST(@SrcID as VARCHAR)+'\r"
    "    DELETE FROM [dbo].['+@SrcTblName+'] WHERE  RowID = '+CAST(@SrcID as VARCHAR)+'\r"
    "  COMMIT TRAN\r"
    "END TRY\r"
    "BEGIN CATCH\r"
    "  IF @@TRANCOUNT > 0\r"
    "    ROLLBACK TRAN\r"
    "  DECLARE @ErrorMessage NVARCHAR(4000)\r"
    "  DECLARE @ErrorSeverity INT\r"
    "  DECLARE @ErrorState INT\r"
    "  SELECT @ErrorMessage = ERROR_MESSAGE(), @ErrorSeverity = ERROR_SEVERITY(), @ErrorState = "
    "ERROR_STATE()\r"
    "  RAISERROR(@ErrorMessage, @ErrorSeverity, @ErrorState);\r"
    "END CATCH'\r"
    "  EXEC(@SQL)\r"
    "END";

TSqlSchemaStatements BuildTSqlSchema() {
    TSqlSchemaStatements s;
    for (const Table& t : Tables()) {
        s.Tables.push_back(TSqlCreateTable(t));
        if (IsOutbox(t)) s.Tables.push_back(TSqlRowIdStep(t.name));
    }
    for (const char* table : {"Outbox_Low_Auto", "Outbox_Normal_Auto", "Outbox_High_Auto"}) {
        s.Defaults.push_back(TSqlDefault(table, "Send_Number_Try", "0"));
        s.Defaults.push_back(TSqlDefault(table, "Auto_Send", "1"));
        s.Defaults.push_back(TSqlDefault(table, "ServiceLine", "1"));
    }
    for (const char* table : {"Outbox_Low_Auto", "Outbox_Normal_Auto", "Outbox_High_Auto"}) {
        s.LateColumns.push_back(TSqlLateColumn(table, "ResultCode", "INT"));
        s.LateColumns.push_back(TSqlLateColumn(table, "DeliveyCode", "INT"));
        s.LateColumns.push_back(TSqlLateColumn(table, "IsNotValid", "BIT"));
        s.LateColumns.push_back(TSqlLateColumn(table, "SmsID", "INT"));
    }
    for (auto [column, type] : {std::pair{"ServiceLine", "INT"},
                                {"ResultCode", "INT"},
                                {"DeliveyCode", "INT"},
                                {"IsNotValid", "BIT"},
                                {"SmsID", "INT"}})
        s.LateColumns.push_back(TSqlLateColumn("Sent_Item", column, type));
    s.DropProcedure =
        "IF  EXISTS (SELECT * FROM sys.objects WHERE object_id = "
        "OBJECT_ID(N'[dbo].[SendedSMSMoveToSendItem]') AND type in (N'P', N'PC'))\t"
        "DROP PROCEDURE [dbo].[SendedSMSMoveToSendItem]";
    s.CreateProcedure = kCreateProcedure;
    return s;
}

// The same tables for SQLite. The declared types keep the server's names (SQLite takes
// its column affinity from them); an identity becomes an AUTOINCREMENT rowid, which,
// like the server's identity, never hands out a number twice. The outbox tables'
// RowID is such a rowid although the server's tables have no key: lookups by RowID
// are the dispatcher's only access path.
std::string SQLiteCreateTable(const Table& t) {
    std::string s = "CREATE TABLE IF NOT EXISTS [" + std::string(t.name) + "] (\n";
    bool keyInline = false;
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        const Column& c = t.columns[i];
        s += "  [" + std::string(c.name) + "] ";
        if (c.identity) {
            s += "INTEGER NOT NULL";
            if (t.primaryKey) s += " CONSTRAINT [" + std::string(t.primaryKey) + "]";
            s += " PRIMARY KEY AUTOINCREMENT";
            keyInline = keyInline || t.primaryKey;
        } else {
            s += c.type;
            s += c.notNull ? " NOT NULL" : " NULL";
            if (c.defaultValue)
                s += " CONSTRAINT [DF_" + std::string(t.name) + "_" + c.name + "] DEFAULT " +
                     c.defaultValue;
        }
        if (i + 1 < t.columns.size() || (t.primaryKey && !keyInline)) s += ",";
        s += "\n";
    }
    // Not INTEGER: a plain int key is no rowid alias, so a NULL key is refused rather
    // than numbered.
    if (t.primaryKey && !keyInline)
        s += "  CONSTRAINT [" + std::string(t.primaryKey) + "] PRIMARY KEY ([" + t.keyColumn +
             "])\n";
    s += ")";
    // The server's clustered key: the rows live in the key's own tree, so a move into
    // Sent_Item writes one tree, not a table and an index.
    if (t.primaryKey && !keyInline) s += " WITHOUT ROWID";
    return s;
}

std::string TwoDigits(int v, char pad) {
    std::string s = std::to_string(v);
    return s.size() < 2 ? std::string(1, pad) + s : s;
}

}  // namespace

std::vector<std::string> TSqlSchemaStatements::All() const {
    std::vector<std::string> all = Tables;
    all.insert(all.end(), Defaults.begin(), Defaults.end());
    all.insert(all.end(), LateColumns.begin(), LateColumns.end());
    all.push_back(DropProcedure);
    all.push_back(CreateProcedure);
    return all;
}

const TSqlSchemaStatements& TSqlSchema() {
    static const TSqlSchemaStatements schema = BuildTSqlSchema();
    return schema;
}

std::string QuotedStr(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out + "'";
}

std::string TSqlDatabaseExistsQuery(const std::string& dbName) {
    return "SELECT * FROM master..sysdatabases WHERE [name] =" + QuotedStr(dbName);
}

std::vector<std::string> TSqlCreateDatabase(const std::string& dbName) {
    std::vector<std::string> s;
    s.push_back("CREATE DATABASE " + dbName);
    s.push_back("ALTER DATABASE [" + dbName + "] SET COMPATIBILITY_LEVEL = 100");
    s.push_back("IF (1 = FULLTEXTSERVICEPROPERTY(" + QuotedStr("IsFullTextInstalled") + "))" + CR +
                "   EXEC [" + dbName +
                "].[dbo].[sp_fulltext_database] @action = " + QuotedStr("enable"));
    for (const char* option : {"ANSI_NULL_DEFAULT OFF",
                               "ANSI_NULLS OFF",
                               "ANSI_PADDING OFF",
                               "ANSI_WARNINGS OFF",
                               "ARITHABORT OFF",
                               "AUTO_CLOSE OFF",
                               "AUTO_SHRINK OFF",
                               "AUTO_UPDATE_STATISTICS ON",
                               "CURSOR_CLOSE_ON_COMMIT OFF",
                               "CURSOR_DEFAULT  GLOBAL",
                               "CONCAT_NULL_YIELDS_NULL OFF",
                               "NUMERIC_ROUNDABORT OFF",
                               "QUOTED_IDENTIFIER OFF",
                               "RECURSIVE_TRIGGERS OFF",
                               " DISABLE_BROKER",
                               "AUTO_UPDATE_STATISTICS_ASYNC OFF",
                               "DATE_CORRELATION_OPTIMIZATION OFF",
                               "TRUSTWORTHY OFF",
                               "ALLOW_SNAPSHOT_ISOLATION OFF",
                               "PARAMETERIZATION SIMPLE",
                               "READ_COMMITTED_SNAPSHOT OFF",
                               "HONOR_BROKER_PRIORITY OFF",
                               "RECOVERY FULL",
                               " MULTI_USER",
                               "PAGE_VERIFY CHECKSUM",
                               "DB_CHAINING OFF"})
        s.push_back("ALTER DATABASE [" + dbName + "] SET " + option);
    s.push_back("EXEC sys.sp_db_vardecimal_storage_format N" + QuotedStr(dbName) + ", N" +
                QuotedStr("ON"));
    return s;
}

const std::vector<std::string>& SQLiteSchema() {
    static const std::vector<std::string> schema = [] {
        std::vector<std::string> s;
        for (const Table& t : Tables()) s.push_back(SQLiteCreateTable(t));
        return s;
    }();
    return schema;
}

void InstallSchema(db::Connection& connection) {
    if (connection.GetDialect() == db::Dialect::TSql) {
        for (const std::string& statement : TSqlSchema().All()) connection.Execute(statement);
        return;
    }
    // Readers (the panel) and the writer (the service) may share the file; with the
    // log a reader never blocks the writer, and commits need no flush of their own.
    connection.Execute("PRAGMA journal_mode=WAL");
    connection.Execute("BEGIN");
    try {
        for (const std::string& statement : SQLiteSchema()) connection.Execute(statement);
        connection.Execute("COMMIT");
    } catch (...) {
        try {
            connection.Execute("ROLLBACK");
        } catch (const db::EDatabaseError&) {
            // The first error is the one to report; SQLite may have ended the
            // transaction itself.
        }
        throw;
    }
    PrepareConnection(connection);
}

void PrepareConnection(db::Connection& connection) {
    if (connection.GetDialect() != db::Dialect::SQLite) return;
    connection.RegisterProcedure(
        "SendedSMSMoveToSendItem", [](db::Connection& c, const std::vector<std::string>& args) {
            if (args.size() != 2)
                throw db::EDatabaseError(
                    "Procedure or function 'SendedSMSMoveToSendItem' expects two arguments.");
            std::int32_t id = 0;
            const std::string& text = args[1];
            auto r = std::from_chars(text.data(), text.data() + text.size(), id);
            if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size())
                throw db::EDatabaseError("Error converting data type varchar to int.");
            // @SrcTblName is VARCHAR(30): the server cuts a longer name.
            MoveToSentItem(c, args[0].substr(0, 30), id);
        });
}

void MoveToSentItem(db::Connection& connection, const std::string& srcTblName, std::int32_t srcId) {
    std::string table = "\"";
    for (char c : srcTblName) {
        table += c;
        if (c == '"') table += '"';
    }
    table += '"';
    const std::string id = std::to_string(srcId);
    const std::string sendDate = ServerDateTimeText(std::time(nullptr));

    connection.Execute("SAVEPOINT SendedSMSMoveToSendItem", {});
    try {
        connection.Execute(
            "INSERT INTO [Sent_Item] ([ID], [CustomerID], [Mobile_Number], [Message], "
            "[Sent_Number_Try], [Send_Date], [Auto_Send], [ServiceLine], [ResultCode], "
            "[DeliveyCode], [SmsID]) SELECT SmsID, CustomerID, Mobile_Number, Message, "
            "Send_Number_Try, ?, Auto_Send, ServiceLine, ResultCode, DeliveyCode, SmsID FROM " +
                table + " WHERE RowID = ?",
            {sendDate, id});
        connection.Execute("DELETE FROM " + table + " WHERE RowID = ?", {id});
        connection.Execute("RELEASE SendedSMSMoveToSendItem", {});
    } catch (...) {
        try {
            connection.Execute("ROLLBACK TO SendedSMSMoveToSendItem");
            connection.Execute("RELEASE SendedSMSMoveToSendItem");
        } catch (const db::EDatabaseError&) {
            // A connection that broke mid-move cannot roll back; its transaction dies
            // with it. The first error is the one the caller must see.
        }
        throw;
    }
}

std::string ServerDateTimeText(std::int64_t unixSeconds) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    int hour12 = tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12;
    return std::string(months[tm.tm_mon]) + " " + TwoDigits(tm.tm_mday, ' ') + " " +
           std::to_string(tm.tm_year + 1900) + " " + TwoDigits(hour12, ' ') + ":" +
           TwoDigits(tm.tm_min, '0') + (tm.tm_hour < 12 ? "AM" : "PM");
}

}  // namespace kavar::outbox
