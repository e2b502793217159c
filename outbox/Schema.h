// The outbox database's schema in the two dialects: the SQL Server statements exactly as
// the installer sends them, and the embedded SQLite equivalent with the same tables,
// columns, defaults, identities and the move of a sent row to Sent_Item.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/db/db.h"

namespace kavar::outbox {

// Statements inside the SMS database, in the order they are sent. Each is its own batch;
// line breaks inside them are a single carriage return.
struct TSqlSchemaStatements {
    std::vector<std::string> Tables;       // 12 tables and, after each outbox table, its RowID step
    std::vector<std::string> Defaults;     // 9 default constraints
    std::vector<std::string> LateColumns;  // 17 columns added to older tables
    std::string DropProcedure;
    std::string CreateProcedure;

    std::vector<std::string> All() const;
};
const TSqlSchemaStatements& TSqlSchema();

// Server-level statements, run on the server's Master database.
// The existence test (opened for rows; at least one row means the database exists).
std::string TSqlDatabaseExistsQuery(const std::string& dbName);
// CREATE DATABASE, the compatibility level, full text, the 26 options and vardecimal
// storage, in this order.
std::vector<std::string> TSqlCreateDatabase(const std::string& dbName);

// A text as a T-SQL string literal: in single quotes, inner single quotes doubled.
std::string QuotedStr(const std::string& text);
// A name as a T-SQL identifier: in brackets, inner "]" doubled.
std::string BracketQuoted(const std::string& name);

// CREATE TABLE IF NOT EXISTS for every table, complete with the late columns.
const std::vector<std::string>& SQLiteSchema();

// Brings the database behind the connection up to the schema. SQL Server: the
// statements of TSqlSchema in order; SQLite: a database without objects first gets the
// options of ApplySQLiteDatabaseOptions, then UpgradeSQLiteSchema and PrepareConnection.
// Raises EDatabaseError at the first failure.
void InstallSchema(db::Connection& connection);

// The options of a new embedded database (page size, no auto-vacuum, write-ahead log),
// for the attached database schema ("main" for the connection's own). They only take
// full effect before the database's first table.
void ApplySQLiteDatabaseOptions(db::Connection& connection, const std::string& schema);

// The embedded counterpart of TSqlSchema's statements, with the same idempotence: every
// missing table created; an outbox table without RowID, or without one of its defaults,
// rebuilt in one transaction with its rows kept in their order and RowID appended; the
// missing late columns appended. Each step commits on its own; a complete database is
// not written to. Raises EDatabaseError at the first failure.
void UpgradeSQLiteSchema(db::Connection& connection);

// Makes a connection ready for the dispatcher: on SQLite, where there are no stored
// procedures, "EXEC [dbo].[SendedSMSMoveToSendItem] 'table',rowid" runs
// MoveToSentItem. Nothing to do on SQL Server.
void PrepareConnection(db::Connection& connection);

// The procedure's work on SQLite: in one transaction, copy the outbox row RowID of the
// table into Sent_Item and delete it. No such row: nothing happens. A failure (a NULL or
// duplicate SmsID) rolls back, keeps the row and raises the database's error.
void MoveToSentItem(db::Connection& connection, const std::string& srcTblName, std::int32_t srcId);

// The server's default text for a date-time in a varchar column ("Dec  1 2024  9:05AM"),
// local time; used for Send_Date on SQLite.
std::string ServerDateTimeText(std::int64_t unixSeconds);

}  // namespace kavar::outbox
