// TSendSmsWS: builds each SOAP envelope as text, posts it with libcurl, loads the answer
// with pugixml and reads the values by their position under the answer's s:Body element.
// Every call owns its HTTP handle and XML document; failures are logged, never thrown.
#include "shared/uSendSmsWS.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <pugixml.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/codepage/codepage.h"
#include "platform/formats/formats.h"
#include "shared/uSendSmsWS_internal.h"
#include "shared/uSmsUtils.h"

namespace fmt = kavar::formats;
using namespace kavar::sendsms;

namespace {

// Log texts, copied verbatim (they mix Arabic and Persian letter forms on purpose).
// clang-format off
constexpr char kUserNameEmpty[] = "وب سرويس -> نام کاربري خالي است";
constexpr char kPasswordEmpty[] = "وب سرويس -> کلمه عبور خالي است";
constexpr char kMessageEmpty[] = "وب سرويس -> متن پيامک خالي است";
constexpr char kNoRecipient[] = "وب سرويس -> گيرنده اي وجود ندارد";
constexpr char kSendSmsFailed[] = "(TSendSmsWS.SendSms) خطا در ارتباط با سرويس دهنده - ";
constexpr char kGetCreditFailed[] = "(TSendSmsWS.GetCredit) خطا در ارتباط با سرويس دهنده - ";
constexpr char kGetInboxCountFailed[] = "(TSendSmsWS.GetInboxCount) خطا در ارتباط با سرويس دهنده - ";
constexpr char kGetDeliveryFailed[] = "(TSendSmsWS.GetDelivery) خطا در ارتباط با سرويس دهنده - ";
constexpr char kGetSenderNumbersFailed[] = "(TSendSmsWS.GetSenderNumbers) خطا در ارتباط با سرويس دهنده - ";
constexpr char kGetMessagesFailed[] = "( TSendSmsWS.GetMessages) خطا در ارتباط با سرويس دهنده - ";
// clang-format on

constexpr char kSoapEnvelopeNs[] = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr char kSchemaInstanceNs[] = "http://www.w3.org/2001/XMLSchema-instance";
constexpr char kSchemaNs[] = "http://www.w3.org/2001/XMLSchema";
constexpr char kSoapEncodingNs[] = "http://schemas.xmlsoap.org/soap/encoding/";
constexpr char kArraysNs[] = "http://schemas.microsoft.com/2003/10/Serialization/Arrays";
constexpr char kContract[] = "ISendService/";
constexpr char kBatchLanguage[] = "fa;en-US,en;q=0.5";

// A failure of an exchange; what() is the text that follows the operation's log prefix.
struct ProviderError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Raised before the answer was loaded (transport or XML parse): GetCreditStr tells it apart.
struct LoadError : ProviderError {
    using ProviderError::ProviderError;
};

bool IsBlank(const std::string& s) { return kavar::Trim(s).empty(); }

// ---- request --------------------------------------------------------------------------

void AppendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
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
            default:
                out += c;
        }
    }
}

// One line of XML, no whitespace between tags; parameters in the order they are added.
class Envelope {
  public:
    Envelope(const char* operation, const std::string& ns) : operation_(operation) {
        text_.reserve(1024);
        text_ += "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:soap=\"";
        text_ += kSoapEnvelopeNs;
        text_ += "\" xmlns:xsi=\"";
        text_ += kSchemaInstanceNs;
        text_ += "\" xmlns:xsd=\"";
        text_ += kSchemaNs;
        text_ += "\" xmlns:soapenc=\"";
        text_ += kSoapEncodingNs;
        text_ += "\"><soap:Body><";
        text_ += operation_;
        text_ += " xmlns=\"";
        for (char c : ns) {
            if (c == '"')
                text_ += "&quot;";
            else
                AppendEscaped(text_, {&c, 1});
        }
        text_ += "\">";
    }
    Envelope& Text(const char* name, std::string_view value) {
        Open(name);
        AppendEscaped(text_, value);
        return Close(name);
    }
    Envelope& Int(const char* name, std::int32_t value) {
        return Text(name, std::to_string(value));
    }
    Envelope& Bool(const char* name, bool value) { return Text(name, value ? "true" : "false"); }
    Envelope& Strings(const char* name, const ArrayOfString& items) {
        text_ += '<';
        text_ += name;
        text_ += " xmlns:a=\"";
        text_ += kArraysNs;
        text_ += "\">";
        for (const auto& item : items) {
            text_ += "<a:string>";
            AppendEscaped(text_, item);
            text_ += "</a:string>";
        }
        return Close(name);
    }
    Envelope& Empty(const char* name) {
        text_ += '<';
        text_ += name;
        text_ += "/>";
        return *this;
    }
    std::string Finish() {
        Close(operation_);
        text_ += "</soap:Body></soap:Envelope>";
        return std::move(text_);
    }

