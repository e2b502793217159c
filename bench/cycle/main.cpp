// bench_cycle: what the send cycle costs on top of its provider calls.
//
// One cycle over 10,000 outbox rows of an embedded database against the provider simulator
// (no delay), beside a bare loop of 10,000 TSendSmsWS::SendSms calls with the same texts.
// The bare calls are interleaved with the cycle: the host makes one, timed on its own, each
// time the cycle lets it process its messages (once per row, right before the row's own
// provider call). Both sides thus run under the same machine load, which on a shared
// machine varies more from second to second than the difference being measured. The cycle's
// time is its wall time minus the bare calls made inside it. Reports go to the daily log,
// as in the service.
//
// Then one cycle over 100,000 rows runs in a child process, without bare calls, whose peak
// resident memory is reported. The last line is "ratio: X.XX", cycle rate over bare rate.
//
//   bench_cycle [ROWS] [PEAK_ROWS]      defaults 10000 and 100000 (0 skips the peak run)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "outbox/Dispatcher.h"
#include "outbox/OutboxTestSupport.h"
#include "support/ProviderSimProcess.h"

using namespace kavar;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kMessage =
    "\xd9\x85\xd8\xb4\xd8\xaa\xd8\xb1\xdb\x8c \xda\xaf\xd8\xb1\xd8\xa7\xd9\x85\xdb\x8c\xd8\x8c "
    "your order 48213 has been shipped and will arrive tomorrow.";

void BareSend() {
    static const ArrayOfString to{"09121000001"};
    std::int32_t smsId = 0;
    if (TSendSmsWS::SendSms("kavar", "secret", to, "30001234", kMessage, false, smsId) != 0) {
        std::fprintf(stderr, "bench_cycle: a bare send failed\n");
        std::exit(1);
    }
}

class ServiceLikeHost : public outbox::TOutboxHost {
  public:
    TAppSetting setting;
    bool bareCalls = false;
    int bareCount = 0;
    Clock::duration bareTime{};

    const outbox::TOutboxHostTraits& Traits() const override { return outbox::ServiceTraits(); }
    void AddResult(const std::string& msg, bool AddLine) override {
        TSMSUtil::Logger(msg);
        if (AddLine) TSMSUtil::Logger("----------------------------------");
    }
    TAppSetting GetAppSetting() override { return setting; }
    std::string GetPanelUser() override { return setting.SMS_PanelUser; }
    std::string GetPanelPass() override { return setting.SMS_PanelPass; }
    std::string GetActiveNumber() override { return TSMSUtil::GetActiveNumber(setting); }
    bool GetIsFlash() override { return false; }
    void ProcessMessages() override {
        if (!bareCalls) return;
        auto start = Clock::now();
        BareSend();
        bareTime += Clock::now() - start;
        ++bareCount;
    }
};

void Fill(const std::string& path, int rows) {
    test::CreateOutboxDatabase(path);
    db::Connection c;
    c.OpenSQLite(path);
    c.Execute("BEGIN");
    for (int i = 1; i <= rows; ++i) {
        c.Execute("INSERT INTO Outbox_High_Auto (ID, CustomerID, Mobile_Number, Message) VALUES (" +
                  std::to_string(i) + ", 'C" + std::to_string(i) + "', '0912" +
                  std::to_string(1000000 + i) + "', " + outbox::QuotedStr(kMessage) + ")");
    }
    c.Execute("COMMIT");
}

struct CycleRun {
    double seconds = 0;      // the cycle alone
    double bareSeconds = 0;  // the bare calls made inside it
    int bareCalls = 0;
    int sent = 0;
};

// One cycle over a fresh database of `rows` rows in the folder of `dir`.
CycleRun RunCycle(const test::TempDir& dir, int rows, bool bareCalls) {
    TSMSUtil::ApplicationExeName = dir.Path();
    TSMSUtil::CallerProg = "SVC";
    Fill(dir.File("Kavar_SMS.sqlite"), rows);
    ServiceLikeHost host;
    host.bareCalls = bareCalls;
    host.setting.SMS_PanelUser = "kavar";
    host.setting.SMS_PanelPass = "secret";
    host.setting.SMS_NormalNumber = "30001234";
    host.setting.SQL_ServerName = "sqlite:";
    host.setting.SQL_DBName = "Kavar_SMS";
    outbox::TOutboxDispatcher dispatcher(host);
    dispatcher.SetTimerIsActived(true);
    auto start = Clock::now();
    dispatcher.RunCycleIfActive();
    auto total = Clock::now() - start;

    CycleRun run;
    run.bareSeconds = std::chrono::duration<double>(host.bareTime).count();
    run.seconds = std::chrono::duration<double>(total).count() - run.bareSeconds;
    run.bareCalls = host.bareCount;
    db::Connection c;
    c.OpenSQLite(dir.File("Kavar_SMS.sqlite"));
    run.sent = test::Count(c, "Sent_Item");
    if (run.sent != rows) {
        std::fprintf(stderr, "bench_cycle: %d of %d rows sent\n", run.sent, rows);
        std::exit(1);
    }
    return run;
}

// The child of the peak-memory run.
int PeakChild(int rows) {
    test::ProviderSimProcess sim({"--record", "0"});
    TSendSmsWS::SetEndpoint(sim.Url(), sim.Namespace());
    test::TempDir dir;
    CycleRun run = RunCycle(dir, rows, false);
    std::printf("send cycle over %d rows: %.2f s = %.0f rows/s\n", rows, run.seconds,
                rows / run.seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--peak-child") return PeakChild(std::atoi(argv[2]));
    const int rows = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int peakRows = argc > 2 ? std::atoi(argv[2]) : 100000;
    if (rows <= 0) return std::fprintf(stderr, "usage: bench_cycle [ROWS] [PEAK_ROWS]\n"), 2;

    test::ProviderSimProcess sim({"--record", "0"});
    TSendSmsWS::SetEndpoint(sim.Url(), sim.Namespace());
    test::TempDir dir;
    for (int i = 0; i < 200; ++i) BareSend();  // warm-up: allocator, the simulator's threads

    CycleRun cycle = RunCycle(dir, rows, true);
    const double bareRate = cycle.bareCalls / cycle.bareSeconds;
    const double cycleRate = rows / cycle.seconds;
    std::printf("bare SendSms calls: %d in %.2f s = %.0f calls/s\n", cycle.bareCalls,
                cycle.bareSeconds, bareRate);
    std::printf("send cycle:         %d rows in %.2f s = %.0f rows/s\n", rows, cycle.seconds,
                cycleRate);

    if (peakRows > 0) {
        std::fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            execl("/proc/self/exe", argv[0], "--peak-child", std::to_string(peakRows).c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "bench_cycle: the peak-memory run failed\n");
            return 1;
        }
        std::printf("peak memory of the %d-row cycle: %.1f MB (max resident size of its process)\n",
                    peakRows, usage.ru_maxrss / 1024.0);
    }
    std::printf("ratio: %.2f\n", cycleRate / bareRate);
    return 0;
}
