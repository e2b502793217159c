#include "platform/db/db.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_map>

namespace kavar::db {

namespace {

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

bool IStartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && IEquals(s.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

}  // namespace

// ---------------------------------------------------------------------------------------
// Backend interface

class Backend {
  public:
    virtual ~Backend() = default;
    virtual Dialect GetDialect() const = 0;
    virtual std::string DbmsName() const = 0;
    virtual std::int64_t Execute(const std::string& sql) = 0;
    virtual std::int64_t Execute(const std::string& sql,
                                 const std::vector<std::string>& params) = 0;
    virtual Recordset Query(const std::string& sql) = 0;
};

namespace {

// ---------------------------------------------------------------------------------------
// SQLite

// Errors after which the handle no longer reaches a sound database file.
bool SQLiteConnectionLost(int extendedCode) {
    switch (extendedCode & 0xFF) {
        case SQLITE_IOERR:
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_CANTOPEN:
            return true;
        default:
            return extendedCode == SQLITE_READONLY_DBMOVED;
    }
}

class SQLiteBackend final : public Backend {
  public:
    SQLiteBackend(const std::string& path, Connection::OpenMode mode) : path_(path) {
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
        if (mode == Connection::OpenMode::CreateIfMissing) flags |= SQLITE_OPEN_CREATE;
        int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
        if (rc != SQLITE_OK) {
            std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close_v2(db_);
            db_ = nullptr;
            throw EDatabaseError(msg + " (" + path + ")");
        }
        try {
            sqlite3_extended_result_codes(db_, 1);
            // Waiting for another process's lock is what both time-outs mean here:
            // the open waits up to the connection time-out, statements up to the
            // command time-out.
            sqlite3_busy_timeout(db_, kConnectionTimeoutSec * 1000);
            // SQLite opens lazily; reading the schema proves the file is a database.
            Exec("SELECT count(*) FROM sqlite_master");
            sqlite3_busy_timeout(db_, kCommandTimeoutSec * 1000);
            if (JournalMode() == "wal") {
                Exec("PRAGMA synchronous=NORMAL");
                // A checkpoint costs two flushes whatever its size; at the default of
                // 1000 pages one came every few hundred rows of a send cycle.
                Exec("PRAGMA wal_autocheckpoint=10000");
            }
        } catch (...) {
            sqlite3_close_v2(db_);
            db_ = nullptr;
            throw;
        }
    }

    ~SQLiteBackend() override {
        for (auto& entry : cache_) sqlite3_finalize(entry.second);
        sqlite3_close_v2(db_);
    }

    Dialect GetDialect() const override { return Dialect::SQLite; }
    std::string DbmsName() const override { return "SQLite"; }

    std::int64_t Execute(const std::string& sql) override {
        CheckNotMoved();
        return Exec(sql);
    }

    std::int64_t Execute(const std::string& sql, const std::vector<std::string>& params) override {
        CheckNotMoved();
        sqlite3_stmt* stmt = Cached(sql);
        struct Reset {
            sqlite3_stmt* s;
            ~Reset() {
                sqlite3_reset(s);
                sqlite3_clear_bindings(s);
            }
        } reset{stmt};
        if (static_cast<int>(params.size()) != sqlite3_bind_parameter_count(stmt))
            throw EDatabaseError("the statement expects " +
                                 std::to_string(sqlite3_bind_parameter_count(stmt)) +
                                 " parameters, not " + std::to_string(params.size()));
        for (std::size_t i = 0; i < params.size(); ++i)
            // No copy: the texts outlive the step, and the bindings are cleared after it.
            Check(sqlite3_bind_text(stmt, static_cast<int>(i + 1), params[i].data(),
                                    static_cast<int>(params[i].size()), SQLITE_STATIC));
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        }
        if (rc != SQLITE_DONE) Fail(rc);
        return sqlite3_changes64(db_);
    }