  private:
    void Open(const char* name) {
        text_ += '<';
        text_ += name;
        text_ += '>';
    }
    Envelope& Close(const char* name) {
        text_ += "</";
        text_ += name;
        text_ += '>';
        return *this;
    }
    const char* operation_;
    std::string text_;
};

// ---- HTTP -----------------------------------------------------------------------------

void CurlGlobalInit() {
    static std::once_flag once;
    static CURLcode rc = CURLE_OK;
    std::call_once(once, [] { rc = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (rc != CURLE_OK)
        throw LoadError(std::string("HTTP client initialisation failed: ") +
                        curl_easy_strerror(rc));
}

struct Received {
    std::string body;
    std::string statusLine;
    bool tooLarge = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<Received*>(user);
    size_t n = size * count;
    if (r->body.size() + n > kMaxAnswerBytes) {
        r->tooLarge = true;
        return 0;  // aborts the transfer
    }
    r->body.append(data, n);
    return n;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<Received*>(user);
    size_t n = size * count;
    std::string_view line(data, n);
    // The last status line is that of the final answer (after any interim 1xx).
    if (line.substr(0, 5) == "HTTP/") {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        r->statusLine.assign(line);
    }
    return n;
}

struct CurlDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

std::string TooLargeMessage() {
    return "the answer is larger than " + std::to_string(kMaxAnswerBytes) + " bytes";
}

// Posts one envelope and returns the answer body. Throws LoadError on any failure of the
// exchange, including an HTTP error status (whose status line becomes the message).
std::string Post(const TProviderEndpoint& ep, const char* operation, const std::string& body,
                 bool batchHeaders) {
    CurlGlobalInit();
    std::unique_ptr<CURL, CurlDeleter> h(curl_easy_init());
    if (!h) throw LoadError("cannot create an HTTP client");

    std::string action = "SOAPAction: \"" + ep.Namespace + kContract + operation + "\"";
    curl_slist* list = nullptr;
    auto add = [&list](const std::string& header) {
        curl_slist* next = curl_slist_append(list, header.c_str());
        if (!next) throw LoadError("out of memory building the HTTP headers");
        list = next;
    };
    std::unique_ptr<curl_slist, CurlDeleter> headers;
    try {
        add(action);
        add("Content-Type: text/xml;charset=UTF-8");
        if (batchHeaders) {
            add(std::string("Accept-Language: ") + kBatchLanguage);
            add(std::string("Content-Language: ") + kBatchLanguage);
            add("Content-Encoding: UTF-8");
        }
        // libcurl would otherwise wait for a "100 Continue" before sending a large body.
        add("Expect:");
    } catch (...) {
        curl_slist_free_all(list);
        throw;
    }
    headers.reset(list);

    Received r;
    char error[CURL_ERROR_SIZE] = {};
    CURL* c = h.get();
    curl_easy_setopt(c, CURLOPT_URL, ep.EndpointURL.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs);
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxAnswerBytes));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);

    CURLcode rc = curl_easy_perform(c);
    if (r.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) throw LoadError(TooLargeMessage());
    if (rc != CURLE_OK) throw LoadError(error[0] ? error : curl_easy_strerror(rc));
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 400)
        throw LoadError(r.statusLine.empty() ? "HTTP error " + std::to_string(status)
                                             : r.statusLine);
    return std::move(r.body);
}

