// ProviderSim: plays the SMS provider's SOAP 1.1 service on 127.0.0.1 so that the client,
// the dispatcher, the programs and the benchmarks can run against a real server.
//
// It answers the six operations of ISendService at /SendService.svc in the provider's shape
// (prefix "s", response element, result element first, further children by position),
// keeps its own account state, records every request, and can be told (flags at start,
// /control/... requests while running) to misbehave. docs/provider.md describes it all.
#include <httplib.h>
#include <pthread.h>
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kEnvelopeNs = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* kArraysNs = "http://schemas.microsoft.com/2003/10/Serialization/Arrays";
constexpr const char* kContractNs = "http://schemas.datacontract.org/2004/07/SendService";
constexpr const char* kSchemaInstanceNs = "http://www.w3.org/2001/XMLSchema-instance";
constexpr const char* kXmlType = "text/xml; charset=utf-8";
constexpr std::size_t kMaxBatches = 100000;  // delivery reports kept for this many sends
constexpr std::size_t kMaxSentMessages = 1000;

const std::vector<std::string> kOperations = {"SendBatchSms",     "GetCredit",
                                              "GetInboxCount",    "GetBatchDelivery",
                                              "GetSenderNumbers", "GetMessages"};

// How the next answers misbehave. "ok" answers normally.
struct Fault {
    std::string mode = "ok";
    std::string code = "0";    // refuse: the result code
    std::string id = "0";      // refuse: the batch id SendBatchSms returns with it
    std::string text = "-1x";  // garbage: the text of every value
    std::string op;            // only this operation ("" = all)
    long times = -1;           // answers left before "ok" returns (-1 = until changed)
    int status = 500;          // http: the status code
    std::string body;          // raw: the body
    std::string contentType = kXmlType;
    std::size_t size = 20u << 20;  // huge: the body size
    std::size_t depth = 200000;    // deep: the nesting depth
};

struct Batch {
    std::vector<std::string> numbers;
    std::vector<std::string> statuses;
};

struct SentMessage {
    std::int64_t id = 0;
    std::string from;
    std::vector<std::string> to;
    std::string content;
    bool flash = false;
    std::time_t when = 0;
};

struct Recorded {
    std::uint64_t seq = 0;
    std::string op;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

struct State {
    std::string ns = "http://tempuri.org/";
    std::string user, password;  // empty: any account is accepted
    std::string credit = "1000000";
    std::string inbox = "0";
    std::string senders = "30001234";
    std::string deliveryStatus = "1";
    std::int64_t nextBatchId = 1000;
    std::map<std::int64_t, Batch> batches;
    std::deque<std::int64_t> batchOrder;
    std::deque<SentMessage> sent;
    bool rawMessagesSet = false;
    std::string rawMessages;
    Fault fault;
    long delayMs = 0;
    std::size_t recordLimit = 1000;
    std::deque<Recorded> records;
    std::uint64_t seq = 0;
    std::map<std::string, std::uint64_t> counts;
};

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    int threads = 16;
    bool exitWithParent = false;
};

State g_initial;  // what /control/reset returns to
State g_state;
std::mutex g_mutex;