    Recordset Query(const std::string& sql) override {
        CheckNotMoved();
        Recordset rs;
        const char* tail = nullptr;
        sqlite3_stmt* stmt = nullptr;
        Check(sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail));
        if (!stmt) throw EDatabaseError("the query holds no statement");
        std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> guard(stmt, sqlite3_finalize);
        const char* end = sql.c_str() + sql.size();
        while (tail < end && (IsBlank(*tail) || *tail == ';')) ++tail;
        if (tail != end) throw EDatabaseError("a query must be a single statement");

        const int columns = sqlite3_column_count(stmt);
        std::vector<std::string> names;
        for (int i = 0; i < columns; ++i) names.emplace_back(sqlite3_column_name(stmt, i));
        rs.SetFields(std::move(names));

        char number[32];
        for (;;) {
            int rc = sqlite3_step(stmt);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) Fail(rc);
            for (int i = 0; i < columns; ++i) {
                switch (sqlite3_column_type(stmt, i)) {
                    case SQLITE_NULL:
                        rs.AppendNull();
                        break;
                    case SQLITE_INTEGER: {
                        auto r = std::to_chars(number, number + sizeof number,
                                               sqlite3_column_int64(stmt, i));
                        rs.AppendText(std::string_view(number, r.ptr - number));
                        break;
                    }
                    case SQLITE_FLOAT: {
                        auto r = std::to_chars(number, number + sizeof number,
                                               sqlite3_column_double(stmt, i));
                        rs.AppendText(std::string_view(number, r.ptr - number));
                        break;
                    }
                    default: {
                        // Text and blob alike: the bytes as stored.
                        const void* p = sqlite3_column_blob(stmt, i);
                        int n = sqlite3_column_bytes(stmt, i);
                        rs.AppendText(std::string_view(static_cast<const char*>(p), n));
                    }
                }
            }
            rs.EndRow();
        }
        return rs;
    }

  private:
    std::int64_t Exec(const std::string& sql) {
        const char* p = sql.c_str();
        const char* end = p + sql.size();
        std::int64_t changes = 0;
        while (p < end) {
            sqlite3_stmt* stmt = nullptr;
            const char* tail = nullptr;
            Check(sqlite3_prepare_v2(db_, p, static_cast<int>(end - p), &stmt, &tail));
            p = tail;
            if (!stmt) continue;  // blanks or a comment
            std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> guard(stmt,
                                                                             sqlite3_finalize);
            int rc;
            while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            }
            if (rc != SQLITE_DONE) Fail(rc);
            changes = sqlite3_changes64(db_);
        }
        return changes;
    }

    std::string JournalMode() {
        sqlite3_stmt* stmt = nullptr;
        Check(sqlite3_prepare_v2(db_, "PRAGMA journal_mode", -1, &stmt, nullptr));
        std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> guard(stmt, sqlite3_finalize);
        int rc = sqlite3_step(stmt);
        if (rc != SQLITE_ROW) Fail(rc);
        auto text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        return text ? text : "";
    }

    // Parameterised statements are few and repeat every row; a bounded cache keeps
    // their parsing out of the loop.
    sqlite3_stmt* Cached(const std::string& sql) {
        auto it = cache_.find(sql);
        if (it != cache_.end()) return it->second;
        if (cache_.size() >= kCacheSize) {
            for (auto& entry : cache_) sqlite3_finalize(entry.second);
            cache_.clear();
        }
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        Check(sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                                 SQLITE_PREPARE_PERSISTENT, &stmt, &tail));
        if (!stmt) throw EDatabaseError("the statement is empty");
        cache_.emplace(sql, stmt);
        return stmt;
    }

    // A file deleted or renamed under an open handle still reads and, in WAL mode,
    // even writes fine on Linux: rows read from it would be sent and their outcome
    // written where nobody will find it. Checked where a transaction starts; inside
    // one, the check at its start holds.
    void CheckNotMoved() {
        if (!sqlite3_get_autocommit(db_)) return;
        int moved = 0;
        if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved)
            throw EDatabaseError("the database file was moved or deleted (" + path_ + ")", true);
    }

    void Check(int rc) {
        if (rc != SQLITE_OK) Fail(rc);
    }

    [[noreturn]] void Fail(int) {
        int code = sqlite3_extended_errcode(db_);
        throw EDatabaseError(sqlite3_errmsg(db_), SQLiteConnectionLost(code));
    }

    static constexpr std::size_t kCacheSize = 16;
    sqlite3* db_ = nullptr;
    std::string path_;
    std::unordered_map<std::string, sqlite3_stmt*> cache_;
};

