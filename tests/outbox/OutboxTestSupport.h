// Helpers of the outbox tests: a temporary program folder, a real SQLite outbox database
// in it, and small readers of rows.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "outbox/Schema.h"
#include "platform/db/db.h"

namespace kavar::test {

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kavar-outbox-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    std::string Path() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

// A new database file with the schema installed.
inline void CreateOutboxDatabase(const std::string& path) {
    db::Connection c;
    c.OpenSQLite(path, db::Connection::OpenMode::CreateIfMissing);
    outbox::InstallSchema(c);
}

// Every row of a query, each value as text ("NULL" for null).
inline std::vector<std::vector<std::string>> Rows(db::Connection& c, const std::string& sql) {
    auto rs = c.Query(sql);
    std::vector<std::vector<std::string>> rows;
    for (rs.First(); !rs.Eof(); rs.Next()) {
        std::vector<std::string> row;
        for (int i = 0; i < rs.FieldCount(); ++i)
            row.push_back(rs.FieldAt(i).IsNull() ? "NULL" : rs.FieldAt(i).AsString());
        rows.push_back(row);
    }
    return rows;
}

inline int Count(db::Connection& c, const std::string& table) {
    auto rs = c.Query("SELECT count(*) FROM " + table);
    return rs.Value(0, 0).AsInteger();
}

}  // namespace kavar::test
