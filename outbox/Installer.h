// The database installer: creates the SMS database when it is missing and brings an
// existing one up to the schema. Runs in the control panel only, on its thread.
#pragma once

#include <string>
#include <vector>

#include "outbox/Dispatcher.h"
#include "platform/db/db.h"
#include "shared/uSmsUtils.h"

namespace kavar::outbox {

// Both stages, in order. ACMaster is the server-level connection: opened from the
// settings on the first run and then kept open and reused unchanged by later runs.
// The switch to the SMS database goes through the dispatcher's
// InitializeDatabase(ConnectOnly = true), whose own failure texts reach the host.
// The first failure ends the run and raises an exception carrying the server's or the
// provider's text; what ran before stays done. Returns normally on success only.
void InstallDatabase(const TAppSetting& AppSetting, db::Connection& ACMaster,
                     TOutboxDispatcher& dispatcher);

// The settings ACMaster opens with: the configured server and login on its Master
// database. An "odbc:" server keeps its connection string as written; an embedded
// ("sqlite:") server has no master database and ACMaster is an in-memory connection.
db::ConnectionSettings MasterConnectionSettingsOf(const TAppSetting& AppSetting);

// One run's two connections as the installer drives them. InstallDatabase binds them
// to ACMaster and the dispatcher; the order of the server's statements can be checked
// through another binding, since no SQL Server runs in tests.
class TInstallConnections {
  public:
    virtual ~TInstallConnections() = default;
    // Opens the server-level connection unless it is open; returns its dialect.
    virtual db::Dialect OpenMaster() = 0;
    // On the server-level connection: a query (true when it returns a row), a statement.
    virtual bool MasterQueryHasRows(const std::string& sql) = 0;
    virtual void MasterExecute(const std::string& sql) = 0;
    // The embedded server stage: the database file created, with its options, when missing.
    virtual void CreateEmbeddedDatabase() = 0;
    // Connects to the SMS database (InitializeDatabase(true)); false when that failed.
    virtual bool SwitchToDatabase() = 0;
    virtual db::Dialect DatabaseDialect() = 0;
    virtual void DatabaseExecute(const std::string& sql) = 0;
    // The embedded database stage: UpgradeSQLiteSchema and the move routine.
    virtual void UpgradeEmbeddedDatabase() = 0;
};

// The run itself, on any binding: server stage, switch, database stage.
void InstallDatabase(const std::string& dbName, TInstallConnections& connections);

}  // namespace kavar::outbox