// ---------------------------------------------------------------------------------------
// ODBC

struct Diagnostic {
    std::string state;
    std::string message;
    bool connectionLost = false;
};

Diagnostic ReadDiagnostic(SQLSMALLINT type, SQLHANDLE handle) {
    Diagnostic d;
    std::string firstError, firstWarning, errorState, warningState;
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR text[2048];
        SQLSMALLINT len = 0;
        SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, text, sizeof text, &len);
        if (!SQL_SUCCEEDED(rc)) break;
        std::string s(reinterpret_cast<char*>(state));
        std::string m(reinterpret_cast<char*>(text), std::min<std::size_t>(len, sizeof text - 1));
        if (s.rfind("08", 0) == 0) d.connectionLost = true;
        // Warnings (class 01) come before the error that matters in some drivers.
        if (s.rfind("01", 0) == 0) {
            if (firstWarning.empty()) firstWarning = m, warningState = s;
        } else if (firstError.empty()) {
            firstError = m, errorState = s;
        }
    }
    if (!firstError.empty()) {
        d.message = firstError;
        d.state = errorState;
    } else {
        d.message = firstWarning;
        d.state = warningState;
    }
    if (d.message.empty()) d.message = "ODBC call failed without diagnostics";
    return d;
}

[[noreturn]] void ThrowOdbc(SQLSMALLINT type, SQLHANDLE handle) {
    Diagnostic d = ReadDiagnostic(type, handle);
    throw EDatabaseError(d.message, d.connectionLost, d.state);
}

class OdbcStatement {
  public:
    explicit OdbcStatement(SQLHDBC dbc) {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt_)))
            ThrowOdbc(SQL_HANDLE_DBC, dbc);
        // Not every driver honours a query time-out; a refusal is no reason to fail.
        SQLSetStmtAttr(stmt_, SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(kCommandTimeoutSec)), 0);
    }
    ~OdbcStatement() { SQLFreeHandle(SQL_HANDLE_STMT, stmt_); }
    OdbcStatement(const OdbcStatement&) = delete;
    OdbcStatement& operator=(const OdbcStatement&) = delete;

    // SQL_NO_DATA (an update that touched no row) is success.
    SQLRETURN Check(SQLRETURN rc) {
        if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) ThrowOdbc(SQL_HANDLE_STMT, stmt_);
        return rc;
    }
    SQLHSTMT get() const { return stmt_; }

  private:
    SQLHSTMT stmt_ = SQL_NULL_HSTMT;
};