std::string Escape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::vector<std::string> SplitList(const std::string& s) {
    std::vector<std::string> out;
    if (s.empty()) return out;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = s.find(',', start);
        out.push_back(s.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

bool ParseInt(const std::string& s, std::int64_t& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long long r = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    v = r;
    return true;
}

bool ParseNumber(const std::string& s, double& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    double r = std::strtod(s.c_str(), &end);
    if (*end != '\0' || !std::isfinite(r)) return false;
    v = r;
    return true;
}

std::string NumberText(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

std::size_t CodePoints(const std::string& s) {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

bool IsAscii(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return (c & 0x80) == 0; });
}

std::string IsoUtc(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// ---- the request --------------------------------------------------------------------

struct SoapRequest {
    std::string op;  // local name of the operation element
    std::map<std::string, std::string> values;
    std::map<std::string, std::vector<std::string>> lists;
};

std::string LocalName(const char* qname) {
    const char* colon = std::strchr(qname, ':');
    return colon ? colon + 1 : qname;
}

bool ParseSoapRequest(const std::string& body, SoapRequest& out, std::string& error) {
    pugi::xml_document doc;
    auto res = doc.load_buffer(body.data(), body.size());
    if (!res) {
        error = std::string("request is not XML: ") + res.description();
        return false;
    }
    pugi::xml_node bodyNode;
    for (auto n : doc.document_element().children())
        if (LocalName(n.name()) == "Body") bodyNode = n;
    if (!bodyNode || !bodyNode.first_child()) {
        error = "request has no SOAP body";
        return false;
    }
    pugi::xml_node opNode = bodyNode.first_child();
    out.op = LocalName(opNode.name());
    for (auto p : opNode.children()) {
        std::string name = LocalName(p.name());
        out.values[name] = p.child_value();
        auto& list = out.lists[name];
        for (auto item : p.children())
            if (item.type() == pugi::node_element) list.push_back(item.child_value());
    }
    return true;
}

// ---- answers ------------------------------------------------------------------------

std::string Envelope(const std::string& inner) {
    return std::string("<s:Envelope xmlns:s=\"") + kEnvelopeNs + "\"><s:Body>" + inner +
           "</s:Body></s:Envelope>";
}

// The response element: result first, then the further children.
std::string Response(const State& st, const std::string& op, const std::string& resultInner,
                     const std::string& rest = "") {
    return Envelope("<" + op + "Response xmlns=\"" + Escape(st.ns) + "\"><" + op + "Result>" +
                    resultInner + "</" + op + "Result>" + rest + "</" + op + "Response>");
}

std::string StringArray(const std::string& name, const std::vector<std::string>& items,
                        const char* itemName) {
    std::string s = "<" + name + " xmlns:a=\"" + kArraysNs + "\">";
    for (const auto& i : items)
        s += std::string("<a:") + itemName + ">" + Escape(i) + "</a:" + itemName + ">";
    return s + "</" + name + ">";
}

bool AccountOk(const State& st, const SoapRequest& rq) {
    if (st.user.empty() && st.password.empty()) return true;
    return rq.values.count("userName") && rq.values.at("userName") == st.user &&
           rq.values.count("password") && rq.values.at("password") == st.password;
}

std::string MessageElement(const std::vector<std::string>& f) {
    // Children in the provider's order: the client reads them by position.
    static const char* names[19] = {"ActionDateTime", "Content",         "Count",   "Description",
                                    "IsFlash",        "IsRead",          "Lang",    "MessageId",
                                    "MessageType",    "MoneyIsRefunded", "NotSent", "Pages",
                                    "Receiver",       "Sender",          "Sent",    "Status",
                                    "Tariff",         "Title",           "UserId"};
    std::string s = "<b:MessageInfo>";
    for (int i = 0; i < 19; ++i) {
        if (f[i].empty())
            s += std::string("<b:") + names[i] + " i:nil=\"true\"/>";
        else
            s += std::string("<b:") + names[i] + ">" + Escape(f[i]) + "</b:" + names[i] + ">";
    }
    return s + "</b:MessageInfo>";
}

std::string MessageFromSent(const SentMessage& m) {
    std::size_t chars = CodePoints(m.content);
    bool ascii = IsAscii(m.content);
    std::size_t perPage = ascii ? 160 : 70;
    std::size_t pages = std::max<std::size_t>(1, (chars + perPage - 1) / perPage);
    std::string receivers;
    for (const auto& n : m.to) receivers += (receivers.empty() ? "" : ",") + n;
    return MessageElement({IsoUtc(m.when), m.content, std::to_string(m.to.size()), "",
                           m.flash ? "true" : "false", "true", ascii ? "EN" : "FA",
                           std::to_string(m.id), "Out", "false", "0", std::to_string(pages),
                           receivers, m.from, std::to_string(m.to.size()), "Sending",
                           std::to_string(pages * m.to.size()), "Web Service", "1"});
}

std::int64_t IntValue(const SoapRequest& rq, const std::string& name, std::int64_t dflt) {
    std::int64_t v;
    auto it = rq.values.find(name);
    return it != rq.values.end() && ParseInt(it->second, v) ? v : dflt;
}

// Pages through a list: index counts from 1, a count below 1 means "all".
template <typename T>
std::vector<T> Page(const std::vector<T>& all, std::int64_t index, std::int64_t count) {
    std::size_t from = index > 1 ? static_cast<std::size_t>(index - 1) : 0;
    if (from >= all.size()) return {};
    std::size_t n = all.size() - from;
    if (count > 0 && static_cast<std::size_t>(count) < n) n = static_cast<std::size_t>(count);
    return std::vector<T>(all.begin() + from, all.begin() + from + n);
}

// The normal answer; updates the account state. Called with g_mutex held.
std::string NormalAnswer(State& st, const SoapRequest& rq) {
    const std::string& op = rq.op;
    bool account = AccountOk(st, rq);
    if (op == "SendBatchSms") {
        if (!account) return Response(st, op, "1", "<batchSmsId>0</batchSmsId>");
        const auto& to =
            rq.lists.count("toNumbers") ? rq.lists.at("toNumbers") : std::vector<std::string>{};
        double credit;
        bool numeric = ParseNumber(st.credit, credit);
        if (numeric && credit < static_cast<double>(to.size()))
            return Response(st, op, "8", "<batchSmsId>0</batchSmsId>");
        if (numeric) st.credit = NumberText(credit - static_cast<double>(to.size()));
        std::int64_t id = st.nextBatchId++;
        Batch b;
        b.numbers = to;
        b.statuses.assign(to.size(), st.deliveryStatus);
        st.batches[id] = std::move(b);
        st.batchOrder.push_back(id);
        if (st.batchOrder.size() > kMaxBatches) {
            st.batches.erase(st.batchOrder.front());
            st.batchOrder.pop_front();
        }
        SentMessage m;
        m.id = id;
        m.from = rq.values.count("fromNumber") ? rq.values.at("fromNumber") : "";
        m.to = to;
        m.content = rq.values.count("messageContent") ? rq.values.at("messageContent") : "";
        m.flash = rq.values.count("isFlash") && rq.values.at("isFlash") == "true";
        m.when = std::time(nullptr);
        st.sent.push_back(std::move(m));
        if (st.sent.size() > kMaxSentMessages) st.sent.pop_front();
        return Response(st, op, "0", "<batchSmsId>" + std::to_string(id) + "</batchSmsId>");
    }
    if (op == "GetCredit") return Response(st, op, Escape(account ? st.credit : "-1"));
    if (op == "GetInboxCount") return Response(st, op, Escape(account ? st.inbox : "-1"));
    if (op == "GetSenderNumbers") return Response(st, op, Escape(account ? st.senders : ""));
    if (op == "GetBatchDelivery") {
        std::int64_t id = IntValue(rq, "batchSmsId", -1);
        auto it = st.batches.find(id);
        if (!account || it == st.batches.end())
            return Response(
                st, op, "-2",
                StringArray("numbers", {}, "string") + StringArray("deliveryStatus", {}, "int"));
        std::int64_t index = IntValue(rq, "index", 1), count = IntValue(rq, "count", 0);
        return Response(
            st, op, "0",
            StringArray("numbers", Page(it->second.numbers, index, count), "string") +
                StringArray("deliveryStatus", Page(it->second.statuses, index, count), "int"));
    }
    if (op == "GetMessages") {
        std::string list;
        if (st.rawMessagesSet) {
            list = st.rawMessages;
        } else if (account && IntValue(rq, "messageType", 0) == 2) {
            const auto& from = rq.lists.count("fromNumbers") ? rq.lists.at("fromNumbers")
                                                             : std::vector<std::string>{};
            std::vector<std::string> items;
            for (auto it = st.sent.rbegin(); it != st.sent.rend(); ++it)
                if (from.empty() || std::find(from.begin(), from.end(), it->from) != from.end())
                    items.push_back(MessageFromSent(*it));
            for (const auto& m : Page(items, IntValue(rq, "index", 1), IntValue(rq, "count", 0)))
                list += m;
        }
        return Envelope("<GetMessagesResponse xmlns=\"" + Escape(st.ns) +
                        "\"><GetMessagesResult xmlns:b=\"" + kContractNs + "\" xmlns:i=\"" +
                        kSchemaInstanceNs + "\">" + list +
                        "</GetMessagesResult></GetMessagesResponse>");
    }
    return "";
}

std::string RefusedAnswer(const State& st, const std::string& op, const Fault& f) {
    if (op == "SendBatchSms")
        return Response(st, op, Escape(f.code), "<batchSmsId>" + Escape(f.id) + "</batchSmsId>");
    if (op == "GetBatchDelivery")
        return Response(
            st, op, Escape(f.code),
            StringArray("numbers", {}, "string") + StringArray("deliveryStatus", {}, "int"));
    if (op == "GetMessages") return Response(st, op, "");
    return Response(st, op, Escape(f.code));
}

std::string GarbageAnswer(const State& st, const std::string& op, const Fault& f) {
    std::string t = Escape(f.text);
    if (op == "SendBatchSms") return Response(st, op, t, "<batchSmsId>" + t + "</batchSmsId>");
    if (op == "GetBatchDelivery")
        return Response(st, op, t,
                        StringArray("numbers", {f.text}, "string") +
                            StringArray("deliveryStatus", {f.text}, "int"));
    if (op == "GetMessages")
        return Response(
            st, op, std::string("<b:MessageInfo xmlns:b=\"") + kContractNs + "\">" + [&] {
                std::string s;
                for (int i = 0; i < 19; ++i) s += "<b:F>" + t + "</b:F>";
                return s;
            }() + "</b:MessageInfo>");
    return Response(st, op, t);
}

std::string SoapFault(const std::string& code, const std::string& text) {
    return Envelope("<s:Fault><faultcode>" + Escape(code) + "</faultcode><faultstring>" +
                    Escape(text) + "</faultstring></s:Fault>");
}

void SetXml(httplib::Response& res, int status, const std::string& body,
            const std::string& type = kXmlType) {
    res.status = status;
    res.set_content(body, type);
}

// ---- the service endpoint ------------------------------------------------------------

// The server library adds the connection's addresses to the request headers.
bool IsPseudoHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
           name == "LOCAL_PORT";
}

std::string ActionOperation(const std::string& soapAction, const std::string& ns) {
    std::string a = soapAction;
    if (a.size() >= 2 && a.front() == '"' && a.back() == '"') a = a.substr(1, a.size() - 2);
    std::string prefix = ns + "ISendService/";
    if (a.compare(0, prefix.size(), prefix) != 0) return "";
    return a.substr(prefix.size());
}

void HandleService(const httplib::Request& req, httplib::Response& res) {
    Fault fault;
    long delayMs;
    std::string action;
    std::string ns;
    {
        std::lock_guard lock(g_mutex);
        Recorded r;
        r.seq = ++g_state.seq;
        for (const auto& h : req.headers)
            if (!IsPseudoHeader(h.first)) r.headers.emplace_back(h.first, h.second);
        r.body = req.body;
        ns = g_state.ns;
        action = ActionOperation(req.get_header_value("SOAPAction"), ns);
        r.op = action;
        ++g_state.counts[action.empty() ? "(unknown)" : action];
        g_state.records.push_back(std::move(r));
        while (g_state.records.size() > g_state.recordLimit) g_state.records.pop_front();
        delayMs = g_state.delayMs;
        fault = g_state.fault;
    }
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));

    SoapRequest rq;
    std::string error;
    if (std::find(kOperations.begin(), kOperations.end(), action) == kOperations.end()) {
        SetXml(res, 500,
               SoapFault("a:ActionNotSupported", "The SOAPAction '" +
                                                     req.get_header_value("SOAPAction") +
                                                     "' is not an operation of ISendService"));
        return;
    }
    if (!ParseSoapRequest(req.body, rq, error)) {
        SetXml(res, 400, SoapFault("s:Client", error));
        return;
    }
    if (rq.op != action) {
        SetXml(res, 400,
               SoapFault("s:Client", "operation element " + rq.op +
                                         " does not match the SOAPAction " + action));
        return;
    }

    bool applies = fault.mode != "ok" && (fault.op.empty() || fault.op == action);
    std::string answer;
    {
        std::lock_guard lock(g_mutex);
        if (applies && g_state.fault.times > 0 && --g_state.fault.times == 0)
            g_state.fault = Fault{};
        if (!applies) answer = NormalAnswer(g_state, rq);
    }
    if (!applies) {
        SetXml(res, 200, answer);
        return;
    }
    const std::string& m = fault.mode;
    State view;
    view.ns = ns;
    if (m == "refuse") {
        SetXml(res, 200, RefusedAnswer(view, action, fault));
    } else if (m == "garbage") {
        SetXml(res, 200, GarbageAnswer(view, action, fault));
    } else if (m == "http") {
        SetXml(res, fault.status, SoapFault("s:Server", "Simulated server error"));
    } else if (m == "raw") {
        res.status = fault.status;
        res.set_content(fault.body, fault.contentType);
    } else if (m == "malformed") {
        SetXml(res, 200,
               "<s:Envelope xmlns:s=\"" + std::string(kEnvelopeNs) + "\"><s:Body><" + action +
                   "Response xmlns=\"" + Escape(ns) + "\"><" + action + "Result>0</" + action +
                   "Result>");
    } else if (m == "html") {
        SetXml(res, 200,
               "<html><head><title>Runtime Error</title></head><body><h1>Server Error in '/' "
               "Application.<br></h1><p>Runtime Error & more</p></body></html>",
               "text/html; charset=utf-8");
    } else if (m == "notxml") {
        SetXml(res, 200, "Service Unavailable", "text/plain");
    } else if (m == "doctype") {
        // Entities that would turn into a valid answer if expanded, and an exponential one
        // after the values the client reads.
        std::string dtd =
            "<?xml version=\"1.0\"?><!DOCTYPE s:Envelope [<!ENTITY ok \"0\"><!ENTITY id "
            "\"4242\"><!ENTITY l0 \"lol\"><!ENTITY l1 \"&l0;&l0;&l0;&l0;&l0;&l0;&l0;&l0;\">"
            "<!ENTITY l2 \"&l1;&l1;&l1;&l1;&l1;&l1;&l1;&l1;\"><!ENTITY l3 "
            "\"&l2;&l2;&l2;&l2;&l2;&l2;&l2;&l2;\">]>";
        SetXml(res, 200,
               dtd + Envelope("<" + action + "Response xmlns=\"" + Escape(ns) + "\"><" + action +
                              "Result>&ok;</" + action +
                              "Result><batchSmsId>&id;</batchSmsId><pad>&l3;</pad></" + action +
                              "Response>"));
    } else if (m == "deep") {
        std::string s = "<s:Envelope xmlns:s=\"" + std::string(kEnvelopeNs) + "\"><s:Body>";
        s.reserve(s.size() + fault.depth * 7 + 32);
        for (std::size_t i = 0; i < fault.depth; ++i) s += "<a>";
        for (std::size_t i = 0; i < fault.depth; ++i) s += "</a>";
        SetXml(res, 200, s + "</s:Body></s:Envelope>");
    } else if (m == "huge" || m == "close") {
        // huge: a well-formed answer padded to fault.size bytes; close: the normal answer
        // cut off in the middle, after a Content-Length that promises all of it.
        std::string head, tail;
        std::size_t total;
        if (m == "huge") {
            head = "<s:Envelope xmlns:s=\"" + std::string(kEnvelopeNs) + "\"><s:Body><" + action +
                   "Response xmlns=\"" + Escape(ns) + "\"><" + action + "Result>0</" + action +
                   "Result><batchSmsId>1</batchSmsId><pad>";
            tail = "</pad></" + action + "Response></s:Body></s:Envelope>";
            total = std::max(fault.size, head.size() + tail.size());
        } else {
            std::lock_guard lock(g_mutex);
            head = NormalAnswer(g_state, rq);
            total = head.size();
        }
        bool cut = m == "close";
        res.status = 200;
        res.set_content_provider(
            total, kXmlType,
            [head, tail, total, cut](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                if (cut) {
                    if (offset == 0) sink.write(head.data(), head.size() / 2);
                    return false;  // drops the connection
                }
                static const std::string pad(64 * 1024, 'x');
                std::size_t padEnd = total - tail.size();
                if (offset < head.size())
                    return sink.write(head.data() + offset, head.size() - offset);
                if (offset < padEnd)
                    return sink.write(pad.data(), std::min(pad.size(), padEnd - offset));
                return sink.write(tail.data() + (offset - padEnd), total - offset);
            });
    } else {
        SetXml(res, 500, SoapFault("s:Server", "unknown simulator mode " + m));
    }
}

