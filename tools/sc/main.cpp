// SC: the operator's command line for the service manager.
//
//   SC [\\machine] query [service] [state= active|inactive|all]
//   SC [\\machine] queryex [service]
//   SC [\\machine] qc service
//   SC [\\machine] start service [arguments...]
//   SC [\\machine] stop|pause|continue|interrogate service
//   SC [\\machine] control service code
//   SC [\\machine] config service option= value ...
//   SC [\\machine] create service binPath= path [option= value ...]
//   SC [\\machine] delete service
//   SC [\\machine] boot
// Options (names in any case): type= own|share|interact, start= auto|delayed-auto|demand|
// disabled, error= ignore|normal|severe|critical, binPath=, group=, depend= a/b,
// obj=, password=, DisplayName=. The value is the next word ("start= auto"); "start=auto"
// is accepted too. The exit code is the system error code of a failure, else 0.
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/scm/scm.h"

namespace {

using namespace kavar::scm;

constexpr int kInvalidCommandLine = 1639;

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

int Failed(const char* api, DWORD code) {
    std::printf("[SC] %s FAILED %u:\n\n%s\n\n", api, code, SystemErrorMessage(code).c_str());
    return static_cast<int>(code);
}

int Usage() {
    std::printf(
        "DESCRIPTION:\n"
        "        SC is a command line program used for communicating with the\n"
        "        Service Control Manager and services.\n"
        "USAGE:\n"
        "        sc <server> [command] [service name] <option1> <option2>...\n\n"
        "        Commands: query queryex qc start stop pause continue interrogate control\n"
        "                  config create delete boot\n");
    return kInvalidCommandLine;
}

const char* StateName(DWORD state) {
    static const char* const names[] = {
        "",        "STOPPED",          "START_PENDING", "STOP_PENDING",
        "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
    return state <= SERVICE_PAUSED ? names[state] : "UNKNOWN";
}

std::string TypeName(DWORD type) {
    std::string name;
    switch (type & ~SERVICE_INTERACTIVE_PROCESS) {
        case SERVICE_WIN32_OWN_PROCESS:
            name = "WIN32_OWN_PROCESS";
            break;
        case SERVICE_WIN32_SHARE_PROCESS:
            name = "WIN32_SHARE_PROCESS";
            break;
        default:
            name = "WIN32";
    }
    if (type & SERVICE_INTERACTIVE_PROCESS) name += " (interactive)";
    return name;
}

SERVICE_STATUS StatusOf(const SERVICE_STATUS_PROCESS& p) {
    return {p.dwServiceType,
            p.dwCurrentState,
            p.dwControlsAccepted,
            p.dwWin32ExitCode,
            p.dwServiceSpecificExitCode,
            p.dwCheckPoint,
            p.dwWaitHint};
}

void PrintStatus(const char* name, const char* display, const SERVICE_STATUS& s, const DWORD* pid) {
    std::printf("\nSERVICE_NAME: %s\n", name);
    if (display != nullptr) std::printf("DISPLAY_NAME: %s\n", display);
    std::printf("        TYPE               : %x  %s\n", s.dwServiceType,
                TypeName(s.dwServiceType).c_str());
    std::printf("        STATE              : %u  %s\n", s.dwCurrentState,
                StateName(s.dwCurrentState));
    std::printf(
        "                                (%s, %s, %s)\n",
        s.dwControlsAccepted & SERVICE_ACCEPT_STOP ? "STOPPABLE" : "NOT_STOPPABLE",
        s.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE ? "PAUSABLE" : "NOT_PAUSABLE",
        s.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN");
    std::printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", s.dwWin32ExitCode, s.dwWin32ExitCode);
    std::printf("        SERVICE_EXIT_CODE  : %u  (0x%x)\n", s.dwServiceSpecificExitCode,
                s.dwServiceSpecificExitCode);
    std::printf("        CHECKPOINT         : 0x%x\n", s.dwCheckPoint);
    std::printf("        WAIT_HINT          : 0x%x\n", s.dwWaitHint);
    if (pid != nullptr) {
        std::printf("        PID                : %u\n", *pid);
        std::printf("        FLAGS              :\n");
    }
}

// Options of config/create: "name=" then the value as the next word.
bool ParseOptions(const std::vector<std::string>& words, size_t from,
                  std::map<std::string, std::string>& options) {
    for (size_t i = from; i < words.size(); ++i) {
        const auto eq = words[i].find('=');
        if (eq == std::string::npos) return false;
        const std::string name = Lower(words[i].substr(0, eq));
        std::string value = words[i].substr(eq + 1);
        if (value.empty()) {
            if (i + 1 >= words.size()) return false;
            value = words[++i];
        }
        options[name] = value;
    }
    return true;
}

struct Config {
    DWORD type = SERVICE_NO_CHANGE;
    DWORD start = SERVICE_NO_CHANGE;
    int delayed = -1;  // -1: leave as it is
    DWORD error = SERVICE_NO_CHANGE;
    const char* binPath = nullptr;
    const char* group = nullptr;
    std::string dependStore;
    const char* depend = nullptr;
    const char* account = nullptr;
    const char* password = nullptr;
    const char* display = nullptr;
};

bool BuildConfig(const std::map<std::string, std::string>& options, Config& c) {
    for (const auto& [name, value] : options) {
        const std::string v = Lower(value);
        if (name == "type") {
            if (v == "own")
                c.type = SERVICE_WIN32_OWN_PROCESS;
            else if (v == "share")
                c.type = SERVICE_WIN32_SHARE_PROCESS;
            else if (v == "interact")
                c.type = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
            else
                return false;
        } else if (name == "start") {
            if (v == "auto") {
                c.start = SERVICE_AUTO_START;
                c.delayed = 0;
            } else if (v == "delayed-auto") {
                c.start = SERVICE_AUTO_START;
                c.delayed = 1;
            } else if (v == "demand") {
                c.start = SERVICE_DEMAND_START;
            } else if (v == "disabled") {
                c.start = SERVICE_DISABLED;
            } else if (v == "boot") {
                c.start = SERVICE_BOOT_START;
            } else if (v == "system") {
                c.start = SERVICE_SYSTEM_START;
            } else {
                return false;
            }
        } else if (name == "error") {
            if (v == "ignore")
                c.error = SERVICE_ERROR_IGNORE;
            else if (v == "normal")
                c.error = SERVICE_ERROR_NORMAL;
            else if (v == "severe")
                c.error = SERVICE_ERROR_SEVERE;
            else if (v == "critical")
                c.error = SERVICE_ERROR_CRITICAL;
            else
                return false;
        } else if (name == "binpath") {
            c.binPath = value.c_str();
        } else if (name == "group") {
            c.group = value.c_str();
        } else if (name == "depend") {
            c.dependStore.clear();
            size_t start = 0;
            while (start <= value.size()) {
                const size_t slash = value.find('/', start);
                const std::string item = value.substr(
                    start, slash == std::string::npos ? std::string::npos : slash - start);
                if (!item.empty()) {
                    c.dependStore += item;
                    c.dependStore += '\0';
                }
                if (slash == std::string::npos) break;
                start = slash + 1;
            }
            c.dependStore += '\0';
            c.depend = c.dependStore.c_str();
        } else if (name == "obj") {
            c.account = value.c_str();
        } else if (name == "password") {
            c.password = value.c_str();
        } else if (name == "displayname") {
            c.display = value.c_str();
        } else {
            return false;
        }
    }
    return true;
}

using Handle = ScopedServiceHandle;

int Query(SC_HANDLE manager, const std::vector<std::string>& words, bool ex) {
    if (words.size() >= 2 && words[1].find('=') == std::string::npos) {
        Handle service(OpenService(manager, words[1].c_str(), SERVICE_QUERY_STATUS));
        if (!service) return Failed("OpenService", GetLastError());
        SERVICE_STATUS_PROCESS p{};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, &p, sizeof p, &needed)) {
            return Failed(ex ? "QueryServiceStatusEx" : "QueryServiceStatus", GetLastError());
        }
        PrintStatus(words[1].c_str(), nullptr, StatusOf(p), ex ? &p.dwProcessId : nullptr);
        return 0;
    }
    std::map<std::string, std::string> options;
    if (!ParseOptions(words, 1, options)) return Usage();
    DWORD state = SERVICE_ACTIVE;
    if (options.count("state")) {
        const std::string v = Lower(options["state"]);
        state = v == "all"        ? SERVICE_STATE_ALL
                : v == "inactive" ? SERVICE_INACTIVE
                                  : SERVICE_ACTIVE;
    }
    DWORD needed = 0, count = 0, resume = 0;
    std::vector<std::max_align_t> buffer;
    for (int attempt = 0; attempt < 4; ++attempt) {
        resume = 0;
        auto* data =
            buffer.empty() ? nullptr : reinterpret_cast<ENUM_SERVICE_STATUS*>(buffer.data());
        const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(std::max_align_t));
        if (EnumServicesStatus(manager, SERVICE_WIN32, state, data, size, &needed, &count,
                               &resume)) {
            for (DWORD i = 0; i < count; ++i) {
                PrintStatus(data[i].lpServiceName, data[i].lpDisplayName, data[i].ServiceStatus,
                            nullptr);
            }
            return 0;
        }
        if (GetLastError() != ERROR_MORE_DATA) return Failed("EnumServicesStatus", GetLastError());
        buffer.resize((size + needed) / sizeof(std::max_align_t) + 1);
    }
    return Failed("EnumServicesStatus", ERROR_MORE_DATA);
}

