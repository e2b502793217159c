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

}  // namespace kavar::outbox