// ---- control ------------------------------------------------------------------------

// Applies one fault setting from named values; false with a message on a bad value.
bool ApplyFault(Fault& f, const std::function<bool(const char*, std::string&)>& get,
                std::string& error) {
    std::string v;
    Fault n;
    if (get("mode", v)) n.mode = v;
    if (n.mode == "http500") n.mode = "http", n.status = 500;
    static const std::vector<std::string> modes = {"ok",      "refuse",    "garbage", "http",
                                                   "raw",     "malformed", "html",    "notxml",
                                                   "doctype", "deep",      "huge",    "close"};
    if (std::find(modes.begin(), modes.end(), n.mode) == modes.end()) {
        error = "unknown mode " + n.mode;
        return false;
    }
    if (get("code", v)) n.code = v;
    if (get("id", v)) n.id = v;
    if (get("text", v)) n.text = v;
    if (get("op", v)) {
        if (!v.empty() &&
            std::find(kOperations.begin(), kOperations.end(), v) == kOperations.end()) {
            error = "unknown operation " + v;
            return false;
        }
        n.op = v;
    }
    if (get("content-type", v)) n.contentType = v;
    std::int64_t i;
    if (get("times", v)) {
        if (!ParseInt(v, i) || i == 0) return error = "bad times " + v, false;
        n.times = i < 0 ? -1 : static_cast<long>(i);
    }
    bool hasStatus = get("status", v);
    if (hasStatus) {
        if (!ParseInt(v, i) || i < 100 || i > 599) return error = "bad status " + v, false;
        n.status = static_cast<int>(i);
    }
    if (get("size", v)) {
        if (!ParseInt(v, i) || i < 0) return error = "bad size " + v, false;
        n.size = static_cast<std::size_t>(i);
    }
    if (get("depth", v)) {
        if (!ParseInt(v, i) || i < 0) return error = "bad depth " + v, false;
        n.depth = static_cast<std::size_t>(i);
    }
    if (n.mode == "raw" && !hasStatus) n.status = 200;
    f = n;
    return true;
}

