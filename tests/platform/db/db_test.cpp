#include "platform/db/db.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using kavar::db::Connection;
using kavar::db::ConnectionSettings;
using kavar::db::ConnectionTarget;
using kavar::db::Dialect;
using kavar::db::EDatabaseError;

namespace {

// A fresh folder per test, removed afterwards.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "kavar-db-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

// unixODBC finds the SQLite ODBC driver through an odbcinst.ini of our own; it must be in
// place before the first ODBC call of the process.
const TempDir& OdbcConfig() {
    static TempDir dir;
    static bool written = [] {
        std::ofstream(dir.File("odbcinst.ini"))
            << "[SQLite3]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so\n";
        std::ofstream(dir.File("odbc.ini"));
        setenv("ODBCSYSINI", dir.Path().c_str(), 1);
        return true;
    }();
    (void)written;
    return dir;
}
const TempDir& odbcConfig = OdbcConfig();

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EDatabaseError& e) {
        return e.what();
    }
    return "<no error>";
}

void CreateSample(Connection& c) {
    c.Execute(
        "CREATE TABLE T ([ID] int NOT NULL, [Name] varchar(20) NULL, [Num] int NULL);"
        "INSERT INTO T VALUES (7, 'seven', NULL);"
        "INSERT INTO T VALUES (3, NULL, 30);"
        "INSERT INTO T VALUES (5, 'five', -5);");
}

TEST(SQLiteConnection, OpensOnlyExistingDatabasesUnlessAskedToCreate) {
    TempDir dir;
    Connection c;
    std::string missing = dir.File("none.sqlite");
    EXPECT_EQ(ErrorOf([&] { c.OpenSQLite(missing); }),
              "unable to open database file (" + missing + ")");
    EXPECT_FALSE(c.Connected());
    EXPECT_FALSE(fs::exists(missing));

    std::ofstream(dir.File("junk.sqlite")) << "this is not a database file, just some text...";
    EXPECT_EQ(ErrorOf([&] { c.OpenSQLite(dir.File("junk.sqlite")); }), "file is not a database");
    EXPECT_FALSE(c.Connected());

    c.OpenSQLite(missing, Connection::OpenMode::CreateIfMissing);
    EXPECT_TRUE(c.Connected());
    EXPECT_EQ(c.GetDialect(), Dialect::SQLite);
    c.Close();
    EXPECT_FALSE(c.Connected());
    c.OpenSQLite(missing);
    EXPECT_TRUE(c.Connected());
    EXPECT_EQ(ErrorOf([&] { c.Close(), c.Execute("SELECT 1"); }), "the connection is closed");
}

// The same expectations hold for the embedded backend and for ODBC through the SQLite
// driver: a snapshot in query order, fields by name, null-aware reads, driver errors.
void CheckQueryAndErrors(Connection& c) {
    CreateSample(c);
    auto rs = c.Query("SELECT * FROM T ORDER BY ID");
    ASSERT_EQ(rs.RecordCount(), 3);
    ASSERT_EQ(rs.FieldCount(), 3);
    EXPECT_EQ(rs.FieldIndex("name"), 1);
    EXPECT_EQ(rs.FindField("missing"), -1);
    EXPECT_EQ(ErrorOf([&] { rs.FieldIndex("missing"); }), "Field 'missing' not found");

    std::vector<std::tuple<int, std::string, int, bool>> rows;
    for (rs.First(); !rs.Eof(); rs.Next())
        rows.emplace_back(rs.FieldByName("id").AsInteger(), rs.FieldByName("NAME").AsString(),
                          rs.FieldByName("Num").AsInteger(), rs.FieldByName("Num").IsNull());
    using R = decltype(rows)::value_type;
    EXPECT_EQ(rows,
              (std::vector<R>{{3, "", 30, false}, {5, "five", -5, false}, {7, "seven", 0, true}}));

    EXPECT_EQ(c.Execute("UPDATE T SET Num = 1 WHERE ID > 4"), 2);
    EXPECT_EQ(c.Execute("UPDATE T SET Num = 1 WHERE ID = 99"), 0);

    c.Execute("INSERT INTO T VALUES (9, 'x12', NULL)");
    auto bad = c.Query("SELECT Name FROM T WHERE ID = 9");
    bad.First();
    EXPECT_EQ(ErrorOf([&] { bad.FieldAt(0).AsInteger(); }),
              "'x12' is not a valid integer value for field 'Name'");

    EXPECT_NE(
        ErrorOf([&] { c.Execute("UPDATE Nowhere SET A = 1"); }).find("no such table: Nowhere"),
        std::string::npos);
    EXPECT_NE(ErrorOf([&] { c.Query("SELEC 1"); }).find("syntax error"), std::string::npos);

    // Statements written for the server use ISNULL; a quoted "IsNull(" stays as it is.
    auto pending = c.Query(
        "SELECT ID FROM T WHERE IsNull(Num,-1) <> 1 AND ISNULL(Name,'IsNull(') <> 'IsNull(' ORDER "
        "BY ID");
    ASSERT_EQ(pending.RecordCount(), 1);
    EXPECT_EQ(pending.Value(0, 0).AsInteger(), 9);
}

