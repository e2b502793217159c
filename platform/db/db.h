// The connection/recordset/command layer: a Connection that opens the embedded SQLite
// database or an ODBC data source, executes statements and opens client-side snapshots.
// Every failure raises EDatabaseError carrying the driver's own message text.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kavar::db {

// The SQL flavour the other side speaks; statements are written for it.
enum class Dialect { TSql, SQLite };

class EDatabaseError : public std::runtime_error {
  public:
    explicit EDatabaseError(const std::string& message, bool connectionLost = false,
                            std::string sqlState = {})
        : std::runtime_error(message),
          connectionLost_(connectionLost),
          sqlState_(std::move(sqlState)) {}
    // True when the connection itself is gone (server restarted, link broken, database
    // file moved away): the connection must be closed and opened again.
    bool ConnectionLost() const { return connectionLost_; }
    // ODBC SQLSTATE of the first diagnostic record; empty for SQLite.
    const std::string& SqlState() const { return sqlState_; }

  private:
    bool connectionLost_;
    std::string sqlState_;
};

constexpr int kConnectionTimeoutSec = 15;
constexpr int kCommandTimeoutSec = 30;
constexpr const char* kDefaultOdbcDriver = "FreeTDS";

// What the settings say about the database. ServerName selects the backend:
//   "sqlite:"          -> <DefaultFolder>/<Database>.sqlite
//   "sqlite:<folder>"  -> <folder>/<Database>.sqlite
//   "odbc:<string>"    -> that ODBC connection string, unchanged
//   anything else      -> SQL Server through ODBC with the driver OdbcDriver
struct ConnectionSettings {
    std::string ServerName;
    std::string User;
    std::string Password;
    std::string Database;
    std::string OdbcDriver = kDefaultOdbcDriver;
    std::string DefaultFolder;  // the program's folder
};

// The backend and target that ConnectionSettings resolve to.
struct ConnectionTarget {
    enum class Kind { SQLiteFile, Odbc } kind = Kind::SQLiteFile;
    std::string SQLitePath;         // Kind::SQLiteFile
    std::string OdbcConnectString;  // Kind::Odbc
};
ConnectionTarget ResolveTarget(const ConnectionSettings& settings);

// "{value}" with every "}" doubled: a value that cannot end its attribute early.
std::string OdbcQuote(std::string_view value);

// One value of a snapshot.
class Field {
  public:
    bool IsNull() const { return null_; }
    // Null reads as 0; a text that is not a whole number (or out of the 32-bit range)
    // raises EDatabaseError naming the field.
    std::int32_t AsInteger() const;
    // Null reads as the empty text.
    std::string AsString() const { return std::string(text_); }
    std::string_view Text() const { return text_; }
    const std::string& Name() const { return *name_; }

  private:
    friend class Recordset;
    Field(const std::string* name, std::string_view text, bool null)
        : name_(name), text_(text), null_(null) {}
    const std::string* name_;
    std::string_view text_;
    bool null_;
};

// A client-side snapshot of a query's rows, taken when the query ran. Values are kept
// as text (integers in decimal, reals in their shortest exact form, blobs as bytes).
class Recordset {
  public:
    Recordset() = default;

    int RecordCount() const { return static_cast<int>(rowCount_); }
    int FieldCount() const { return static_cast<int>(names_.size()); }
    const std::string& FieldName(int index) const { return names_.at(index); }
    // Index of a field by name, case-insensitively (ASCII); -1 when absent.
    int FindField(std::string_view name) const;
    // Like FindField, but a missing field raises EDatabaseError.
    int FieldIndex(std::string_view name) const;

    // Row navigation in query order.
    void First() { row_ = 0; }
    void Next() { ++row_; }
    bool Eof() const { return row_ >= rowCount_; }
    int RecNo() const { return static_cast<int>(row_); }

    // The value at the current row.
    Field FieldByName(std::string_view name) const { return FieldAt(FieldIndex(name)); }
    Field FieldAt(int index) const;
    // Any row, without moving.
    Field Value(int row, int index) const;

    // Building (backends).
    void SetFields(std::vector<std::string> names);
    void AppendNull();
    void AppendText(std::string_view text);
    void EndRow();
    void Clear();

  private:
    struct Cell {
        std::uint32_t offset;
        std::uint32_t length;  // kNull for NULL
    };
    static constexpr std::uint32_t kNull = 0xFFFFFFFFu;

    std::vector<std::string> names_;
    std::vector<Cell> cells_;
    std::string data_;
    std::size_t rowCount_ = 0;
    std::size_t row_ = 0;
};

class Backend;

// One database connection. Not thread-safe: one user at a time.
class Connection {
  public:
    enum class OpenMode { Existing, CreateIfMissing };
    // A statement "EXEC [dbo].[Name] arg,..." on a connection whose dialect has no
    // stored procedures runs the registered handler instead; arguments arrive as text
    // (string literals unquoted, numbers as written).
    using Procedure = std::function<void(Connection&, const std::vector<std::string>& args)>;

    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens by the settings (see ConnectionSettings). An open connection is closed first.
    void Open(const ConnectionSettings& settings, OpenMode mode = OpenMode::Existing);
    // An embedded database file. Existing: the file must already be a database.
    void OpenSQLite(const std::string& path, OpenMode mode = OpenMode::Existing);
    void OpenOdbc(const std::string& connectString);
    void Close() noexcept;
    bool Connected() const;

    Dialect GetDialect() const;
    // "SQLite" for the embedded backend, the driver's DBMS name for ODBC.
    std::string DbmsName() const;

    // Runs a statement (or, on SQLite, several separated by ";") that returns no rows
    // to the caller. Returns the number of rows the last statement changed when known.
    std::int64_t Execute(const std::string& sql);
    // One statement with "?" markers, each bound to the text of params in order. The
    // prepared statement is kept for the next call with the same text.
    std::int64_t Execute(const std::string& sql, const std::vector<std::string>& params);
    // Runs one query and returns all its rows.
    Recordset Query(const std::string& sql);

    // See Procedure. Names compare case-insensitively; the schema prefix is ignored.
    void RegisterProcedure(const std::string& name, Procedure procedure);

  private:
    bool RunEmulatedProcedure(const std::string& sql);
    Backend& Require() const;

    std::unique_ptr<Backend> backend_;
    std::vector<std::pair<std::string, Procedure>> procedures_;
};

}  // namespace kavar::db