bool ApplyState(State& st, const std::function<bool(const char*, std::string&)>& get,
                std::string& error) {
    std::string v;
    std::int64_t i;
    if (get("next-batch-id", v)) {
        if (!ParseInt(v, i)) return error = "bad next-batch-id " + v, false;
        st.nextBatchId = i;
    }
    if (get("delay-ms", v)) {
        if (!ParseInt(v, i) || i < 0) return error = "bad delay-ms " + v, false;
        st.delayMs = static_cast<long>(i);
    }
    if (get("record", v)) {
        if (!ParseInt(v, i) || i < 0) return error = "bad record " + v, false;
        st.recordLimit = static_cast<std::size_t>(i);
    }
    if (get("credit", v)) st.credit = v;
    if (get("inbox", v)) st.inbox = v;
    if (get("senders", v)) st.senders = v;
    if (get("delivery-status", v)) st.deliveryStatus = v;
    if (get("user", v)) st.user = v;
    if (get("password", v)) st.password = v;
    if (get("namespace", v)) st.ns = v;
    return true;
}

std::function<bool(const char*, std::string&)> ParamGetter(const httplib::Request& req) {
    return [&req](const char* name, std::string& out) {
        if (!req.has_param(name)) return false;
        out = req.get_param_value(name);
        return true;
    };
}

