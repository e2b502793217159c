#include "outbox/Installer.h"

#include <sys/stat.h>

#include "outbox/Schema.h"

namespace kavar::outbox {

namespace {

// The embedded database's "server" stage, run on ACMaster (an in-memory connection):
// the file is attached, which creates it, and gets its options; an existing file is
// left exactly as it is. An empty file counts as missing: SQLite sees no database in
// it yet, and the options can still be set.
void CreateSQLiteDatabaseFile(db::Connection& ACMaster, const std::string& path,
                              const std::string& dbName) {
    // Without a name the file would be the hidden "<folder>/.sqlite".
    if (dbName.empty()) throw db::EDatabaseError("The database name is empty.");
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_size > 0)) return;
    ACMaster.Execute("ATTACH DATABASE ? AS kavar_new", {path});
    try {
        ApplySQLiteDatabaseOptions(ACMaster, "kavar_new");
    } catch (...) {
        try {
            ACMaster.Execute("DETACH DATABASE kavar_new");
        } catch (const db::EDatabaseError&) {
            // The option's error is the one to report.
        }
        throw;
    }
    ACMaster.Execute("DETACH DATABASE kavar_new");
}

class TLiveConnections final : public TInstallConnections {
  public:
    TLiveConnections(const TAppSetting& setting, db::Connection& master,
                     TOutboxDispatcher& dispatcher)
        : setting_(setting), master_(master), dispatcher_(dispatcher) {}

    db::Dialect OpenMaster() override {
        if (!master_.Connected()) {
            const db::ConnectionSettings settings = MasterConnectionSettingsOf(setting_);
            if (db::ResolveTarget(settings).kind == db::ConnectionTarget::Kind::SQLiteFile)
                master_.OpenSQLite(":memory:", db::Connection::OpenMode::CreateIfMissing);
            else
                master_.Open(settings);
        }
        return master_.GetDialect();
    }
    bool MasterQueryHasRows(const std::string& sql) override {
        return master_.Query(sql).RecordCount() > 0;
    }
    void MasterExecute(const std::string& sql) override { master_.Execute(sql); }
    void CreateEmbeddedDatabase() override {
        // The file the dispatcher will open. An ODBC data source whose DBMS is SQLite is
        // a database already: its driver made the file when it connected.
        const db::ConnectionTarget target = db::ResolveTarget(ConnectionSettingsOf(setting_));
        if (target.kind != db::ConnectionTarget::Kind::SQLiteFile) return;
        CreateSQLiteDatabaseFile(master_, target.SQLitePath, setting_.SQL_DBName);
    }
    bool SwitchToDatabase() override { return dispatcher_.InitializeDatabase(true); }
    db::Dialect DatabaseDialect() override { return dispatcher_.Connection().GetDialect(); }
    void DatabaseExecute(const std::string& sql) override { dispatcher_.Connection().Execute(sql); }
    void UpgradeEmbeddedDatabase() override {
        db::Connection& AC = dispatcher_.Connection();
        UpgradeSQLiteSchema(AC);
        PrepareConnection(AC);
    }

  private:
    const TAppSetting& setting_;
    db::Connection& master_;
    TOutboxDispatcher& dispatcher_;
};

}  // namespace

db::ConnectionSettings MasterConnectionSettingsOf(const TAppSetting& AppSetting) {
    db::ConnectionSettings settings = ConnectionSettingsOf(AppSetting);
    settings.Database = "Master";
    return settings;
}

void InstallDatabase(const std::string& dbName, TInstallConnections& connections) {
    if (connections.OpenMaster() == db::Dialect::TSql) {
        if (!connections.MasterQueryHasRows(TSqlDatabaseExistsQuery(dbName)))
            for (const std::string& statement : TSqlCreateDatabase(dbName))
                connections.MasterExecute(statement);
    } else {
        connections.CreateEmbeddedDatabase();
    }

    // Without the SMS database every later statement would land on the server-level
    // connection, in the wrong database; the dispatcher has reported why it failed.
    if (!connections.SwitchToDatabase())
        throw db::EDatabaseError("Could not connect to the database " + dbName +
                                 "; the installation stopped before its tables.");

    if (connections.DatabaseDialect() == db::Dialect::TSql) {
        for (const std::string& statement : TSqlSchema().All())
            connections.DatabaseExecute(statement);
    } else {
        connections.UpgradeEmbeddedDatabase();
    }
}

void InstallDatabase(const TAppSetting& AppSetting, db::Connection& ACMaster,
                     TOutboxDispatcher& dispatcher) {
    TLiveConnections connections(AppSetting, ACMaster, dispatcher);
    InstallDatabase(AppSetting.SQL_DBName, connections);
}

}  // namespace kavar::outbox
