// bench_client: the cost of TSendSmsWS::SendSms over the HTTP exchange it is made of.
//
// Against the provider simulator (no delay, on loopback), SendSms calls alternate in
// rounds with a bare libcurl loop that posts the very same envelope with the same headers,
// one easy handle (and so one connection) per POST as the client does, and keeps the
// answer without reading it. Alternating rounds let a change of machine load weigh on both
// sides alike. The last line is "ratio: X.XX", client rate over bare rate.
//
//   bench_client [CALLS] [ROUNDS]     defaults 10000 calls per side in 10 rounds
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "shared/uSendSmsWS.h"
#include "shared/uSmsUtils.h"
#include "support/ProviderSimProcess.h"

using Clock = std::chrono::steady_clock;

namespace {

const std::string kUser = "bench";
const std::string kPassword = "secret";
const std::string kSender = "30001234";
const std::string kRecipient = "09120000000";
const std::string kMessage =
    "\xd9\x85\xd8\xb4\xd8\xaa\xd8\xb1\xdb\x8c \xda\xaf\xd8\xb1\xd8\xa7\xd9\x85\xdb\x8c\xd8\x8c "
    "your order 48213 has been shipped & will arrive tomorrow.";

// The envelope SendSms builds for the arguments above.
std::string Envelope() {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
           "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\"><soap:Body>"
           "<SendBatchSms xmlns=\"http://tempuri.org/\"><userName>" +
           kUser + "</userName><password>" + kPassword + "</password><fromNumber>" + kSender +
           "</fromNumber><toNumbers "
           "xmlns:a=\"http://schemas.microsoft.com/2003/10/Serialization/Arrays\"><a:string>" +
           kRecipient +
           "</a:string></toNumbers><messageContent>"
           "\xd9\x85\xd8\xb4\xd8\xaa\xd8\xb1\xdb\x8c \xda\xaf\xd8\xb1\xd8\xa7\xd9\x85\xdb\x8c"
           "\xd8\x8c your order 48213 has been shipped &amp; will arrive tomorrow."
           "</messageContent><isFlash>false</isFlash><batchSmsId/></SendBatchSms>"
           "</soap:Body></soap:Envelope>";
}

size_t Keep(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

bool BarePost(const std::string& url, const std::string& body, curl_slist* headers) {
    CURL* h = curl_easy_init();
    if (!h) return false;
    std::string answer;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Keep);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer);
    CURLcode rc = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(h);
    return rc == CURLE_OK && status == 200 && !answer.empty();
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    long calls = argc > 1 ? std::atol(argv[1]) : 10000;
    long rounds = argc > 2 ? std::atol(argv[2]) : 10;
    if (calls <= 0 || rounds <= 0 || calls < rounds) {
        std::fprintf(stderr, "usage: bench_client [CALLS] [ROUNDS]\n");
        return 2;
    }
    long perRound = calls / rounds;

    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("kavar_bench_client_" + std::to_string(getpid()));
    fs::create_directories(dir);
    TSMSUtil::ApplicationExeName = dir.string();
    TSMSUtil::CallerProg = "SVC";

    kavar::test::ProviderSimProcess sim({"--record", "16"});
    TSendSmsWS::SetEndpoint(sim.Url(), sim.Namespace());
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::string body = Envelope();
    curl_slist* headers = nullptr;
    for (const char* h :
         {"SOAPAction: \"http://tempuri.org/ISendService/SendBatchSms\"",
          "Content-Type: text/xml;charset=UTF-8", "Accept-Language: fa;en-US,en;q=0.5",
          "Content-Language: fa;en-US,en;q=0.5", "Content-Encoding: UTF-8", "Expect:"})
        headers = curl_slist_append(headers, h);

    // Both sides must send the same bytes, or the comparison means nothing.
    std::int32_t id = 0;
    if (TSendSmsWS::SendSms(kUser, kPassword, {kRecipient}, kSender, kMessage, false, id) != 0) {
        std::fprintf(stderr, "bench_client: SendSms against the simulator failed\n");
        return 1;
    }
    auto sent = sim.Requests();
    if (sent.empty() || sent.back().Body != body) {
        std::fprintf(stderr, "bench_client: the bare envelope differs from the client's\n");
        return 1;
    }
    for (int i = 0; i < 200; ++i) {  // warm-up of both paths
        TSendSmsWS::SendSms(kUser, kPassword, {kRecipient}, kSender, kMessage, false, id);
        BarePost(sim.Url(), body, headers);
    }

    Clock::duration clientTime{}, bareTime{};
    long failures = 0;
    for (long r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        for (long i = 0; i < perRound; ++i)
            if (TSendSmsWS::SendSms(kUser, kPassword, {kRecipient}, kSender, kMessage, false, id) !=
                0)
                ++failures;
        auto t1 = Clock::now();
        for (long i = 0; i < perRound; ++i)
            if (!BarePost(sim.Url(), body, headers)) ++failures;
        auto t2 = Clock::now();
        clientTime += t1 - t0;
        bareTime += t2 - t1;
    }
    curl_slist_free_all(headers);
    long total = perRound * rounds;
    double clientRate = total / Seconds(clientTime);
    double bareRate = total / Seconds(bareTime);
    std::printf("calls per side:        %ld in %ld rounds\n", total, rounds);
    std::printf("client SendSms:        %.3f s, %.0f calls/s, %.1f us/call\n", Seconds(clientTime),
                clientRate, 1e6 * Seconds(clientTime) / total);
    std::printf("bare libcurl POST:     %.3f s, %.0f calls/s, %.1f us/call\n", Seconds(bareTime),
                bareRate, 1e6 * Seconds(bareTime) / total);
    std::printf("failed calls:          %ld\n", failures);
    sim.Stop();
    fs::remove_all(dir);
    std::printf("ratio: %.2f\n", clientRate / bareRate);
    return failures == 0 ? 0 : 1;
}