void ControlReply(httplib::Response& res, bool ok, const std::string& error) {
    res.status = ok ? 200 : 400;
    res.set_content(ok ? "ok\n" : error + "\n", "text/plain");
}

// Setters answer GET as well, so that a browser or a bare "curl URL" can steer the simulator.
void Both(httplib::Server& svr, const char* path, const httplib::Server::Handler& h) {
    svr.Get(path, h);
    svr.Post(path, h);
}

void InstallControl(httplib::Server& svr) {
    Both(svr, "/control/fault", [](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(g_mutex);
        std::string error;
        Fault f;
        bool ok = ApplyFault(f, ParamGetter(req), error);
        if (ok) {
            if (f.mode == "raw") f.body = req.body;
            g_state.fault = f;
        }
        ControlReply(res, ok, error);
    });
    Both(svr, "/control/state", [](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(g_mutex);
        std::string error;
        ControlReply(res, ApplyState(g_state, ParamGetter(req), error), error);
    });
    Both(svr, "/control/delivery", [](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(g_mutex);
        std::int64_t id;
        if (!ParseInt(req.get_param_value("batch"), id))
            return ControlReply(res, false, "bad batch " + req.get_param_value("batch"));
        Batch b;
        b.numbers = SplitList(req.get_param_value("numbers"));
        b.statuses = SplitList(req.get_param_value("statuses"));
        if (!g_state.batches.count(id)) g_state.batchOrder.push_back(id);
        g_state.batches[id] = std::move(b);
        ControlReply(res, true, "");
    });
    Both(svr, "/control/messages", [](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(g_mutex);
        g_state.rawMessagesSet = req.get_param_value("generated") != "1";
        g_state.rawMessages = g_state.rawMessagesSet ? req.body : "";
        ControlReply(res, true, "");
    });
    Both(svr, "/control/reset", [](const httplib::Request&, httplib::Response& res) {
        std::lock_guard lock(g_mutex);
        g_state = g_initial;
        ControlReply(res, true, "");
    });
    Both(svr, "/control/clear-requests", [](const httplib::Request&, httplib::Response& res) {
        std::lock_guard lock(g_mutex);
        g_state.records.clear();
        ControlReply(res, true, "");
    });
    svr.Get("/control/requests", [](const httplib::Request& req, httplib::Response& res) {
        std::int64_t since = 0;
        ParseInt(req.get_param_value("since"), since);
        std::string out;
        std::lock_guard lock(g_mutex);
        for (const auto& r : g_state.records) {
            if (static_cast<std::int64_t>(r.seq) <= since) continue;
            out += "REQUEST " + std::to_string(r.seq) + " " + (r.op.empty() ? "-" : r.op) + " " +
                   std::to_string(r.headers.size()) + " " + std::to_string(r.body.size()) + "\n";
            for (const auto& h : r.headers) out += h.first + ": " + h.second + "\n";
            out += r.body + "\n";
        }
        res.set_content(out, "application/octet-stream");
    });
    svr.Get("/control/stats", [](const httplib::Request&, httplib::Response& res) {
        std::lock_guard lock(g_mutex);
        std::string out = "requests " + std::to_string(g_state.seq) + "\n";
        for (const auto& [op, n] : g_state.counts) out += op + " " + std::to_string(n) + "\n";
        out += "credit " + g_state.credit + "\nnext-batch-id " +
               std::to_string(g_state.nextBatchId) + "\n";
        res.set_content(out, "text/plain");
    });
}