int QueryConfig(SC_HANDLE manager, const std::string& name) {
    Handle service(OpenService(manager, name.c_str(), SERVICE_QUERY_CONFIG));
    if (!service) return Failed("OpenService", GetLastError());
    DWORD needed = 0;
    QueryServiceConfig(service.get(), nullptr, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return Failed("QueryServiceConfig", GetLastError());
    std::vector<std::max_align_t> buffer(needed / sizeof(std::max_align_t) + 1);
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIG*>(buffer.data());
    if (!QueryServiceConfig(service.get(), c, needed, &needed)) {
        return Failed("QueryServiceConfig", GetLastError());
    }
    SERVICE_DELAYED_AUTO_START_INFO delayed{0};
    QueryServiceConfig2(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);
    static const char* const starts[] = {"BOOT_START", "SYSTEM_START", "AUTO_START", "DEMAND_START",
                                         "DISABLED"};
    static const char* const errors[] = {"IGNORE", "NORMAL", "SEVERE", "CRITICAL"};
    std::printf("[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: %s\n", name.c_str());
    std::printf("        TYPE               : %x  %s\n", c->dwServiceType,
                TypeName(c->dwServiceType).c_str());
    std::printf(
        "        START_TYPE         : %u   %s%s\n", c->dwStartType,
        c->dwStartType <= 4 ? starts[c->dwStartType] : "",
        c->dwStartType == SERVICE_AUTO_START && delayed.fDelayedAutostart ? "  (DELAYED)" : "");
    std::printf("        ERROR_CONTROL      : %u   %s\n", c->dwErrorControl,
                c->dwErrorControl <= 3 ? errors[c->dwErrorControl] : "");
    std::printf("        BINARY_PATH_NAME   : %s\n", c->lpBinaryPathName);
    std::printf("        LOAD_ORDER_GROUP   : %s\n", c->lpLoadOrderGroup);
    std::printf("        TAG                : %u\n", c->dwTagId);
    std::printf("        DISPLAY_NAME       : %s\n", c->lpDisplayName);
    std::printf("        DEPENDENCIES       :");
    for (const char* d = c->lpDependencies; *d != '\0'; d += std::strlen(d) + 1) {
        std::printf(" %s", d);
    }
    std::printf("\n        SERVICE_START_NAME : %s\n", c->lpServiceStartName);
    return 0;
}

int Start(SC_HANDLE manager, const std::vector<std::string>& words) {
    Handle service(OpenService(manager, words[1].c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service) return Failed("OpenService", GetLastError());
    std::vector<const char*> args;
    for (size_t i = 2; i < words.size(); ++i) args.push_back(words[i].c_str());
    if (!StartService(service.get(), static_cast<DWORD>(args.size()), args.data())) {
        return Failed("StartService", GetLastError());
    }
    SERVICE_STATUS_PROCESS p{};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, &p, sizeof p, &needed)) {
        PrintStatus(words[1].c_str(), nullptr, StatusOf(p), &p.dwProcessId);
    }
    return 0;
}

