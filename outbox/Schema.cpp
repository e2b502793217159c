#include "outbox/Schema.h"

#include <cctype>
#include <charconv>
#include <ctime>
#include <stdexcept>

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

// The columns that older databases lack, in the order the installer adds them.
struct LateColumn {
    const char* table;
    const char* column;
    const char* type;  // as the T-SQL statement spells it
};
const std::vector<LateColumn>& LateColumns() {
    static const std::vector<LateColumn> columns = [] {
        std::vector<LateColumn> c;
        for (const char* table : {"Outbox_Low_Auto", "Outbox_Normal_Auto", "Outbox_High_Auto"})
            for (auto [column, type] : {std::pair{"ResultCode", "INT"},
                                        {"DeliveyCode", "INT"},
                                        {"IsNotValid", "BIT"},
                                        {"SmsID", "INT"}})
                c.push_back({table, column, type});
        for (auto [column, type] : {std::pair{"ServiceLine", "INT"},
                                    {"ResultCode", "INT"},
                                    {"DeliveyCode", "INT"},
                                    {"IsNotValid", "BIT"},
                                    {"SmsID", "INT"}})
            c.push_back({"Sent_Item", column, type});
        return c;
    }();
    return columns;
}

const char* const kDefaultTables[] = {"Outbox_Low_Auto", "Outbox_Normal_Auto", "Outbox_High_Auto"};

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
    for (const char* table : kDefaultTables) {
        s.Defaults.push_back(TSqlDefault(table, "Send_Number_Try", "0"));
        s.Defaults.push_back(TSqlDefault(table, "Auto_Send", "1"));
        s.Defaults.push_back(TSqlDefault(table, "ServiceLine", "1"));
    }
    for (const LateColumn& c : LateColumns())
        s.LateColumns.push_back(TSqlLateColumn(c.table, c.column, c.type));
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
// One column of the SQLite table, as its creation statement declares it.
std::string SQLiteColumnDefinition(const Table& t, const Column& c) {
    std::string s = "[" + std::string(c.name) + "] ";
    if (c.identity) {
        s += "INTEGER NOT NULL";
        if (t.primaryKey) s += " CONSTRAINT [" + std::string(t.primaryKey) + "]";
        return s + " PRIMARY KEY AUTOINCREMENT";
    }
    s += c.type;
    s += c.notNull ? " NOT NULL" : " NULL";
    if (c.defaultValue)
        s +=
            " CONSTRAINT [DF_" + std::string(t.name) + "_" + c.name + "] DEFAULT " + c.defaultValue;
    return s;
}

