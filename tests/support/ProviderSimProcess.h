// ProviderSimProcess: runs the real ProviderSim program for a test (or a benchmark) and
// steers it through its control requests. Header-only, POSIX only.
//
//   kavar::test::ProviderSimProcess sim;            // started on a free port
//   TSendSmsWS::SetEndpoint(sim.Url(), sim.Namespace());
//   sim.Refuse(8);                                  // every send is refused with 8
//   ... calls ...
//   auto reqs = sim.Requests();                     // what the client really sent
//
// The destructor stops the simulator with SIGTERM. Control calls throw std::runtime_error
// when the simulator rejects them or cannot be reached.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace kavar::test {

// One request as the simulator received it.
struct SimRequest {
    std::uint64_t Seq = 0;
    std::string Operation;  // from the SOAPAction header; "-" when it named none
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Body;

    bool HasHeader(std::string_view name) const { return FindHeader(name) != nullptr; }
    // The value of the header (name compared without letter case), "" when absent.
    std::string Header(std::string_view name) const {
        const auto* h = FindHeader(name);
        return h ? h->second : std::string();
    }

  private:
    const std::pair<std::string, std::string>* FindHeader(std::string_view name) const {
        for (const auto& h : Headers)
            if (h.first.size() == name.size() &&
                strncasecmp(h.first.data(), name.data(), name.size()) == 0)
                return &h;
        return nullptr;
    }
};

class ProviderSimProcess {
  public:
    // Default program: $KAVAR_PROVIDER_SIM, else ProviderSim in KAVAR_BIN_DIR.
    static std::string DefaultProgram() {
        if (const char* p = std::getenv("KAVAR_PROVIDER_SIM"); p && *p) return p;
#ifdef KAVAR_BIN_DIR
        return std::string(KAVAR_BIN_DIR) + "/ProviderSim";
#else
        return "ProviderSim";
#endif
    }