int Control(SC_HANDLE manager, const std::string& name, DWORD control, DWORD right) {
    Handle service(OpenService(manager, name.c_str(), right | SERVICE_QUERY_STATUS));
    if (!service) return Failed("OpenService", GetLastError());
    SERVICE_STATUS s{};
    if (!ControlService(service.get(), control, &s))
        return Failed("ControlService", GetLastError());
    PrintStatus(name.c_str(), nullptr, s, nullptr);
    return 0;
}

int ChangeConfig(SC_HANDLE manager, const std::vector<std::string>& words) {
    std::map<std::string, std::string> options;
    Config c;
    if (!ParseOptions(words, 2, options) || !BuildConfig(options, c)) return Usage();
    Handle service(OpenService(manager, words[1].c_str(), SERVICE_CHANGE_CONFIG));
    if (!service) return Failed("OpenService", GetLastError());
    if (!ChangeServiceConfig(service.get(), c.type, c.start, c.error, c.binPath, c.group, nullptr,
                             c.depend, c.account, c.password, c.display)) {
        return Failed("ChangeServiceConfig", GetLastError());
    }
    if (c.delayed >= 0) {
        SERVICE_DELAYED_AUTO_START_INFO info{c.delayed};
        if (!ChangeServiceConfig2(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info)) {
            return Failed("ChangeServiceConfig2", GetLastError());
        }
    }
    std::printf("[SC] ChangeServiceConfig SUCCESS\n");
    return 0;
}