// ---- answer ---------------------------------------------------------------------------

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// The encoding named by the XML declaration ("" when there is none). Only looked for in
// an ASCII-compatible text: UTF-16 is recognised by its bytes instead.
std::string DeclaredEncoding(std::string_view s) {
    if (s.substr(0, 5) != "<?xml") return "";
    std::size_t end = s.find("?>");
    if (end == std::string_view::npos) return "";
    std::string_view decl = s.substr(0, end);
    std::size_t at = decl.find("encoding");
    if (at == std::string_view::npos) return "";
    at += 8;
    while (at < decl.size() && (decl[at] == ' ' || decl[at] == '\t' || decl[at] == '\r' ||
                                decl[at] == '\n' || decl[at] == '='))
        ++at;
    if (at >= decl.size() || (decl[at] != '"' && decl[at] != '\'')) return "";
    char quote = decl[at];
    std::size_t close = decl.find(quote, at + 1);
    if (close == std::string_view::npos) return "";
    return std::string(decl.substr(at + 1, close - at - 1));
}

bool LooksLikeUtf16(std::string_view s) {
    if (s.size() < 2) return false;
    unsigned char a = static_cast<unsigned char>(s[0]), b = static_cast<unsigned char>(s[1]);
    return (a == 0xFE && b == 0xFF) || (a == 0xFF && b == 0xFE) || (a == 0 && b == '<') ||
           (a == '<' && b == 0);
}

// One node of the answer and its path from s:Body, for the failure messages.
class Node {
  public:
    Node(pugi::xml_node n, std::string path) : node_(n), path_(std::move(path)) {}

    // Child i, counting every child node; a missing one ends the walk.
    Node Child(int i) const {
        pugi::xml_node c = node_.first_child();
        for (int k = 0; c && k < i; ++k) c = c.next_sibling();
        std::string path = path_ + "/" + std::to_string(i);
        if (!c) throw ProviderError("the answer has no node " + path);
        return Node(c, std::move(path));
    }
    std::size_t ChildCount() const {
        std::size_t n = 0;
        for (pugi::xml_node c = node_.first_child(); c; c = c.next_sibling()) ++n;
        return n;
    }
    bool HasChild() const { return static_cast<bool>(node_.first_child()); }
    // The value of the first child node: the text inside an element, "" when that child is
    // itself an element. Without any child the walk ends.
    std::string Text() const {
        pugi::xml_node c = node_.first_child();
        if (!c) throw ProviderError("the answer's node " + path_ + " is empty");
        return c.value();
    }
    const std::string& Path() const { return path_; }

  private:
    pugi::xml_node node_;
    std::string path_;
};

// The answer loaded into a DOM; construction fails with LoadError.
class Answer {
  public:
    explicit Answer(std::string bytes) : bytes_(std::move(bytes)) {
        pugi::xml_encoding encoding = pugi::encoding_utf8;
        bool utf8Bom = bytes_.compare(0, 3, "\xEF\xBB\xBF") == 0;
        if (LooksLikeUtf16(bytes_)) {
            encoding = pugi::encoding_auto;
        } else if (!utf8Bom) {
            std::string declared = DeclaredEncoding(bytes_);
            if (EqualsNoCase(declared, "utf-16") || EqualsNoCase(declared, "ucs-2") ||
                EqualsNoCase(declared, "unicode")) {
                encoding = pugi::encoding_auto;
            } else if (!declared.empty() && !EqualsNoCase(declared, "utf-8") &&
                       !EqualsNoCase(declared, "utf8")) {
                // A single-byte answer (windows-1256 and the like): to UTF-8 first.
                try {
                    bytes_ = kavar::codepage::ToUtf8(bytes_, declared);
                } catch (const std::exception& e) {
                    throw LoadError("the answer's encoding \"" + declared +
                                    "\" is not supported: " + e.what());
                }
            }
        }
        // Default options: whitespace-only text dropped, no DTD processing, so entities
        // declared in a DOCTYPE are never expanded.
        pugi::xml_parse_result res =
            doc_.load_buffer_inplace(bytes_.data(), bytes_.size(), pugi::parse_default, encoding);
        if (!res)
            throw LoadError(std::string("the answer is not well-formed XML: ") + res.description() +
                            " at offset " + std::to_string(res.offset));
    }