void Usage() {
    std::cerr
        << "usage: ProviderSim [--port N] [--host ADDR] [--threads N] [--exit-with-parent]\n"
           "  state: [--credit TEXT] [--inbox TEXT] [--senders TEXT] [--next-batch-id N]\n"
           "         [--delivery-status TEXT] [--user U --password P] [--namespace URI]\n"
           "         [--delay-ms N] [--record N]\n"
           "  fault: [--mode ok|refuse|garbage|http|http500|raw|malformed|html|notxml|doctype|\n"
           "          deep|huge|close] [--code N] [--id N] [--text T] [--op OPERATION]\n"
           "         [--times N] [--status N] [--size BYTES] [--depth N]\n"
           "Prints PORT <n> and URL <url> on stdout once listening; stops on SIGTERM/SIGINT.\n";
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    std::map<std::string, std::string> named;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        }
        if (a == "--exit-with-parent") {
            opt.exitWithParent = true;
            continue;
        }
        if (a.rfind("--", 0) != 0 || i + 1 >= argc) {
            std::cerr << "ProviderSim: bad argument " << a << "\n";
            Usage();
            return 2;
        }
        named[a.substr(2)] = argv[++i];
    }
    auto take = [&named](const char* name, std::string& out) {
        auto it = named.find(name);
        if (it == named.end()) return false;
        out = it->second;
        named.erase(it);
        return true;
    };
    std::string v, error;
    std::int64_t n;
    if (take("port", v)) {
        if (!ParseInt(v, n) || n < 0 || n > 65535) return std::cerr << "bad --port\n", 2;
        opt.port = static_cast<int>(n);
    }
    if (take("threads", v)) {
        if (!ParseInt(v, n) || n < 1 || n > 1024) return std::cerr << "bad --threads\n", 2;
        opt.threads = static_cast<int>(n);
    }
    take("host", opt.host);
    if (!ApplyState(g_state, take, error)) return std::cerr << "ProviderSim: " << error << "\n", 2;
    g_initial = g_state;
    if (!ApplyFault(g_state.fault, take, error))
        return std::cerr << "ProviderSim: " << error << "\n", 2;
    if (!named.empty()) {
        std::cerr << "ProviderSim: unknown option --" << named.begin()->first << "\n";
        Usage();
        return 2;
    }

    if (opt.exitWithParent) prctl(PR_SET_PDEATHSIG, SIGTERM);
    // Stop signals are taken by one thread with sigwait; every other thread blocks them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    httplib::Server svr;
    int threads = opt.threads;
    svr.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    svr.set_payload_max_length(64u << 20);
    svr.set_read_timeout(30, 0);
    svr.set_write_timeout(30, 0);
    svr.Post("/SendService.svc", HandleService);
    InstallControl(svr);

    int port = opt.port;
    if (port == 0) {
        port = svr.bind_to_any_port(opt.host);
        if (port < 0) return std::cerr << "ProviderSim: cannot bind " << opt.host << "\n", 1;
    } else if (!svr.bind_to_port(opt.host, port)) {
        std::cerr << "ProviderSim: cannot bind " << opt.host << ":" << port << "\n";
        return 1;
    }

    // A stop signal may come before listening has begun, when stop() is still a no-op;
    // repeat it until the listen loop has really ended.
    std::atomic<bool> listenEnded{false};
    std::thread stopper([&svr, &listenEnded, stopSignals] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        while (!listenEnded) {
            svr.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::cout << "PORT " << port << "\nURL http://" << opt.host << ":" << port
              << "/SendService.svc\n"
              << std::flush;
    bool ok = svr.listen_after_bind();
    listenEnded = true;
    if (!ok) {
        // listen ended without a stop signal: wake the stopper so it can be joined
        pthread_kill(stopper.native_handle(), SIGTERM);
    }
    stopper.join();
    std::cerr << "ProviderSim: stopped after " << g_state.seq << " requests\n";
    return ok ? 0 : 1;
}