int Create(SC_HANDLE manager, const std::vector<std::string>& words) {
    std::map<std::string, std::string> options;
    Config c;
    if (!ParseOptions(words, 2, options) || !BuildConfig(options, c) || c.binPath == nullptr) {
        return Usage();
    }
    Handle service(CreateService(manager, words[1].c_str(), c.display, SERVICE_ALL_ACCESS,
                                 c.type == SERVICE_NO_CHANGE ? SERVICE_WIN32_OWN_PROCESS : c.type,
                                 c.start == SERVICE_NO_CHANGE ? SERVICE_DEMAND_START : c.start,
                                 c.error == SERVICE_NO_CHANGE ? SERVICE_ERROR_NORMAL : c.error,
                                 c.binPath, c.group, nullptr, c.depend, c.account, c.password));
    if (!service) return Failed("CreateService", GetLastError());
    if (c.delayed > 0) {
        SERVICE_DELAYED_AUTO_START_INFO info{1};
        if (!ChangeServiceConfig2(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info)) {
            return Failed("ChangeServiceConfig2", GetLastError());
        }
    }
    std::printf("[SC] CreateService SUCCESS\n");
    return 0;
}

int Delete(SC_HANDLE manager, const std::string& name) {
    Handle service(OpenService(manager, name.c_str(), DELETE));
    if (!service) return Failed("OpenService", GetLastError());
    if (!DeleteService(service.get())) return Failed("DeleteService", GetLastError());
    std::printf("[SC] DeleteService SUCCESS\n");
    return 0;
}