std::string SQLiteCreateTable(const Table& t, bool ifNotExists = true) {
    std::string s = std::string("CREATE TABLE ") + (ifNotExists ? "IF NOT EXISTS " : "") + "[" +
                    t.name + "] (\n";
    bool keyInline = false;
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        const Column& c = t.columns[i];
        s += "  " + SQLiteColumnDefinition(t, c);
        keyInline = keyInline || (c.identity && t.primaryKey);
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

std::string BracketQuoted(const std::string& name) {
    std::string out = "[";
    for (char c : name) {
        out += c;
        if (c == ']') out += ']';
    }
    return out + "]";
}

std::string TSqlDatabaseExistsQuery(const std::string& dbName) {
    return "SELECT * FROM master..sysdatabases WHERE [name] =" + QuotedStr(dbName);
}

std::vector<std::string> TSqlCreateDatabase(const std::string& dbName) {
    // The name as an identifier everywhere, "]" doubled: a bare name with a quote or a
    // blank broke CREATE DATABASE, and an unescaped "]" could end the identifier early.
    const std::string name = BracketQuoted(dbName);
    std::vector<std::string> s;
    s.push_back("CREATE DATABASE " + name);
    s.push_back("ALTER DATABASE " + name + " SET COMPATIBILITY_LEVEL = 100");
    s.push_back("IF (1 = FULLTEXTSERVICEPROPERTY(" + QuotedStr("IsFullTextInstalled") + "))" + CR +
                "   EXEC " + name +
                ".[dbo].[sp_fulltext_database] @action = " + QuotedStr("enable"));
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
        s.push_back("ALTER DATABASE " + name + " SET " + option);
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

namespace {

// An identifier for SQLite in double quotes, inner quotes doubled: names read back from
// the database may hold anything.
std::string Ident(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}

bool IEqual(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A column as the database has it now.
struct Existing {
    std::string name;
    std::string type;
    bool notNull = false;
    bool hasDefault = false;
    std::string defaultValue;
};

// Only tables count: a view or index of the same name is a conflict that the table's
// creation reports, as the server does.
bool TableExists(db::Connection& c, const std::string& table) {
    return c.Query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = " +
                   QuotedStr(table) + " COLLATE NOCASE")
               .RecordCount() > 0;
}

std::vector<Existing> ColumnsOf(db::Connection& c, const std::string& table) {
    std::vector<Existing> columns;
    auto rs = c.Query("PRAGMA table_info(" + Ident(table) + ")");
    for (rs.First(); !rs.Eof(); rs.Next()) {
        Existing e;
        e.name = rs.FieldByName("name").AsString();
        e.type = rs.FieldByName("type").AsString();
        e.notNull = rs.FieldByName("notnull").AsInteger() != 0;
        e.hasDefault = !rs.FieldByName("dflt_value").IsNull();
        e.defaultValue = rs.FieldByName("dflt_value").AsString();
        columns.push_back(std::move(e));
    }
    return columns;
}

const Existing* FindExisting(const std::vector<Existing>& columns, const std::string& name) {
    for (const Existing& e : columns)
        if (IEqual(e.name, name)) return &e;
    return nullptr;
}

const Column* FindColumn(const Table& t, const std::string& name) {
    for (const Column& c : t.columns)
        if (IEqual(c.name, name)) return &c;
    return nullptr;
}

const Table& TableNamed(const std::string& name) {
    for (const Table& t : Tables())
        if (name == t.name) return t;
    throw std::logic_error("no table " + name);
}

// Runs body in one transaction; on failure rolls back and passes the first error on.
template <typename F>
void InTransaction(db::Connection& c, F body) {
    c.Execute("BEGIN IMMEDIATE");
    try {
        body();
        c.Execute("COMMIT");
    } catch (...) {
        try {
            c.Execute("ROLLBACK");
        } catch (const db::EDatabaseError&) {
            // SQLite may have ended the transaction itself; the first error is the one
            // to report.
        }
        throw;
    }
}

// SQLite can add neither an identity nor a default to an existing table, so the table
// is rebuilt: same columns in the same order (the known ones with their full
// definition, others as declared), RowID appended when missing, rows copied in their
// stored order (which numbers a new RowID in that order), then the table's own indexes
// and triggers again. Views keep their text and see the new table under the old name.
void RebuildOutboxTable(db::Connection& c, const Table& t) {
    const std::vector<Existing> existing = ColumnsOf(c, t.name);
    const std::string name = t.name;
    const std::string temp = "kavar_rebuild_" + name;

    std::vector<std::string> definitions, copied;
    for (const Existing& e : existing) {
        const Column* known = FindColumn(t, e.name);
        if (known && known->identity) {
            definitions.push_back(SQLiteColumnDefinition(t, *known));
        } else {
            // Every other column keeps its own declaration and default, as the server's
            // upgrade never alters a column: a NOT NULL or a type of ours would refuse or
            // convert rows that are already there. Only a missing default is added.
            std::string d = Ident(e.name) + (e.type.empty() ? "" : " " + e.type);
            if (e.notNull) d += " NOT NULL";
            if (e.hasDefault)
                d += " DEFAULT (" + e.defaultValue + ")";
            else if (known && known->defaultValue)
                d += " CONSTRAINT [DF_" + name + "_" + known->name + "] DEFAULT " +
                     known->defaultValue;
            definitions.push_back(d);
        }
        copied.push_back(Ident(e.name));
    }
    for (const Column& col : t.columns)
        if (col.identity && !FindExisting(existing, col.name))
            definitions.push_back(SQLiteColumnDefinition(t, col));

    std::string create = "CREATE TABLE " + Ident(temp) + " (";
    for (std::size_t i = 0; i < definitions.size(); ++i) create += (i ? ", " : "") + definitions[i];
    create += ")";
    std::string columnList;
    for (std::size_t i = 0; i < copied.size(); ++i) columnList += (i ? ", " : "") + copied[i];

    InTransaction(c, [&] {
        const bool withoutRowid =
            c.Query("PRAGMA table_list(" + Ident(name) + ")").FieldByName("wr").AsInteger() != 0;
        std::vector<std::string> dependents;
        auto rs = c.Query(
            "SELECT sql FROM sqlite_master WHERE type IN ('index', 'trigger') AND sql IS NOT NULL "
            "AND tbl_name = " +
            QuotedStr(name) + " COLLATE NOCASE ORDER BY rowid");
        for (rs.First(); !rs.Eof(); rs.Next()) dependents.push_back(rs.FieldAt(0).AsString());
        // The identity's high-water mark: numbers of rows moved away are not handed out
        // again.
        std::int64_t sequence = 0;
        if (TableExists(c, "sqlite_sequence")) {
            auto seq = c.Query("SELECT seq FROM sqlite_sequence WHERE name = " + QuotedStr(name) +
                               " COLLATE NOCASE");
            if (seq.RecordCount() > 0) sequence = std::stoll("0" + seq.Value(0, 0).AsString());
        }

        c.Execute(create);
        c.Execute("INSERT INTO " + Ident(temp) + " (" + columnList + ") SELECT " + columnList +
                  " FROM " + Ident(name) + (withoutRowid ? "" : " ORDER BY rowid"));
        c.Execute("DROP TABLE " + Ident(name));
        // Legacy rename: the views that name the table are left as they are, instead of
        // being checked against a table that is momentarily missing.
        c.Execute("PRAGMA legacy_alter_table = ON");
        try {
            c.Execute("ALTER TABLE " + Ident(temp) + " RENAME TO " + Ident(name));
        } catch (...) {
            c.Execute("PRAGMA legacy_alter_table = OFF");
            throw;
        }
        c.Execute("PRAGMA legacy_alter_table = OFF");
        for (const std::string& sql : dependents) c.Execute(sql);
        if (sequence > 0)
            c.Execute("UPDATE sqlite_sequence SET seq = max(seq, " + std::to_string(sequence) +
                      ") WHERE name = " + QuotedStr(name));
    });
}

}  // namespace

void ApplySQLiteDatabaseOptions(db::Connection& connection, const std::string& schema) {
    const std::string s = Ident(schema) + ".";
    // Set before the first page is written; later they would need a rewrite.
    connection.Execute("PRAGMA " + s + "page_size = 4096");
    connection.Execute("PRAGMA " + s + "auto_vacuum = NONE");
    // Readers (the panel) and the writer (the service) may share the file; with the
    // log a reader never blocks the writer, and commits need no flush of their own.
    // The mode is kept in the file.
    connection.Execute("PRAGMA " + s + "journal_mode = WAL");
}

void UpgradeSQLiteSchema(db::Connection& c) {
    // Tables, and the identity of outbox tables that predate it.
    for (const Table& t : Tables()) {
        if (!TableExists(c, t.name)) {
            c.Execute(SQLiteCreateTable(t, false));
            continue;
        }
        if (IsOutbox(t) && !FindExisting(ColumnsOf(c, t.name), "RowID")) RebuildOutboxTable(c, t);
    }
    // Defaults. A column that has any default keeps it.
    for (const char* table : kDefaultTables) {
        const Table& t = TableNamed(table);
        const std::vector<Existing> existing = ColumnsOf(c, table);
        bool missing = false;
        for (const Column& col : t.columns) {
            if (!col.defaultValue) continue;
            const Existing* e = FindExisting(existing, col.name);
            if (!e)
                throw db::EDatabaseError("Cannot add the default DF_" + std::string(table) + "_" +
                                         col.name + ": table " + table + " has no column " +
                                         col.name + ".");
            missing = missing || !e->hasDefault;
        }
        if (missing) RebuildOutboxTable(c, t);
    }
    // Late columns: appended, NULL-able, without default; existing rows read NULL.
    for (const LateColumn& late : LateColumns()) {
        if (FindExisting(ColumnsOf(c, late.table), late.column)) continue;
        const Column* col = FindColumn(TableNamed(late.table), late.column);
        c.Execute("ALTER TABLE " + Ident(late.table) + " ADD COLUMN " + Ident(late.column) + " " +
                  col->type + " NULL");
    }
}

void InstallSchema(db::Connection& connection) {
    if (connection.GetDialect() == db::Dialect::TSql) {
        for (const std::string& statement : TSqlSchema().All()) connection.Execute(statement);
        return;
    }
    if (connection.Query("SELECT 1 FROM sqlite_master").RecordCount() == 0)
        ApplySQLiteDatabaseOptions(connection, "main");
    UpgradeSQLiteSchema(connection);
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