    // Parsed in place: neither copied nor moved, so the tree keeps pointing at bytes_.
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;

    // The first element in document order named exactly "s:Body".
    Node Body() const {
        pugi::xml_node n = doc_.first_child();
        while (n) {
            if (n.type() == pugi::node_element && std::strcmp(n.name(), "s:Body") == 0)
                return Node(n, "s:Body");
            if (n.first_child()) {
                n = n.first_child();
                continue;
            }
            while (n && !n.next_sibling()) n = n.parent();
            if (n) n = n.next_sibling();
        }
        throw ProviderError("the answer has no s:Body element");
    }

  private:
    std::string bytes_;  // parsed in place: must outlive doc_
    pugi::xml_document doc_;
};

// Posts the envelope built for the endpoint in force and loads the answer.
template <typename Build>
Answer Call(const char* operation, Build build, bool batchHeaders = false) {
    TProviderEndpoint ep = TSendSmsWS::Endpoint();
    Envelope env(operation, ep.Namespace);
    build(env);
    return Answer(Post(ep, operation, env.Finish(), batchHeaders));
}

std::int32_t IntOr(const std::string& text, std::int32_t fallback) {
    std::int32_t v;
    return TryStrToInt32(text, v) ? v : fallback;
}

std::int32_t IntOf(const Node& n) {
    std::string t = n.Text();
    std::int32_t v;
    if (!TryStrToInt32(t, v))
        throw ProviderError("'" + t + "' at " + n.Path() + " is not a valid integer value");
    return v;
}

double FloatOf(const Node& n) {
    std::string t = n.Text();
    double v;
    if (!fmt::TryStrToFloat(t, v))
        throw ProviderError("'" + t + "' at " + n.Path() + " is not a valid floating point value");
    return v;
}

bool BoolOf(const Node& n) {
    std::string t = n.Text();
    bool v;
    if (!TryStrToBoolean(t, v))
        throw ProviderError("'" + t + "' at " + n.Path() + " is not a valid boolean value");
    return v;
}

fmt::TDateTime DateTimeOf(const Node& n) {
    std::string t = n.Text();
    fmt::TDateTime v;
    if (!TryXmlDateTimeToLocal(t, v))
        throw ProviderError("'" + t + "' at " + n.Path() + " is not a valid XML date-time");
    return v;
}

void CheckListSize(std::size_t n, const Node& list) {
    if (n > kMaxListEntries)
        throw ProviderError("the list at " + list.Path() + " has " + std::to_string(n) +
                            " entries, more than the " + std::to_string(kMaxListEntries) +
                            " accepted");
}

struct CodeEntry {
    const char* text;
    std::int32_t code;
};

template <std::size_t N>
std::int32_t LookUp(const CodeEntry (&table)[N], const std::string& text) {
    for (const auto& e : table)
        if (EqualsNoCase(text, e.text)) return e.code;
    return -10;
}

// Days from 1970-01-01 to a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool Digits(std::string_view s, std::size_t at, std::size_t n, int& value) {
    if (at + n > s.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

}  // namespace

// ---- conversions ----------------------------------------------------------------------

