// The two questions the panel asks about the background service without talking to it:
// is it installed (and which list entry describes it), and does a process of a given
// program run. Free functions so the main window can hold the manager and the entry
// itself and delegate here.
#pragma once

#include <string_view>

#include "panel/servicemanager/uServiceManager.h"

namespace kavar::panel {

// The service's key name with the service control manager.
inline constexpr char kServiceName[] = "Velmo";
// The file name of the service's program in the program folder (no extension on Linux).
inline constexpr char kServiceExeName[] = "Velmo";

// Connects the manager when it is not active, rebuilds its list and looks up kServiceName
// (key names only, any letter case). On success svcInfo points at the entry, valid until
// the manager's list is rebuilt again. On any failure the result is false and svcInfo is
// null: the rebuild has destroyed whatever it pointed at before. Never throws.
bool IsServiceInstalled(TServiceManager& manager, TServiceInfo*& svcInfo);

// Whether a process runs whose program's file name, or whole path, equals exeName without
// regard to ASCII case. A process list that cannot be read gives false. Never throws.
bool IsProcessRunning(std::string_view exeName);

}  // namespace kavar::panel