    // Starts the simulator on a free port of 127.0.0.1; extra command-line options (see
    // ProviderSim --help) set its starting state and faults.
    explicit ProviderSimProcess(const std::vector<std::string>& args = {},
                                const std::string& program = DefaultProgram()) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) Fail("pipe");
        std::vector<std::string> argv = {program, "--port", "0", "--exit-with-parent"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        int rc = posix_spawn(&pid_, program.c_str(), &fa, nullptr, cargv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            throw std::runtime_error("ProviderSim: cannot start " + program + ": " +
                                     std::strerror(rc));
        }
        // The first line is "PORT <n>"; nothing else is read from the pipe afterwards.
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (text.find("\nURL ") == std::string::npos || text.back() != '\n') {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out[0], POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[256];
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        close(out[0]);
        if (text.rfind("PORT ", 0) == 0) port_ = std::atoi(text.c_str() + 5);
        if (port_ <= 0) {
            Stop();
            throw std::runtime_error("ProviderSim did not report its port (output: '" + text +
                                     "')");
        }
    }

    ~ProviderSimProcess() { Stop(); }
    ProviderSimProcess(const ProviderSimProcess&) = delete;
    ProviderSimProcess& operator=(const ProviderSimProcess&) = delete;

    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/SendService.svc";
    }
    static std::string Namespace() { return "http://tempuri.org/"; }

    // ---- how the next answers behave (op "" = every operation; times -1 = until changed)

    void Normal() { Fault("ok"); }
    // The result element carries code; SendBatchSms also returns batchId.
    void Refuse(const std::string& code, const std::string& op = "", int times = -1,
                const std::string& batchId = "0") {
        Fault("refuse", {{"code", code}, {"id", batchId}}, op, times);
    }
    void Refuse(int code, const std::string& op = "", int times = -1) {
        Refuse(std::to_string(code), op, times);
    }
    // Every value of the answer (result, batch id, list entries) is this text.
    void Garbage(const std::string& text = "-1x", const std::string& op = "", int times = -1) {
        Fault("garbage", {{"text", text}}, op, times);
    }
    void HttpStatus(int status = 500, const std::string& op = "", int times = -1) {
        Fault("http", {{"status", std::to_string(status)}}, op, times);
    }
    // Promises the whole answer, sends half of it and closes the connection.
    void CloseMidAnswer(const std::string& op = "", int times = -1) {
        Fault("close", {}, op, times);
    }
    // A truncated envelope with status 200.
    void Malformed(const std::string& op = "", int times = -1) {
        Fault("malformed", {}, op, times);
    }
    // This exact body (and status, content type) as the answer.
    void RawAnswer(const std::string& body, int status = 200, const std::string& op = "",
                   int times = -1, const std::string& contentType = "text/xml; charset=utf-8") {
        Fault("raw", {{"status", std::to_string(status)}, {"content-type", contentType}}, op, times,
              body);
    }
    // Any mode of the simulator: ok refuse garbage http raw malformed html notxml doctype
    // deep huge close, with its parameters (code id text status size depth content-type).
    void Fault(const std::string& mode, const std::map<std::string, std::string>& params = {},
               const std::string& op = "", int times = -1, const std::string& body = "") {
        std::map<std::string, std::string> q = params;
        q["mode"] = mode;
        if (!op.empty()) q["op"] = op;
        if (times > 0) q["times"] = std::to_string(times);
        Control("POST", "/control/fault", q, body);
    }
    // Each answer waits this long first (0 = none).
    void SetDelay(int milliseconds) { SetState({{"delay-ms", std::to_string(milliseconds)}}); }

    // ---- the account ------------------------------------------------------------------

    // Keys: credit inbox senders next-batch-id delivery-status user password record
    // namespace delay-ms.
    void SetState(const std::map<std::string, std::string>& values) {
        Control("POST", "/control/state", values);
    }
    void SetCredit(const std::string& text) { SetState({{"credit", text}}); }
    void SetInboxCount(const std::string& text) { SetState({{"inbox", text}}); }
    void SetSenderNumbers(const std::string& text) { SetState({{"senders", text}}); }
    void SetNextBatchId(std::int64_t id) { SetState({{"next-batch-id", std::to_string(id)}}); }
    // The report GetBatchDelivery gives for this batch: the two lists as written (the
    // statuses are texts, so "x" makes an unreadable entry).
    void SetDelivery(std::int64_t batchId, const std::vector<std::string>& numbers,
                     const std::vector<std::string>& statuses) {
        Control("POST", "/control/delivery",
                {{"batch", std::to_string(batchId)},
                 {"numbers", Join(numbers)},
                 {"statuses", Join(statuses)}});
    }
    // The inner XML of GetMessagesResult, verbatim, for every GetMessages answer. The
    // prefixes b (message fields) and i (schema instance) are declared around it.
    void SetMessagesXml(const std::string& xml) { Control("POST", "/control/messages", {}, xml); }
    // Back to listing the accepted sends (messageType 2), newest first.
    void UseGeneratedMessages() { Control("POST", "/control/messages", {{"generated", "1"}}); }
    // Account, faults and delay back to how the simulator started; clears the records.
    void Reset() { Control("POST", "/control/reset"); }

    // ---- what was received --------------------------------------------------------------

    // The recorded requests (the most recent ones; ProviderSim --record N keeps N).
    std::vector<SimRequest> Requests(std::uint64_t since = 0) {
        std::string text = Control("GET", "/control/requests", {{"since", std::to_string(since)}});
        std::vector<SimRequest> out;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t eol = text.find('\n', pos);
            if (eol == std::string::npos || text.compare(pos, 8, "REQUEST ") != 0)
                throw std::runtime_error("ProviderSim: bad request record");
            SimRequest r;
            char op[128] = {0};
            unsigned long long seq = 0, headers = 0, size = 0;
            if (std::sscanf(text.c_str() + pos, "REQUEST %llu %127s %llu %llu", &seq, op, &headers,
                            &size) != 4)
                throw std::runtime_error("ProviderSim: bad request record");
            r.Seq = seq;
            r.Operation = op;
            pos = eol + 1;
            for (unsigned long long i = 0; i < headers; ++i) {
                eol = text.find('\n', pos);
                if (eol == std::string::npos)
                    throw std::runtime_error("ProviderSim: bad request record");
                std::string line = text.substr(pos, eol - pos);
                std::size_t colon = line.find(": ");
                r.Headers.emplace_back(line.substr(0, colon),
                                       colon == std::string::npos ? "" : line.substr(colon + 2));
                pos = eol + 1;
            }
            if (pos + size + 1 > text.size())
                throw std::runtime_error("ProviderSim: bad request record");
            r.Body = text.substr(pos, size);
            pos += size + 1;
            out.push_back(std::move(r));
        }
        return out;
    }
    void ClearRequests() { Control("POST", "/control/clear-requests"); }
    // "requests N", one "<operation> N" line per operation seen, "credit X", "next-batch-id N".
    std::string Stats() { return Control("GET", "/control/stats"); }

    // One control request; returns the body, throws unless the status is 200.
    std::string Control(const std::string& method, const std::string& path,
                        const std::map<std::string, std::string>& query = {},
                        const std::string& body = "") {
        std::string target = path;
        char sep = '?';
        for (const auto& [k, v] : query) {
            target += sep + Encode(k) + "=" + Encode(v);
            sep = '&';
        }
        int status = 0;
        std::string reply = Http(method, target, body, status);
        if (status != 200)
            throw std::runtime_error("ProviderSim " + target + ": HTTP " + std::to_string(status) +
                                     " " + reply);
        return reply;
    }

    // Stops the simulator (SIGTERM, then SIGKILL after 10 s) and returns its wait status
    // (-1 when it was not running). Idempotent.
    int Stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 1000; ++i) {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR)) {
                pid_ = -1;
                return r == -1 ? -1 : status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

  private:
    [[noreturn]] static void Fail(const char* what) {
        throw std::runtime_error(std::string("ProviderSim fixture: ") + what + ": " +
                                 std::strerror(errno));
    }

    static std::string Join(const std::vector<std::string>& items) {
        std::string s;
        for (std::size_t i = 0; i < items.size(); ++i) s += (i ? "," : "") + items[i];
        return s;
    }

    static std::string Encode(const std::string& s) {
        static const char* hex = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : s) {
            if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
                out += static_cast<char>(c);
            } else {
                out += '%';
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        }
        return out;
    }

    // A minimal HTTP/1.1 exchange over loopback: one connection, closed after the answer.
    std::string Http(const std::string& method, const std::string& target, const std::string& body,
                     int& status) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) Fail("socket");
        struct Closer {
            int fd;
            ~Closer() { close(fd); }
        } closer{fd};
        timeval tv{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port_));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Fail("connect");
        std::string req = method + " " + target +
                          " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                          "\r\nConnection: close\r\nContent-Type: application/octet-stream\r\n"
                          "Content-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
        for (std::size_t sent = 0; sent < req.size();) {
            ssize_t n = send(fd, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) Fail("send");
            sent += static_cast<std::size_t>(n);
        }
        std::string reply;
        char buf[65536];
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) Fail("recv");
            if (n == 0) break;
            reply.append(buf, static_cast<std::size_t>(n));
        }
        std::size_t headEnd = reply.find("\r\n\r\n");
        if (reply.rfind("HTTP/1.", 0) != 0 || headEnd == std::string::npos)
            throw std::runtime_error("ProviderSim: no HTTP answer to " + target);
        status = std::atoi(reply.c_str() + 9);
        return reply.substr(headEnd + 4);
    }

    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace kavar::test
