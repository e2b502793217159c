// Net: starts and stops services and waits until they got there.
//
//   Net start              lists the running services
//   Net start <service>    key name or display name, any case
//   Net stop <service>
// Exit code 0 on success, 2 on any failure.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/scm/scm.h"

namespace {

using namespace kavar::scm;

constexpr int kFailed = 2;

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

int HelpMessage(const char* text, int number) {
    std::printf("%s\n\nMore help is available by typing NET HELPMSG %d.\n\n", text, number);
    return kFailed;
}

int SystemError(DWORD code) {
    std::printf("System error %u has occurred.\n\n%s\n\n", code, SystemErrorMessage(code).c_str());
    return kFailed;
}

int Usage() {
    std::printf("The syntax of this command is:\n\nNET\n    [ START | STOP ] [service]\n\n");
    return 1;
}

using Handle = ScopedServiceHandle;

struct Entry {
    std::string name;
    std::string display;
    DWORD state;
};

std::vector<Entry> ListServices(SC_HANDLE manager, DWORD state) {
    std::vector<Entry> entries;
    DWORD needed = 0, count = 0, resume = 0;
    std::vector<std::max_align_t> buffer;
    for (int attempt = 0; attempt < 4; ++attempt) {
        resume = 0;
        auto* list =
            buffer.empty() ? nullptr : reinterpret_cast<ENUM_SERVICE_STATUS*>(buffer.data());
        const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(std::max_align_t));
        if (EnumServicesStatus(manager, SERVICE_WIN32, state, list, size, &needed, &count,
                               &resume)) {
            for (DWORD i = 0; i < count; ++i) {
                entries.push_back({list[i].lpServiceName, list[i].lpDisplayName,
                                   list[i].ServiceStatus.dwCurrentState});
            }
            break;
        }
        if (GetLastError() != ERROR_MORE_DATA) break;
        buffer.resize((size + needed) / sizeof(std::max_align_t) + 1);
    }
    return entries;
}

// Opens the service by key name, else by display name. Fills the display name.
SC_HANDLE OpenByName(SC_HANDLE manager, const std::string& name, DWORD access,
                     std::string& display) {
    for (const auto& entry : ListServices(manager, SERVICE_STATE_ALL)) {
        if (Lower(entry.name) == Lower(name) || Lower(entry.display) == Lower(name)) {
            display = entry.display;
            return OpenService(manager, entry.name.c_str(), access);
        }
    }
    display = name;
    return OpenService(manager, name.c_str(), access);
}

// Waits while the service is in `pending`, as long as its check point moves within each
// wait hint. Prints a dot per round. Returns the last status.
SERVICE_STATUS WaitWhile(SC_HANDLE service, DWORD pending) {
    SERVICE_STATUS status{};
    QueryServiceStatus(service, &status);
    auto lastProgress = std::chrono::steady_clock::now();
    DWORD lastCheckPoint = status.dwCheckPoint;
    while (status.dwCurrentState == pending) {
        const DWORD hint = status.dwWaitHint != 0 ? status.dwWaitHint : 2000;
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::clamp<DWORD>(hint / 10, 100, 1000)));
        std::printf(".");
        std::fflush(stdout);
        if (!QueryServiceStatus(service, &status)) break;
        const auto now = std::chrono::steady_clock::now();
        if (status.dwCheckPoint != lastCheckPoint) {
            lastCheckPoint = status.dwCheckPoint;
            lastProgress = now;
        } else if (now - lastProgress > std::chrono::milliseconds(hint)) {
            break;  // no progress over a whole wait hint
        }
    }
    return status;
}

int ListStarted(SC_HANDLE manager) {
    std::printf("These services are started:\n\n");
    for (const auto& entry : ListServices(manager, SERVICE_ACTIVE)) {
        std::printf("   %s\n", entry.display.c_str());
    }
    std::printf("\nThe command completed successfully.\n\n");
    return 0;
}

int Start(SC_HANDLE manager, const std::string& name) {
    std::string display;
    Handle service(OpenByName(manager, name, SERVICE_START | SERVICE_QUERY_STATUS, display));
    if (service.get() == nullptr) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_DOES_NOT_EXIST || code == ERROR_INVALID_NAME) {
            return HelpMessage("The service name is invalid.", 2185);
        }
        return SystemError(code);
    }
    if (!StartService(service.get(), 0, nullptr)) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_ALREADY_RUNNING) {
            return HelpMessage("The requested service has already been started.", 2182);
        }
        return SystemError(code);
    }
    std::printf("The %s service is starting.", display.c_str());
    std::fflush(stdout);
    const SERVICE_STATUS status = WaitWhile(service.get(), SERVICE_START_PENDING);
    std::printf("\n");
    if (status.dwCurrentState == SERVICE_RUNNING) {
        std::printf("The %s service was started successfully.\n\n", display.c_str());
        return 0;
    }
    if (status.dwCurrentState == SERVICE_START_PENDING) {
        return HelpMessage("The service is not responding to the control function.", 2186);
    }
    std::printf("The %s service could not be started.\n\n", display.c_str());
    if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
        std::printf("The service reported a service-specific error code %u.\n\n",
                    status.dwServiceSpecificExitCode);
        return kFailed;
    }
    if (status.dwWin32ExitCode != 0) {
        std::printf("A system error has occurred.\n\n");
        return SystemError(status.dwWin32ExitCode);
    }
    return HelpMessage("The service did not report an error.", 3534);
}

int Stop(SC_HANDLE manager, const std::string& name) {
    std::string display;
    Handle service(OpenByName(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS, display));
    if (service.get() == nullptr) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_DOES_NOT_EXIST || code == ERROR_INVALID_NAME) {
            return HelpMessage("The service name is invalid.", 2185);
        }
        return SystemError(code);
    }
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_NOT_ACTIVE) {
            const std::string text = "The " + display + " service is not started.";
            return HelpMessage(text.c_str(), 3521);
        }
        if (code == ERROR_INVALID_SERVICE_CONTROL) {
            return HelpMessage(
                "The requested pause, continue, or stop is not valid for this service.", 2191);
        }
        return SystemError(code);
    }
    std::printf("The %s service is stopping.", display.c_str());
    std::fflush(stdout);
    status = WaitWhile(service.get(), SERVICE_STOP_PENDING);
    std::printf("\n");
    if (status.dwCurrentState == SERVICE_STOPPED) {
        std::printf("The %s service was stopped successfully.\n\n", display.c_str());
        return 0;
    }
    std::printf("The %s service could not be stopped.\n\n", display.c_str());
    return kFailed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = Lower(argv[1]);
    if (command != "start" && command != "stop") return Usage();
    if (command == "stop" && argc < 3) return Usage();
    std::string name;
    for (int i = 2; i < argc; ++i) {
        if (i > 2) name += ' ';
        name += argv[i];
    }
    Handle manager(
        OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (manager.get() == nullptr) return SystemError(GetLastError());
    int code = 0;
    if (command == "start") {
        code = name.empty() ? ListStarted(manager.get()) : Start(manager.get(), name);
    } else {
        code = Stop(manager.get(), name);
    }
    std::fflush(stdout);
    return code;
}