TEST(SQLiteConnection, QueriesExecutesAndReportsDriverErrors) {
    TempDir dir;
    Connection c;
    c.OpenSQLite(dir.File("a.sqlite"), Connection::OpenMode::CreateIfMissing);
    CheckQueryAndErrors(c);
}

TEST(OdbcConnection, WorksThroughTheSQLiteDriver) {
    TempDir dir;
    Connection c;
    std::string file = dir.File("odbc.sqlite");
    c.OpenSQLite(file, Connection::OpenMode::CreateIfMissing);
    c.Close();
    c.OpenOdbc("Driver={SQLite3};Database=" + file + ";");
    EXPECT_NE(c.DbmsName().find("SQLite"), std::string::npos);
    EXPECT_EQ(c.GetDialect(), Dialect::SQLite);
    CheckQueryAndErrors(c);

    // Values longer than one read buffer arrive whole.
    std::string longText(10000, 'x');
    longText += "end";
    c.Execute("CREATE TABLE L (V text)");
    c.Execute("INSERT INTO L VALUES ('" + longText + "')");
    auto rs = c.Query("SELECT V FROM L");
    ASSERT_EQ(rs.RecordCount(), 1);
    EXPECT_EQ(rs.Value(0, 0).AsString(), longText);
}

TEST(OdbcConnection, FailedOpenCarriesTheDriverManagersText) {
    Connection c;
    std::string error = ErrorOf([&] { c.OpenOdbc("Driver={NoSuchDriver};Server={x};"); });
    EXPECT_NE(error.find("NoSuchDriver"), std::string::npos) << error;
    EXPECT_FALSE(c.Connected());
}

TEST(ConnectionSettings, ResolveTheBackendFromTheServerName) {
    ConnectionSettings s;
    s.Database = "Kavar_SMS";
    s.DefaultFolder = "/opt/kavar";
    s.User = "sa";
    s.Password = "p;w}d";

    struct Case {
        std::string server, driver;
        ConnectionTarget::Kind kind;
        std::string expected;
    } cases[] = {
        {"sqlite:", "", ConnectionTarget::Kind::SQLiteFile, "/opt/kavar/Kavar_SMS.sqlite"},
        {"SQLite:/var/db/", "", ConnectionTarget::Kind::SQLiteFile, "/var/db/Kavar_SMS.sqlite"},
        {"odbc:DSN=x;UID=u", "", ConnectionTarget::Kind::Odbc, "DSN=x;UID=u"},
        // A ";" or "}" in a value cannot start another attribute.
        {"db1\\SQLEXPRESS", "", ConnectionTarget::Kind::Odbc,
         "Driver={FreeTDS};Server={db1\\SQLEXPRESS};Database={Kavar_SMS};UID={sa};"
         "PWD={p;w}}d};ClientCharset=UTF-8;"},
        {"db1", "ODBC Driver 18 for SQL Server", ConnectionTarget::Kind::Odbc,
         "Driver={ODBC Driver 18 for SQL Server};Server={db1};Database={Kavar_SMS};UID={sa};"
         "PWD={p;w}}d};ClientCharset=UTF-8;"},
    };
    for (const auto& c : cases) {
        s.ServerName = c.server;
        s.OdbcDriver = c.driver;
        auto t = kavar::db::ResolveTarget(s);
        EXPECT_EQ(t.kind, c.kind) << c.server;
        EXPECT_EQ(t.kind == ConnectionTarget::Kind::Odbc ? t.OdbcConnectString : t.SQLitePath,
                  c.expected);
    }
}

TEST(SQLiteConnection, RunsRegisteredProceduresForExecStatements) {
    TempDir dir;
    Connection c;
    c.OpenSQLite(dir.File("p.sqlite"), Connection::OpenMode::CreateIfMissing);
    std::vector<std::vector<std::string>> calls;
    c.RegisterProcedure(
        "Move", [&](Connection&, const std::vector<std::string>& args) { calls.push_back(args); });
    c.Execute("EXEC [dbo].[Move] 'Outbox_High_Auto',42");
    c.Execute("exec dbo.move N'it''s', -7 ;");
    c.Execute("EXECUTE Move");
    EXPECT_EQ(calls, (std::vector<std::vector<std::string>>{
                         {"Outbox_High_Auto", "42"}, {"it's", "-7"}, {}}));
    EXPECT_EQ(ErrorOf([&] { c.Execute("EXEC [dbo].[Other] 1"); }),
              "Could not find stored procedure 'Other'.");
    // Not a call form we know: SQLite's own error.
    EXPECT_NE(ErrorOf([&] { c.Execute("EXEC [dbo].[Move] 'a',"); }).find("syntax error"),
              std::string::npos);
}

TEST(SQLiteConnection, AMovedDatabaseFileCountsAsALostConnection) {
    TempDir dir;
    Connection c;
    c.OpenSQLite(dir.File("m.sqlite"), Connection::OpenMode::CreateIfMissing);
    CreateSample(c);
    fs::rename(dir.File("m.sqlite"), dir.File("gone.sqlite"));
    try {
        c.Query("SELECT * FROM T");
        FAIL() << "query on a moved file succeeded";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.ConnectionLost());
    }
    try {
        c.Execute("UPDATE T SET Num = 2");
        FAIL() << "update on a moved file succeeded";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.ConnectionLost()) << e.what();
    }
}

}  // namespace