class OdbcBackend final : public Backend {
  public:
    explicit OdbcBackend(const std::string& connectString) {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_)))
            throw EDatabaseError("cannot allocate an ODBC environment");
        try {
            if (!SQL_SUCCEEDED(SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION,
                                             reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)))
                ThrowOdbc(SQL_HANDLE_ENV, env_);
            if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_)))
                ThrowOdbc(SQL_HANDLE_ENV, env_);
            SQLSetConnectAttr(
                dbc_, SQL_ATTR_LOGIN_TIMEOUT,
                reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(kConnectionTimeoutSec)), 0);
            std::string in = connectString;
            SQLCHAR out[1024];
            SQLSMALLINT outLen = 0;
            SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                                            SQL_NTS, out, sizeof out, &outLen, SQL_DRIVER_NOPROMPT);
            if (!SQL_SUCCEEDED(rc)) ThrowOdbc(SQL_HANDLE_DBC, dbc_);
            connected_ = true;

            SQLCHAR name[256] = {};
            SQLSMALLINT nameLen = 0;
            if (!SQL_SUCCEEDED(SQLGetInfo(dbc_, SQL_DBMS_NAME, name, sizeof name, &nameLen)))
                ThrowOdbc(SQL_HANDLE_DBC, dbc_);
            dbmsName_ = reinterpret_cast<char*>(name);
        } catch (...) {
            Release();
            throw;
        }
    }

    ~OdbcBackend() override { Release(); }

    // Only an SQLite driver speaks SQLite; every server we reach otherwise is SQL Server.
    Dialect GetDialect() const override {
        return dbmsName_.find("SQLite") != std::string::npos ? Dialect::SQLite : Dialect::TSql;
    }
    std::string DbmsName() const override { return dbmsName_; }

    std::int64_t Execute(const std::string& sql) override {
        OdbcStatement st(dbc_);
        std::string text = sql;
        SQLRETURN rc =
            st.Check(SQLExecDirect(st.get(), reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS));
        return WalkResults(st, rc);
    }

    std::int64_t Execute(const std::string& sql, const std::vector<std::string>& params) override {
        OdbcStatement st(dbc_);
        std::vector<SQLLEN> lengths(params.size());
        for (std::size_t i = 0; i < params.size(); ++i) {
            lengths[i] = static_cast<SQLLEN>(params[i].size());
            st.Check(
                SQLBindParameter(st.get(), static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT,
                                 SQL_C_CHAR, SQL_VARCHAR, std::max<SQLULEN>(params[i].size(), 1), 0,
                                 const_cast<char*>(params[i].data()), lengths[i], &lengths[i]));
        }
        std::string text = sql;
        SQLRETURN rc =
            st.Check(SQLExecDirect(st.get(), reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS));
        return WalkResults(st, rc);
    }

    Recordset Query(const std::string& sql) override {
        OdbcStatement st(dbc_);
        std::string text = sql;
        st.Check(SQLExecDirect(st.get(), reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS));
        SQLSMALLINT columns = 0;
        st.Check(SQLNumResultCols(st.get(), &columns));
        Recordset rs;
        std::vector<std::string> names;
        for (SQLSMALLINT i = 1; i <= columns; ++i) {
            SQLCHAR name[256] = {};
            SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
            SQLULEN size = 0;
            st.Check(SQLDescribeCol(st.get(), i, name, sizeof name, &nameLen, &type, &size, &digits,
                                    &nullable));
            names.emplace_back(reinterpret_cast<char*>(name));
        }
        rs.SetFields(std::move(names));

        std::string value;
        char buffer[4096];
        for (;;) {
            SQLRETURN rc = st.Check(SQLFetch(st.get()));
            if (rc == SQL_NO_DATA) break;
            for (SQLSMALLINT i = 1; i <= columns; ++i) {
                value.clear();
                bool null = false;
                for (;;) {
                    SQLLEN indicator = 0;
                    rc = st.Check(
                        SQLGetData(st.get(), i, SQL_C_CHAR, buffer, sizeof buffer, &indicator));
                    if (rc == SQL_NO_DATA) break;  // every part read
                    if (indicator == SQL_NULL_DATA) {
                        null = true;
                        break;
                    }
                    // A part fills the buffer but for its terminating zero.
                    std::size_t part = (indicator == SQL_NO_TOTAL ||
                                        indicator >= static_cast<SQLLEN>(sizeof buffer))
                                           ? sizeof buffer - 1
                                           : static_cast<std::size_t>(indicator);
                    value.append(buffer, part);
                    if (rc == SQL_SUCCESS) break;
                }
                if (null)
                    rs.AppendNull();
                else
                    rs.AppendText(value);
            }
            rs.EndRow();
        }
        return rs;
    }

  private:
    // A batch reports an error of a later statement only when its results are walked,
    // so walk them all, also after a first statement that touched no row.
    static std::int64_t WalkResults(OdbcStatement& st, SQLRETURN rc) {
        std::int64_t changes = 0;
        for (;;) {
            SQLLEN count = 0;
            if (rc != SQL_NO_DATA && SQL_SUCCEEDED(SQLRowCount(st.get(), &count)) && count >= 0)
                changes = count;
            rc = st.Check(SQLMoreResults(st.get()));
            if (rc == SQL_NO_DATA) return changes;
        }
    }

    void Release() {
        if (dbc_ != SQL_NULL_HDBC) {
            if (connected_) SQLDisconnect(dbc_);
            SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
            dbc_ = SQL_NULL_HDBC;
        }
        if (env_ != SQL_NULL_HENV) {
            SQLFreeHandle(SQL_HANDLE_ENV, env_);
            env_ = SQL_NULL_HENV;
        }
    }

    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    bool connected_ = false;
    std::string dbmsName_;
};

