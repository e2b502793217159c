#include "platform/netstate/netstate.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

namespace kavar::netstate {
namespace {

std::mutex forcedMutex;
bool envRead = false;
std::optional<bool> forced;

bool UpInterfaceWithAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr || (a->ifa_flags & IFF_LOOPBACK)) continue;
        if (!(a->ifa_flags & IFF_UP) || !(a->ifa_flags & IFF_RUNNING)) continue;
        found = a->ifa_addr->sa_family == AF_INET || a->ifa_addr->sa_family == AF_INET6;
    }
    freeifaddrs(list);
    return found;
}

bool DefaultRoute() {
    // IPv4: destination and mask 0, flag RTF_UP (1).
    std::ifstream v4("/proc/net/route");
    std::string line;
    std::getline(v4, line);  // header
    while (std::getline(v4, line)) {
        std::istringstream in(line);
        std::string iface, dest, gateway, flags;
        if (in >> iface >> dest >> gateway >> flags && dest == "00000000" && iface != "lo" &&
            (std::strtoul(flags.c_str(), nullptr, 16) & 1))
            return true;
    }
    // IPv6: ::/0 through an interface other than loopback.
    std::ifstream v6("/proc/net/ipv6_route");
    while (std::getline(v6, line)) {
        std::istringstream in(line);
        std::string dest, prefix, f3, f4, f5, f6, f7, f8, f9, iface;
        if (in >> dest >> prefix >> f3 >> f4 >> f5 >> f6 >> f7 >> f8 >> f9 >> iface &&
            dest == std::string(32, '0') && prefix == "00" && iface != "lo" &&
            (std::strtoul(f9.c_str(), nullptr, 16) & 0x201) == 1)  // up, not a reject route
            return true;
    }
    return false;
}

}  // namespace

bool Connected() {
    {
        std::lock_guard lock(forcedMutex);
        if (!envRead) {
            envRead = true;
            const char* env = std::getenv("KAVAR_FORCE_NETSTATE");
            if (env && std::string(env) == "0") forced = false;
            if (env && std::string(env) == "1") forced = true;
        }
        if (forced) return *forced;
    }
    return UpInterfaceWithAddress() || DefaultRoute();
}

void ForceState(std::optional<bool> state) {
    std::lock_guard lock(forcedMutex);
    envRead = true;
    forced = state;
}

}  // namespace kavar::netstate