namespace kavar::sendsms {

bool TryStrToInt32(std::string_view text, std::int32_t& value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    std::int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
        if (v > 2147483648LL) return false;
    }
    if (negative) v = -v;
    if (v > 2147483647LL) return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

bool TryStrToBoolean(std::string_view text, bool& value) {
    if (EqualsNoCase(text, "true")) return value = true, true;
    if (EqualsNoCase(text, "false")) return value = false, true;
    double number;
    if (!fmt::TryStrToFloat(text, number)) return false;
    value = number != 0;
    return true;
}

bool TryXmlDateTimeToLocal(std::string_view s, fmt::TDateTime& value) {
    // yyyy-mm-ddThh:mm:ss[.fff...][Z|(+|-)hh:mm]
    int year, month, day, hour, minute, second;
    if (!Digits(s, 0, 4, year) || s.size() < 19 || s[4] != '-' || !Digits(s, 5, 2, month) ||
        s[7] != '-' || !Digits(s, 8, 2, day) || s[10] != 'T' || !Digits(s, 11, 2, hour) ||
        s[13] != ':' || !Digits(s, 14, 2, minute) || s[16] != ':' || !Digits(s, 17, 2, second))
        return false;
    std::size_t at = 19;
    int millisecond = 0;
    bool fractionZero = true;
    if (at < s.size() && s[at] == '.') {
        std::size_t start = ++at;
        for (; at < s.size() && s[at] >= '0' && s[at] <= '9'; ++at) {
            if (at - start < 3) millisecond = millisecond * 10 + (s[at] - '0');
            if (s[at] != '0') fractionZero = false;
        }
        if (at == start) return false;
        for (std::size_t k = at - start; k < 3; ++k) millisecond *= 10;
    }
    int offsetMinutes = 0;
    if (at < s.size()) {
        if (s[at] == 'Z') {
            ++at;
        } else if (s[at] == '+' || s[at] == '-') {
            int oh, om;
            if (!Digits(s, at + 1, 2, oh) || at + 3 >= s.size() || s[at + 3] != ':' ||
                !Digits(s, at + 4, 2, om) || om > 59 || oh > 14 || (oh == 14 && om != 0))
                return false;
            offsetMinutes = (oh * 60 + om) * (s[at] == '-' ? -1 : 1);
            at += 6;
        } else {
            return false;
        }
    }
    if (at != s.size()) return false;

    static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1 || month < 1 || month > 12 || day < 1 ||
        day > monthDays[month - 1] + (month == 2 && leap))
        return false;
    // 24:00:00 is the end of the day, the next day's midnight.
    bool endOfDay = hour == 24 && minute == 0 && second == 0 && fractionZero;
    if ((hour > 23 && !endOfDay) || minute > 59 || second > 59) return false;

    std::int64_t utc =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        hour * 3600 + minute * 60 + second - offsetMinutes * 60;
    // A date-time holds the years 1 to 9999. An instant within a day of either end could
    // leave that range once shifted by the zone and the 4 h 30 min (0001-01-01, a common
    // "no date" value, west of UTC) and would come back as a bare time of day; such texts
    // are refused.
    if (utc < DaysFromCivil(1, 1, 2) * 86400 || utc >= DaysFromCivil(9999, 12, 31) * 86400)
        return false;
    value = fmt::UnixToLocal(utc, millisecond) - 16200.0 / 86400.0;
    return true;
}

}  // namespace kavar::sendsms

// ---- operations -----------------------------------------------------------------------

std::int32_t TSendSmsWS::SendSms(const std::string& UserName, const std::string& Password,
                                 const ArrayOfString& ToNumers, const std::string& SenderNumber,
                                 const std::string& MessageText, bool IsFlash,
                                 std::int32_t& SmsId) {
    if (IsBlank(UserName)) return TSMSUtil::Logger(kUserNameEmpty), -1;
    if (IsBlank(Password)) return TSMSUtil::Logger(kPasswordEmpty), -1;
    std::string text = kavar::Trim(MessageText);
    if (text.empty()) return TSMSUtil::Logger(kMessageEmpty), -1;
    if (ToNumers.empty()) return TSMSUtil::Logger(kNoRecipient), -1;

    std::int32_t result = -1;
    std::string failure;
    try {
        Answer answer = Call(
            "SendBatchSms",
            [&](Envelope& e) {
                e.Text("userName", UserName)
                    .Text("password", Password)
                    .Text("fromNumber", SenderNumber)
                    .Strings("toNumbers", ToNumers)
                    .Text("messageContent", text)
                    .Bool("isFlash", IsFlash)
                    .Empty("batchSmsId");
            },
            true);
        Node response = answer.Body().Child(0);
        SmsId = IntOr(response.Child(1).Text(), -1);
        result = IntOr(response.Child(0).Text(), -1);
    } catch (const std::exception& e) {
        failure = std::string(kSendSmsFailed) + e.what();
        result = -1;
    }
    if (!failure.empty()) TSMSUtil::Logger(failure);
    return result;
}

