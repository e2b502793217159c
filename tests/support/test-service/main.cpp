// TestService: a small service on the service framework whose behaviour is chosen by its
// command line (the registered binary path), so tests can drive the manager through the
// awkward cases: slow or stuck starts, refused controls, crashes, failing hooks.
//
//   --name=NAME           service name (event-log source); default TestService
//   --trace=FILE          append one line per event: args, start, started, execute,
//                         stop, pause, continue, shutdown, control N, tick
//   --start-ms=N          OnStart takes N ms        --stop-ms=N   OnStop takes N ms
//   --frozen              no check-point progress during those waits (default: rising)
//   --wait-hint=N         wait hint in ms (default 5000)
//   --no-stop             stop is not accepted      --no-pause    pause/continue are not
//   --stop-while-starting a stop may arrive during the start (cuts the start short)
//   --refuse-stop         OnStop refuses; the service keeps running
//   --fail-start          OnStart reports failure
//   --throw=WHERE         an exception escapes start|running|stop
//   --crash=WHERE         abort() in start|running|stop|pause
//   --tick-ms=N           a timer on the main thread ticks every N ms ("tick" traced)
//   --throw-tick          each tick throws (goes to the event log; the service lives on)
//   --no-connect          never connect to the manager (sleeps forever)
//   --exit-now=N          exit at once with code N, without connecting
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/msgloop/msgloop.h"
#include "platform/svcmgr/svcmgr.h"

namespace {

using kavar::svcmgr::DWORD;

struct Options {
    std::string name = "TestService";
    std::string trace;
    long startMs = 0;
    long stopMs = 0;
    bool frozen = false;
    long waitHint = 5000;
    bool noStop = false;
    bool noPause = false;
    bool stopWhileStarting = false;
    bool refuseStop = false;
    bool failStart = false;
    std::string throwAt;
    std::string crashAt;
    long tickMs = 0;
    bool throwTick = false;
    bool noConnect = false;
    int exitNow = -1;
};

bool Value(const char* arg, const char* name, std::string& out) {
    const size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
    out = arg + n + 1;
    return true;
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        std::string v;
        if (Value(a, "--name", v))
            o.name = v;
        else if (Value(a, "--trace", v))
            o.trace = v;
        else if (Value(a, "--start-ms", v))
            o.startMs = std::atol(v.c_str());
        else if (Value(a, "--stop-ms", v))
            o.stopMs = std::atol(v.c_str());
        else if (Value(a, "--wait-hint", v))
            o.waitHint = std::atol(v.c_str());
        else if (Value(a, "--throw", v))
            o.throwAt = v;
        else if (Value(a, "--crash", v))
            o.crashAt = v;
        else if (Value(a, "--tick-ms", v))
            o.tickMs = std::atol(v.c_str());
        else if (Value(a, "--exit-now", v))
            o.exitNow = std::atoi(v.c_str());
        else if (std::strcmp(a, "--frozen") == 0)
            o.frozen = true;
        else if (std::strcmp(a, "--no-stop") == 0)
            o.noStop = true;
        else if (std::strcmp(a, "--no-pause") == 0)
            o.noPause = true;
        else if (std::strcmp(a, "--stop-while-starting") == 0)
            o.stopWhileStarting = true;
        else if (std::strcmp(a, "--refuse-stop") == 0)
            o.refuseStop = true;
        else if (std::strcmp(a, "--fail-start") == 0)
            o.failStart = true;
        else if (std::strcmp(a, "--throw-tick") == 0)
            o.throwTick = true;
        else if (std::strcmp(a, "--no-connect") == 0)
            o.noConnect = true;
    }
    return o;
}

class TestService : public kavar::svcmgr::Service {
  public:
    explicit TestService(Options options) : Service(options.name), o_(std::move(options)) {
        AllowStop = !o_.noStop;
        AllowPause = !o_.noPause;
        AllowStopWhileStarting = o_.stopWhileStarting;
        WaitHint = static_cast<DWORD>(o_.waitHint);
    }

    void Trace(const std::string& line) const {
        if (o_.trace.empty()) return;
        const int fd = ::open(o_.trace.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return;
        const std::string text = line + "\n";
        (void)!::write(fd, text.data(), text.size());
        ::close(fd);
    }

    void OnStart(bool& started) override {
        std::string args = "args";
        for (const auto& p : Params()) args += " " + p;
        Trace(args);
        Trace("start");
        Point("start");
        Busy(o_.startMs, true);
        started = !o_.failStart;
        if (started) Trace("started");
    }

    void OnExecute() override {
        Trace("execute");
        Point("running");
        while (!Terminated()) {
            ProcessRequests(false);
            if (!Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Point("execute");
    }

    void OnStop(bool& stopped) override {
        Trace("stop");
        Point("stop");
        Busy(o_.stopMs, false);
        stopped = !o_.refuseStop;
    }

    void OnPause(bool&) override {
        Trace("pause");
        Point("pause");
    }
    void OnContinue(bool&) override { Trace("continue"); }
    void OnShutdown() override { Trace("shutdown"); }
    void OnCustomControl(DWORD code) override { Trace("control " + std::to_string(code)); }

  private:
    // Where a throw or crash was asked for.
    void Point(const std::string& where) {
        if (o_.crashAt == where) std::abort();
        if (o_.throwAt == where) throw std::runtime_error("TestService failed in " + where);
    }

    // A long piece of work that reports progress unless told to look stuck.
    void Busy(long ms, bool starting) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            if (starting && StopRequested()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!o_.frozen) ReportStatus();
        }
    }

    Options o_;
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    if (options.exitNow >= 0) return options.exitNow;
    if (options.noConnect) {
        for (;;) ::pause();
    }
    kavar::svcmgr::ServiceApplication application;
    TestService service(options);
    application.AddService(service);
    kavar::msgloop::Timer ticker(application.MainLoop());
    if (options.tickMs > 0) {
        ticker.SetOnTimer([&] {
            service.Trace("tick");
            if (options.throwTick) throw std::runtime_error("tick failed");
        });
        ticker.SetInterval(static_cast<unsigned>(options.tickMs));
        ticker.SetEnabled(true);
    }
    return application.Run(argc, argv);
}