// ---------------------------------------------------------------------------------------
// T-SQL's ISNULL(a, b) is SQLite's IFNULL(a, b); in SQLite ISNULL is a postfix operator
// and the server's form does not even parse. Rewritten outside literals, quoted names
// and comments, so statements written for the server run unchanged.

std::string AdaptForSQLite(const std::string& sql) {
    std::string out;
    out.reserve(sql.size());
    std::size_t i = 0;
    const std::size_t n = sql.size();
    auto isWord = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    while (i < n) {
        char c = sql[i];
        char close = c == '\'' ? '\'' : c == '"' ? '"' : c == '[' ? ']' : c == '`' ? '`' : 0;
        if (close) {
            std::size_t end = sql.find(close, i + 1);
            end = end == std::string::npos ? n : end + 1;
            out.append(sql, i, end - i);
            i = end;
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            std::size_t end = sql.find('\n', i);
            end = end == std::string::npos ? n : end;
            out.append(sql, i, end - i);
            i = end;
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            std::size_t end = sql.find("*/", i + 2);
            end = end == std::string::npos ? n : end + 2;
            out.append(sql, i, end - i);
            i = end;
        } else if (isWord(c)) {
            std::size_t end = i;
            while (end < n && isWord(sql[end])) ++end;
            std::string_view word(sql.data() + i, end - i);
            std::size_t next = end;
            while (next < n && IsBlank(sql[next])) ++next;
            if (IEquals(word, "isnull") && next < n && sql[next] == '(')
                out += "ifnull";
            else
                out.append(word);
            i = end;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

// Most statements hold no ISNULL at all; they run as they are, without a rewritten copy.
bool MayNeedAdapting(std::string_view sql) {
    for (std::size_t i = 0; i + 6 <= sql.size(); ++i)
        if ((sql[i] == 'i' || sql[i] == 'I') && IEquals(sql.substr(i, 6), "isnull")) return true;
    return false;
}

// ---------------------------------------------------------------------------------------
// "EXEC [dbo].[Name] 'text',42" on a dialect without stored procedures.

struct ProcedureCall {
    std::string name;
    std::vector<std::string> args;
};

bool ParseProcedureCall(std::string_view s, ProcedureCall& call) {
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < s.size() && IsBlank(s[i])) ++i;
    };
    skipBlanks();
    std::string_view rest = s.substr(i);
    if (IStartsWith(rest, "EXECUTE") && rest.size() > 7 && IsBlank(rest[7]))
        i += 7;
    else if (IStartsWith(rest, "EXEC") && rest.size() > 4 && IsBlank(rest[4]))
        i += 4;
    else
        return false;
    skipBlanks();

    // Name: parts separated by ".", each bracketed or a plain identifier; the last
    // part is the procedure's name.
    for (;;) {
        std::string part;
        if (i < s.size() && s[i] == '[') {
            std::size_t close = s.find(']', i + 1);
            if (close == std::string_view::npos) return false;
            part = s.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            std::size_t start = i;
            while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_' ||
                                    s[i] == '#' || s[i] == '@' || s[i] == '$'))
                ++i;
            if (i == start) return false;
            part = s.substr(start, i - start);
        }
        call.name = part;
        if (i < s.size() && s[i] == '.') {
            ++i;
            continue;
        }
        break;
    }

    skipBlanks();
    bool expectArg = false;
    while (i < s.size() && s[i] != ';') {
        if (i < s.size() && (s[i] == 'N' || s[i] == 'n') && i + 1 < s.size() && s[i + 1] == '\'')
            ++i;
        if (s[i] == '\'') {
            std::string text;
            ++i;
            for (;;) {
                if (i >= s.size()) return false;
                if (s[i] == '\'') {
                    if (i + 1 < s.size() && s[i + 1] == '\'') {
                        text += '\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                text += s[i++];
            }
            call.args.push_back(std::move(text));
        } else {
            std::size_t start = i;
            if (s[i] == '-' || s[i] == '+') ++i;
            while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
            if (i == start || !std::isdigit(static_cast<unsigned char>(s[i - 1]))) return false;
            call.args.emplace_back(s.substr(start, i - start));
        }
        expectArg = false;
        skipBlanks();
        if (i < s.size() && s[i] == ',') {
            ++i;
            expectArg = true;
            skipBlanks();
        } else {
            break;
        }
    }
    if (expectArg) return false;
    while (i < s.size() && (IsBlank(s[i]) || s[i] == ';')) ++i;
    return i == s.size();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Settings

std::string OdbcQuote(std::string_view value) {
    std::string out = "{";
    for (char c : value) {
        out += c;
        if (c == '}') out += '}';
    }
    out += '}';
    return out;
}

ConnectionTarget ResolveTarget(const ConnectionSettings& settings) {
    ConnectionTarget target;
    const std::string& server = settings.ServerName;
    if (IStartsWith(server, "sqlite:")) {
        std::string folder = server.substr(7);
        if (folder.empty()) folder = settings.DefaultFolder;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        target.kind = ConnectionTarget::Kind::SQLiteFile;
        target.SQLitePath =
            (folder.empty() ? std::string() : folder + "/") + settings.Database + ".sqlite";
    } else if (IStartsWith(server, "odbc:")) {
        target.kind = ConnectionTarget::Kind::Odbc;
        target.OdbcConnectString = server.substr(5);
    } else {
        target.kind = ConnectionTarget::Kind::Odbc;
        std::string driver = settings.OdbcDriver.empty() ? kDefaultOdbcDriver : settings.OdbcDriver;
        // ClientCharset: FreeTDS hands text over as UTF-8, the program's own encoding;
        // other drivers ignore the attribute.
        target.OdbcConnectString = "Driver=" + OdbcQuote(driver) + ";Server=" + OdbcQuote(server) +
                                   ";Database=" + OdbcQuote(settings.Database) +
                                   ";UID=" + OdbcQuote(settings.User) +
                                   ";PWD=" + OdbcQuote(settings.Password) + ";ClientCharset=UTF-8;";
    }
    return target;
}

// ---------------------------------------------------------------------------------------
// Field and Recordset

std::int32_t Field::AsInteger() const {
    if (null_) return 0;
    std::string_view t = text_;
    while (!t.empty() && IsBlank(t.front())) t.remove_prefix(1);
    while (!t.empty() && IsBlank(t.back())) t.remove_suffix(1);
    std::string_view digits = t;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    std::int32_t value = 0;
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (!digits.empty() && r.ec == std::errc() && r.ptr == digits.data() + digits.size())
        return value;
    // A real that holds a whole number (a value stored through a floating column).
    double real = 0;
    auto rr = std::from_chars(digits.data(), digits.data() + digits.size(), real);
    if (!digits.empty() && rr.ec == std::errc() && rr.ptr == digits.data() + digits.size() &&
        std::trunc(real) == real && real >= INT32_MIN && real <= INT32_MAX)
        return static_cast<std::int32_t>(real);
    throw EDatabaseError("'" + std::string(text_) + "' is not a valid integer value for field '" +
                         *name_ + "'");
}

int Recordset::FindField(std::string_view name) const {
    for (std::size_t i = 0; i < names_.size(); ++i)
        if (IEquals(names_[i], name)) return static_cast<int>(i);
    return -1;
}

int Recordset::FieldIndex(std::string_view name) const {
    int i = FindField(name);
    if (i < 0) throw EDatabaseError("Field '" + std::string(name) + "' not found");
    return i;
}

Field Recordset::FieldAt(int index) const { return Value(static_cast<int>(row_), index); }

Field Recordset::Value(int row, int index) const {
    if (row < 0 || static_cast<std::size_t>(row) >= rowCount_)
        throw EDatabaseError("no current record");
    if (index < 0 || static_cast<std::size_t>(index) >= names_.size())
        throw EDatabaseError("field index out of range");
    const Cell& c = cells_[static_cast<std::size_t>(row) * names_.size() + index];
    if (c.length == kNull) return Field(&names_[index], {}, true);
    return Field(&names_[index], std::string_view(data_).substr(c.offset, c.length), false);
}

void Recordset::SetFields(std::vector<std::string> names) {
    Clear();
    names_ = std::move(names);
}

void Recordset::AppendNull() { cells_.push_back({0, kNull}); }

void Recordset::AppendText(std::string_view text) {
    if (data_.size() + text.size() >= kNull)
        throw EDatabaseError("the query's result is too large to hold");
    cells_.push_back(
        {static_cast<std::uint32_t>(data_.size()), static_cast<std::uint32_t>(text.size())});
    data_.append(text);
}

void Recordset::EndRow() { ++rowCount_; }

void Recordset::Clear() {
    names_.clear();
    cells_.clear();
    cells_.shrink_to_fit();
    data_.clear();
    data_.shrink_to_fit();
    rowCount_ = 0;
    row_ = 0;
}

// ---------------------------------------------------------------------------------------
// Connection

Connection::Connection() = default;
Connection::~Connection() = default;

void Connection::Open(const ConnectionSettings& settings, OpenMode mode) {
    ConnectionTarget target = ResolveTarget(settings);
    if (target.kind == ConnectionTarget::Kind::SQLiteFile)
        OpenSQLite(target.SQLitePath, mode);
    else
        OpenOdbc(target.OdbcConnectString);
}

void Connection::OpenSQLite(const std::string& path, OpenMode mode) {
    Close();
    backend_ = std::make_unique<SQLiteBackend>(path, mode);
}

void Connection::OpenOdbc(const std::string& connectString) {
    Close();
    backend_ = std::make_unique<OdbcBackend>(connectString);
}

void Connection::Close() noexcept { backend_.reset(); }

bool Connection::Connected() const { return backend_ != nullptr; }

Backend& Connection::Require() const {
    if (!backend_) throw EDatabaseError("the connection is closed");
    return *backend_;
}

Dialect Connection::GetDialect() const { return Require().GetDialect(); }

std::string Connection::DbmsName() const { return Require().DbmsName(); }

std::int64_t Connection::Execute(const std::string& sql) {
    Backend& backend = Require();
    if (backend.GetDialect() != Dialect::SQLite) return backend.Execute(sql);
    if (RunEmulatedProcedure(sql)) return 0;
    if (!MayNeedAdapting(sql)) return backend.Execute(sql);
    return backend.Execute(AdaptForSQLite(sql));
}

std::int64_t Connection::Execute(const std::string& sql, const std::vector<std::string>& params) {
    Backend& backend = Require();
    if (backend.GetDialect() != Dialect::SQLite || !MayNeedAdapting(sql))
        return backend.Execute(sql, params);
    return backend.Execute(AdaptForSQLite(sql), params);
}

Recordset Connection::Query(const std::string& sql) {
    Backend& backend = Require();
    if (backend.GetDialect() != Dialect::SQLite || !MayNeedAdapting(sql)) return backend.Query(sql);
    return backend.Query(AdaptForSQLite(sql));
}

void Connection::RegisterProcedure(const std::string& name, Procedure procedure) {
    for (auto& entry : procedures_) {
        if (IEquals(entry.first, name)) {
            entry.second = std::move(procedure);
            return;
        }
    }
    procedures_.emplace_back(name, std::move(procedure));
}

bool Connection::RunEmulatedProcedure(const std::string& sql) {
    ProcedureCall call;
    if (!ParseProcedureCall(sql, call)) return false;
    for (auto& entry : procedures_) {
        if (IEquals(entry.first, call.name)) {
            entry.second(*this, call.args);
            return true;
        }
    }
    throw EDatabaseError("Could not find stored procedure '" + call.name + "'.");
}

}  // namespace kavar::db