// There is no boot here: this starts the automatic services, the delayed ones last, for
// a system start-up script to call once.
int Boot(SC_HANDLE manager) {
    DWORD needed = 0, count = 0, resume = 0;
    EnumServicesStatus(manager, SERVICE_WIN32, SERVICE_INACTIVE, nullptr, 0, &needed, &count,
                       &resume);
    std::vector<std::max_align_t> buffer(needed / sizeof(std::max_align_t) + 1);
    auto* list = reinterpret_cast<ENUM_SERVICE_STATUS*>(buffer.data());
    resume = 0;
    if (!EnumServicesStatus(manager, SERVICE_WIN32, SERVICE_INACTIVE, list,
                            static_cast<DWORD>(buffer.size() * sizeof(std::max_align_t)), &needed,
                            &count, &resume)) {
        return Failed("EnumServicesStatus", GetLastError());
    }
    int result = 0;
    for (int delayedPass = 0; delayedPass < 2; ++delayedPass) {
        for (DWORD i = 0; i < count; ++i) {
            Handle service(
                OpenService(manager, list[i].lpServiceName,
                            SERVICE_START | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
            if (!service) continue;
            DWORD size = 0;
            QueryServiceConfig(service.get(), nullptr, 0, &size);
            std::vector<std::max_align_t> configBuffer(size / sizeof(std::max_align_t) + 1);
            auto* config = reinterpret_cast<QUERY_SERVICE_CONFIG*>(configBuffer.data());
            SERVICE_DELAYED_AUTO_START_INFO delayed{0};
            if (!QueryServiceConfig(service.get(), config, size, &size) ||
                config->dwStartType != SERVICE_AUTO_START ||
                !QueryServiceConfig2(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                                     &delayed) ||
                (delayed.fDelayedAutostart != 0) != (delayedPass == 1)) {
                continue;
            }
            if (StartService(service.get(), 0, nullptr)) {
                std::printf("[SC] StartService %s SUCCESS\n", list[i].lpServiceName);
            } else if (GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
                result = Failed("StartService", GetLastError());
            }
        }
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    std::string machine;
    if (!words.empty() && words[0].rfind("\\\\", 0) == 0) {
        machine = words[0];
        words.erase(words.begin());
    }
    if (words.empty()) return Usage();
    const std::string command = Lower(words[0]);
    const bool needsName = command != "query" && command != "queryex" && command != "boot";
    if (needsName && words.size() < 2) return Usage();

    DWORD access = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE;
    if (command == "create") access |= SC_MANAGER_CREATE_SERVICE;
    const SC_HANDLE rawManager =
        OpenSCManager(machine.empty() ? nullptr : machine.c_str(), nullptr, access);
    if (rawManager == nullptr) return Failed("OpenSCManager", GetLastError());
    Handle manager(rawManager);

    int code = 0;
    if (command == "query" || command == "queryex") {
        code = Query(manager.get(), words, command == "queryex");
    } else if (command == "qc") {
        code = QueryConfig(manager.get(), words[1]);
    } else if (command == "start") {
        code = Start(manager.get(), words);
    } else if (command == "stop") {
        code = Control(manager.get(), words[1], SERVICE_CONTROL_STOP, SERVICE_STOP);
    } else if (command == "pause") {
        code = Control(manager.get(), words[1], SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_CONTINUE);
    } else if (command == "continue") {
        code = Control(manager.get(), words[1], SERVICE_CONTROL_CONTINUE, SERVICE_PAUSE_CONTINUE);
    } else if (command == "interrogate") {
        code = Control(manager.get(), words[1], SERVICE_CONTROL_INTERROGATE, SERVICE_INTERROGATE);
    } else if (command == "control") {
        if (words.size() < 3) return Usage();
        const DWORD control = static_cast<DWORD>(std::strtoul(words[2].c_str(), nullptr, 10));
        const DWORD right = control >= 128                           ? SERVICE_USER_DEFINED_CONTROL
                            : control == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                            : control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN
                                ? SERVICE_STOP
                                : SERVICE_PAUSE_CONTINUE;
        code = Control(manager.get(), words[1], control, right);
    } else if (command == "config") {
        code = ChangeConfig(manager.get(), words);
    } else if (command == "create") {
        code = Create(manager.get(), words);
    } else if (command == "delete") {
        code = Delete(manager.get(), words[1]);
    } else if (command == "boot") {
        code = Boot(manager.get());
    } else {
        return Usage();
    }
    std::fflush(stdout);
    return code;
}
