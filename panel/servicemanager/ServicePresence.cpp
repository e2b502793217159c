#include "panel/servicemanager/ServicePresence.h"

#include <string>

#include "platform/procs/procs.h"

namespace kavar::panel {
namespace {

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string_view FileNamePart(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool IsServiceInstalled(TServiceManager& manager, TServiceInfo*& svcInfo) {
    svcInfo = nullptr;
    try {
        manager.SetActive(true);
        manager.RebuildServicesList();
        svcInfo = &manager.ServiceByName(kServiceName);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool IsProcessRunning(std::string_view exeName) {
    std::vector<procs::ProcessEntry> processes;
    try {
        processes = procs::Snapshot();
    } catch (const std::exception&) {
        return false;
    }
    const std::string wanted = AsciiUpper(exeName);
    for (const procs::ProcessEntry& process : processes) {
        if (AsciiUpper(FileNamePart(process.ExePath)) == wanted ||
            AsciiUpper(process.ExePath) == wanted)
            return true;
    }
    return false;
}

}  // namespace kavar::panel
