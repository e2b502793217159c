// The cost of one log entry when the day's file already holds 100,000 entries, against
// the cost when the file is empty, measured side by side (interleaved) in one run. An
// entry whose cost grew with the file would show a ratio far above 1.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/formats/formats.h"
#include "shared/uSmsUtils.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFilled = 100000;

std::string DayFile(const std::string& folder) {
    return folder + "/Log/SVCKavarSMS_" +
           kavar::formats::FormatDateTime("yyyy_MM_dd", kavar::formats::Now()) + ".LOG";
}

double TimedEntry(const std::string& folder) {
    TSMSUtil::ApplicationExeName = folder;
    auto start = std::chrono::steady_clock::now();
    TSMSUtil::Logger("Send Sms To 09120000000 : Result = 0 , SmsId = 123456789");
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Mean(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x;
    return sum / v.size();
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 3000;
    char tmpl[] = "/tmp/kavar-bench-log-XXXXXX";
    std::string root = mkdtemp(tmpl);
    std::string empty = root + "/empty", full = root + "/full";
    fs::create_directories(empty + "/Log");
    fs::create_directories(full + "/Log");
    TSMSUtil::CallerProg = "SVC";

    // Fill the large day's file through the log itself, then the empty one exists too.
    TSMSUtil::ApplicationExeName = full;
    for (int i = 0; i < kFilled; ++i)
        TSMSUtil::Logger("Send Sms To 0912" + std::to_string(1000000 + i) + " : Result = 0");
    TSMSUtil::ApplicationExeName = empty;
    TSMSUtil::Logger("warm-up");
    std::uintmax_t filledSize = fs::file_size(DayFile(full));

    std::vector<double> inEmpty, inFull;
    for (int r = 0; r < rounds; ++r) {
        // Not timed: the small file is emptied every 50 entries, so it never leaves its first
        // 4 KB block. Emptying it before every entry would time the file system giving the
        // block back and taking it again, not the log.
        if (r % 50 == 0) fs::resize_file(DayFile(empty), 0);
        inEmpty.push_back(TimedEntry(empty));
        inFull.push_back(TimedEntry(full));
    }
    fs::remove_all(root);

    double ratio = Median(inFull) / Median(inEmpty);
    std::printf("entries per side: %d (interleaved)\n", rounds);
    std::printf("empty day's file (< 50 entries): median %8.2f us  mean %8.2f us\n",
                Median(inEmpty), Mean(inEmpty));
    std::printf("file of %d entries (%.1f MB):  median %8.2f us  mean %8.2f us\n", kFilled,
                filledSize / 1e6, Median(inFull), Mean(inFull));
    std::printf("ratio: %.2f\n", ratio);
    return 0;
}