double TSendSmsWS::GetCredit(const std::string& UserName, const std::string& Password) {
    if (IsBlank(UserName)) return TSMSUtil::Logger(kUserNameEmpty), 0;
    if (IsBlank(Password)) return TSMSUtil::Logger(kPasswordEmpty), 0;
    double result = 0;
    std::string failure;
    try {
        Answer answer = Call("GetCredit", [&](Envelope& e) {
            e.Text("userName", UserName).Text("password", Password);
        });
        result = FloatOf(answer.Body().Child(0).Child(0));
    } catch (const std::exception& e) {
        failure = std::string(kGetCreditFailed) + e.what();
        result = 0;
    }
    if (!failure.empty()) TSMSUtil::Logger(failure);
    return result;
}

std::string TSendSmsWS::GetCreditStr(const std::string& UserName, const std::string& Password) {
    if (IsBlank(UserName)) return TSMSUtil::Logger(kUserNameEmpty), "0";
    if (IsBlank(Password)) return TSMSUtil::Logger(kPasswordEmpty), "0";
    std::string result = "0";
    std::string failure;
    try {
        Answer answer = Call("GetCredit", [&](Envelope& e) {
            e.Text("userName", UserName).Text("password", Password);
        });
        // From here on a failure leaves the empty text, not "0".
        result.clear();
        result = answer.Body().Child(0).Child(0).Text();
    } catch (const std::exception& e) {
        failure = std::string(kGetCreditFailed) + e.what();
    }
    if (!failure.empty()) TSMSUtil::Logger(failure);
    return result;
}

std::int32_t TSendSmsWS::GetInboxCount(const std::string& UserName, const std::string& Password,
                                       bool IsRead) {
    std::int32_t result = -1;
    std::string failure;
    try {
        Answer answer = Call("GetInboxCount", [&](Envelope& e) {
            e.Text("userName", UserName).Text("password", Password).Bool("isRead", IsRead);
        });
        result = IntOf(answer.Body().Child(0).Child(0));
    } catch (const std::exception& e) {
        failure = std::string(kGetInboxCountFailed) + e.what();
        result = -1;
    }
    if (!failure.empty()) TSMSUtil::Logger(failure);
    return result;
}

std::int32_t TSendSmsWS::GetDelivery(const std::string& UserName, const std::string& Password,
                                     std::int32_t SmsId, ArrayOfString& Numbers,
                                     ArrayOfInteger& DeliveryStatus, std::int32_t Index,
                                     std::int32_t Count) {
    if (IsBlank(UserName)) return TSMSUtil::Logger(kUserNameEmpty), -1;
    if (IsBlank(Password)) return TSMSUtil::Logger(kPasswordEmpty), -1;
    std::int32_t result = -1;
    std::string failure;
    try {
        Answer answer = Call("GetBatchDelivery", [&](Envelope& e) {
            e.Text("userName", UserName)
                .Text("password", Password)
                .Int("batchSmsId", SmsId)
                .Empty("numbers")
                .Empty("deliveryStatus")
                .Int("index", Index)
                .Int("count", Count);
        });
        Node response = answer.Body().Child(0);
        result = IntOr(response.Child(0).Text(), -1);
        // Once the result code is read a later failure keeps it: the lists stay filled up
        // to the failing entry.
        if (result == 0) {
            Node numbers = response.Child(1);
            std::size_t n = numbers.ChildCount();
            CheckListSize(n, numbers);
            Numbers.resize(n);
            DeliveryStatus.resize(n);
            for (std::size_t i = 0; i < n; ++i) {
                int k = static_cast<int>(i);
                Numbers[i] = numbers.Child(k).Text();
                DeliveryStatus[i] = IntOr(response.Child(2).Child(k).Text(), -8);
            }
        }
    } catch (const std::exception& e) {
        failure = std::string(kGetDeliveryFailed) + e.what();
    }
    if (!failure.empty()) TSMSUtil::Logger(failure);
    return result;
}

