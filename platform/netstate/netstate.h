// The connected-state query: does the machine have a network connection of any kind?
// Looks at the interfaces and routes the kernel reports; sends nothing.
#pragma once

#include <optional>

namespace kavar::netstate {

// True when a non-loopback interface is up and running with an address, or a default route
// exists. The answer can be forced: by ForceState, or for a whole process by the
// environment variable KAVAR_FORCE_NETSTATE=0 or 1 (read at the first query).
bool Connected();

// Forces the answer of Connected() in this process; std::nullopt asks the system again.
void ForceState(std::optional<bool> state);

}  // namespace kavar::netstate