std::string TSendSmsWS::GetSenderNumbers(const std::string& UserName, const std::string& Password) {
    if (IsBlank(UserName)) return TSMSUtil::Logger(kUserNameEmpty), "";
    if (IsBlank(Password)) return TSMSUtil::Logger(kPasswordEmpty), "";
    std::string result;
    std::string failure;
    try {
        Answer answer = Call("GetSenderNumbers", [&](Envelope& e) {
            e.Text("userName", UserName).Text("password", Password);
        });
        result = answer.Body().Child(0).Child(0).Text();
    } catch (const std::exception& e) {
        failure = std::string(kGetSenderNumbersFailed) + e.what();
        result.clear();
    }
    if (!failure.empty()) TSMSUtil::Logger(failure);
    return result;
}

ArrayOfMessageInfoRec TSendSmsWS::GetMessages(const std::string& UserName,
                                              const std::string& Password, std::int32_t MessageType,
                                              const ArrayOfString& SenderNumbers,
                                              std::int32_t Index, std::int32_t Count) {
    ArrayOfMessageInfoRec result;
    std::string failure;
    try {
        Answer answer = Call("GetMessages", [&](Envelope& e) {
            e.Text("userName", UserName)
                .Text("password", Password)
                .Int("messageType", MessageType)
                .Strings("fromNumbers", SenderNumbers)
                .Int("index", Index)
                .Int("count", Count);
        });
        Node list = answer.Body().Child(0).Child(0);
        std::size_t n = list.ChildCount();
        CheckListSize(n, list);
        result.resize(n);
        // Field by field in this order, so that a failure leaves the record filled up to
        // the field before the failing one.
        for (std::size_t i = 0; i < n; ++i) {
            Node m = list.Child(static_cast<int>(i));
            TMessageInfoRec& r = result[i];
            r.MessageId = IntOf(m.Child(7));
            r.UserId = IntOf(m.Child(18));
            r.Tariff = FloatOf(m.Child(16));
            r.Content = m.Child(1).Text();
            r.ActionDateTime = DateTimeOf(m.Child(0));
            r.MessageType = GetMessageType(m.Child(8).Text());
            r.Sender = m.Child(13).Text();
            r.Receiver = m.Child(12).Text();
            r.IsFlash = BoolOf(m.Child(4));
            r.Pages = IntOf(m.Child(11));
            r.SmsLang = GetSmsLang(m.Child(6).Text());
            r.SmsStatus = GetSmsStatus(m.Child(15).Text());
            r.Title = m.Child(17).Text();
            r.Count = IntOf(m.Child(2));
            r.Sent = IntOf(m.Child(14));
            r.Description.clear();
            if (Node d = m.Child(3); d.HasChild()) r.Description = d.Text();
            r.NotSent = IntOf(m.Child(10));
            r.MoneyIsRefunded = BoolOf(m.Child(9));
            r.IsRead = BoolOf(m.Child(5));
        }
    } catch (const std::exception& e) {
        failure = std::string(kGetMessagesFailed) + e.what();
    }
    if (!failure.empty()) TSMSUtil::Logger(failure);
    return result;
}

std::int32_t TSendSmsWS::GetMessageType(const std::string& MsgType) {
    static const CodeEntry table[] = {{"In", 1}, {"Out", 2}, {"Schedule", 3}};
    return LookUp(table, MsgType);
}

std::int32_t TSendSmsWS::GetSmsLang(const std::string& SmsLang) {
    static const CodeEntry table[] = {{"FA", 1}, {"EN", 2}};
    return LookUp(table, SmsLang);
}

std::int32_t TSendSmsWS::GetSmsStatus(const std::string& SmsStatus) {
    static const CodeEntry table[] = {{"Pending", 1},     {"Illegal", 2},  {"Sending", 3},
                                      {"NotApproved", 4}, {"Canceled", 6}, {"Error", 7},
                                      {"NoCredit", 8},    {"NotSent", 9},  {"WaitForSend", 10}};
    return LookUp(table, SmsStatus);
}
