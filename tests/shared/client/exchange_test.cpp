// TSendSmsWS against the provider simulator over loopback: the bytes and headers each
// operation sends, how each answer is read, and how broken or hostile answers fail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage/codepage.h"
#include "platform/formats/formats.h"
#include "shared/uSendSmsWS.h"
#include "shared/uSendSmsWS_internal.h"
#include "shared/uSmsUtils.h"
#include "support/ProviderSimProcess.h"

namespace fs = std::filesystem;
namespace fmt = kavar::formats;
using kavar::test::ProviderSimProcess;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

// The client's log texts.
// clang-format off
const std::string kUserNameEmpty = "وب سرويس -> نام کاربري خالي است";
const std::string kPasswordEmpty = "وب سرويس -> کلمه عبور خالي است";
const std::string kMessageEmpty = "وب سرويس -> متن پيامک خالي است";
const std::string kNoRecipient = "وب سرويس -> گيرنده اي وجود ندارد";
const std::string kSendSmsFailed = "(TSendSmsWS.SendSms) خطا در ارتباط با سرويس دهنده - ";
const std::string kGetCreditFailed = "(TSendSmsWS.GetCredit) خطا در ارتباط با سرويس دهنده - ";
const std::string kGetInboxCountFailed = "(TSendSmsWS.GetInboxCount) خطا در ارتباط با سرويس دهنده - ";
const std::string kGetDeliveryFailed = "(TSendSmsWS.GetDelivery) خطا در ارتباط با سرويس دهنده - ";
const std::string kGetSenderNumbersFailed = "(TSendSmsWS.GetSenderNumbers) خطا در ارتباط با سرويس دهنده - ";
const std::string kGetMessagesFailed = "( TSendSmsWS.GetMessages) خطا در ارتباط با سرويس دهنده - ";
// clang-format on

const std::string kNs = "http://tempuri.org/";
const std::string kRequestHead =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
    "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\"><soap:Body>";
const std::string kRequestTail = "</soap:Body></soap:Envelope>";
const std::string kArrays = "xmlns:a=\"http://schemas.microsoft.com/2003/10/Serialization/Arrays\"";

// An answer in the provider's shape around the children of the response element.
std::string Answer(const std::string& op, const std::string& children) {
    return "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><" + op +
           "Response xmlns=\"http://tempuri.org/\">" + children + "</" + op +
           "Response></s:Body></s:Envelope>";
}

// A message element with the 19 children in the provider's order; overrides by position
// (the text is inserted as is, so "<b:X/>"-style markup is possible through `raw`).
std::string Message(std::map<int, std::string> text = {}, std::map<int, std::string> raw = {}) {
    const std::string defaults[19] = {"2024-01-15T10:00:00",
                                      "hello",
                                      "1",
                                      "desc",
                                      "false",
                                      "true",
                                      "FA",
                                      "501",
                                      "Out",
                                      "false",
                                      "0",
                                      "2",
                                      "0912",
                                      "3000",
                                      "1",
                                      "Sending",
                                      "3",
                                      "title",
                                      "9"};
    std::string s = "<b:MessageInfo>";
    for (int i = 0; i < 19; ++i) {
        if (raw.count(i)) {
            s += raw[i];
            continue;
        }
        s += "<b:F" + std::to_string(i) + ">" + (text.count(i) ? text[i] : defaults[i]) + "</b:F" +
             std::to_string(i) + ">";
    }
    return s + "</b:MessageInfo>";
}

class ClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { sim_ = new ProviderSimProcess({"--next-batch-id", "5000"}); }
    static void TearDownTestSuite() {
        delete sim_;
        sim_ = nullptr;
    }

    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kavar_client_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        TSMSUtil::ApplicationExeName = dir_.string();
        TSMSUtil::CallerProg = "APP";
        fmt::SetDecimalSeparator(".");
        sim_->Reset();
        TSendSmsWS::SetEndpoint(sim_->Url(), sim_->Namespace());
    }
    void TearDown() override {
        TSendSmsWS::SetEndpoint("", "");
        fmt::ResetToLocaleDefaults();
        fs::remove_all(dir_);
    }

    // The day's log as UTF-8 ("" when nothing was logged).
    std::string Log() const {
        std::string all;
        if (!fs::exists(dir_ / "Log")) return all;
        for (const auto& f : fs::directory_iterator(dir_ / "Log")) {
            std::ifstream in(f.path(), std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            all += kavar::codepage::ToUtf8(ss.str());
        }
        return all;
    }
    // A text as it reads back from the log (the log's code page folds a few letters).
    static std::string AsLogged(const std::string& utf8) {
        return kavar::codepage::ToUtf8(kavar::codepage::FromUtf8(utf8));
    }
    // The one log line, which must start (after the time) with prefix.
    std::string LoggedFailure(const std::string& prefix) const {
        std::string log = Log();
        std::size_t at = log.find(" : " + AsLogged(prefix));
        if (at == std::string::npos) return "<no line with the prefix in: " + log + ">";
        std::size_t end = log.find("\r\n", at);
        EXPECT_EQ(log.find("\r\n", end + 2), std::string::npos) << "more than one line: " << log;
        return log.substr(at + 3 + AsLogged(prefix).size(), end - at - 3 - AsLogged(prefix).size());
    }

    static ProviderSimProcess* sim_;
    fs::path dir_;
};

ProviderSimProcess* ClientTest::sim_ = nullptr;

// ---- what is sent -----------------------------------------------------------------------

TEST_F(ClientTest, EachOperationSendsItsExactEnvelopeAndHeaders) {
    struct Case {
        std::string operation;
        std::function<void()> call;
        std::string body;
    } cases[] = {
        {"SendBatchSms",
         [] {
             std::int32_t id = 0;
             TSendSmsWS::SendSms(" u&1 ", "p<w", {"0912", " 0935 ", "0901"}, " 3000",
                                 "  a & b < c > d\r\n\u0633\u0644\u0627\u0645  ", true, id);
         },
         "<SendBatchSms xmlns=\"http://tempuri.org/\"><userName> u&amp;1 </userName>"
         "<password>p&lt;w</password><fromNumber> 3000</fromNumber><toNumbers " +
             kArrays +
             "><a:string>0912</a:string><a:string> 0935 </a:string><a:string>0901</a:string>"
             "</toNumbers><messageContent>a &amp; b &lt; c &gt; d\r\n\u0633\u0644\u0627\u0645"
             "</messageContent><isFlash>true</isFlash><batchSmsId/></SendBatchSms>"},
        {"GetCredit", [] { TSendSmsWS::GetCredit("u", "p"); },
         "<GetCredit xmlns=\"http://tempuri.org/\"><userName>u</userName>"
         "<password>p</password></GetCredit>"},
        {"GetCredit", [] { TSendSmsWS::GetCreditStr("u ", "p"); },
         "<GetCredit xmlns=\"http://tempuri.org/\"><userName>u </userName>"
         "<password>p</password></GetCredit>"},
        {"GetInboxCount", [] { TSendSmsWS::GetInboxCount("u", "p", false); },
         "<GetInboxCount xmlns=\"http://tempuri.org/\"><userName>u</userName>"
         "<password>p</password><isRead>false</isRead></GetInboxCount>"},
        {"GetBatchDelivery",
         [] {
             ArrayOfString n;
             ArrayOfInteger s;
             TSendSmsWS::GetDelivery("u", "p", -7, n, s, 1, 10);
         },
         "<GetBatchDelivery xmlns=\"http://tempuri.org/\"><userName>u</userName>"
         "<password>p</password><batchSmsId>-7</batchSmsId><numbers/><deliveryStatus/>"
         "<index>1</index><count>10</count></GetBatchDelivery>"},
        {"GetSenderNumbers", [] { TSendSmsWS::GetSenderNumbers("u", "p"); },
         "<GetSenderNumbers xmlns=\"http://tempuri.org/\"><userName>u</userName>"
         "<password>p</password></GetSenderNumbers>"},
        {"GetMessages", [] { TSendSmsWS::GetMessages("u", "p", 2, {"3000"}, 1, 10); },
         "<GetMessages xmlns=\"http://tempuri.org/\"><userName>u</userName>"
         "<password>p</password><messageType>2</messageType><fromNumbers " +
             kArrays +
             "><a:string>3000</a:string></fromNumbers><index>1</index><count>10</count>"
             "</GetMessages>"},
        {"GetMessages", [] { TSendSmsWS::GetMessages("", "", -1, {}, 0, -5); },
         "<GetMessages xmlns=\"http://tempuri.org/\"><userName></userName>"
         "<password></password><messageType>-1</messageType><fromNumbers " +
             kArrays + "></fromNumbers><index>0</index><count>-5</count></GetMessages>"},
    };
    for (const auto& c : cases) {
        sim_->ClearRequests();
        c.call();
        auto requests = sim_->Requests();
        ASSERT_EQ(requests.size(), 1u) << c.operation;
        const auto& r = requests[0];
        EXPECT_EQ(r.Body, kRequestHead + c.body + kRequestTail);
        EXPECT_EQ(r.Header("SOAPAction"), "\"" + kNs + "ISendService/" + c.operation + "\"");
        EXPECT_EQ(r.Header("Content-Type"), "text/xml;charset=UTF-8");
        bool batch = c.operation == "SendBatchSms";
        EXPECT_EQ(r.Header("Accept-Language"), batch ? "fa;en-US,en;q=0.5" : "");
        EXPECT_EQ(r.Header("Content-Language"), batch ? "fa;en-US,en;q=0.5" : "");
        EXPECT_EQ(r.Header("Content-Encoding"), batch ? "UTF-8" : "");
        EXPECT_FALSE(r.HasHeader("Expect"));
    }
}

TEST_F(ClientTest, TheConfiguredNamespaceIsUsedInTheEnvelopeAndTheAction) {
    sim_->SetState({{"namespace", "http://example.org/sms/"}});
    TSendSmsWS::SetEndpoint(sim_->Url(), "http://example.org/sms/");
    EXPECT_EQ(TSendSmsWS::GetInboxCount("u", "p", true), 0);
    auto r = sim_->Requests().at(0);
    EXPECT_THAT(r.Body, HasSubstr("<GetInboxCount xmlns=\"http://example.org/sms/\">"));
    EXPECT_EQ(r.Header("SOAPAction"), "\"http://example.org/sms/ISendService/GetInboxCount\"");
}

TEST_F(ClientTest, BlankAccountOrMessageOrNoRecipientSendsNothing) {
    struct Case {
        std::string user, password, text;
        ArrayOfString to;
        std::string logged;
    } cases[] = {
        {" \t", "p", "m", {"0912"}, kUserNameEmpty},
        {"u", "\r\n", "m", {"0912"}, kPasswordEmpty},
        {"u", "p", "  \r\n ", {"0912"}, kMessageEmpty},
        {"u", "p", "m", {}, kNoRecipient},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir_ / "Log");
        std::int32_t id = 42;
        EXPECT_EQ(TSendSmsWS::SendSms(c.user, c.password, c.to, "3000", c.text, false, id), -1);
        EXPECT_EQ(id, 42);
        EXPECT_THAT(Log(), HasSubstr(" : " + AsLogged(c.logged) + "\r\n"));
    }
    // The account queries check the account the same way and return their own values.
    ArrayOfString numbers = {"keep"};
    ArrayOfInteger statuses = {3};
    EXPECT_EQ(TSendSmsWS::GetCredit("", "p"), 0);
    EXPECT_EQ(TSendSmsWS::GetCreditStr("u", " "), "0");
    EXPECT_EQ(TSendSmsWS::GetDelivery(" ", "p", 1, numbers, statuses, 1, 10), -1);
    EXPECT_EQ(TSendSmsWS::GetSenderNumbers("u", ""), "");
    EXPECT_EQ(numbers, ArrayOfString{"keep"});
    EXPECT_EQ(statuses, ArrayOfInteger{3});
    EXPECT_THAT(sim_->Requests(), IsEmpty());

    // GetInboxCount and GetMessages have no checks.
    TSendSmsWS::GetInboxCount("", "", true);
    TSendSmsWS::GetMessages("", "", 2, {}, 1, 10);
    EXPECT_EQ(sim_->Requests().size(), 2u);
}

// ---- SendSms answers ----------------------------------------------------------------------

TEST_F(ClientTest, SendSmsReadsIdThenResultAndFailsCleanlyOnBrokenAnswers) {
    auto raw = [](std::string children) {
        return [children] { sim_->RawAnswer(Answer("SendBatchSms", children)); };
    };
    struct Case {
        const char* name;
        std::function<void()> setup;
        std::int32_t result, smsId;
        const char* logged;  // nullptr: nothing logged; else part of the failure's message
    } cases[] = {
        {"accepted", [] {}, 0, 5000, nullptr},
        {"refused keeps the id", [] { sim_->Refuse("8", "", -1, "77"); }, 8, 77, nullptr},
        {"id beyond 32 bits",
         raw("<SendBatchSmsResult>0</SendBatchSmsResult><batchSmsId>2147483648</batchSmsId>"), 0,
         -1, nullptr},
        {"result not an integer",
         raw("<SendBatchSmsResult>OK</SendBatchSmsResult><batchSmsId>12</batchSmsId>"), -1, 12,
         nullptr},
        {"garbage", [] { sim_->Garbage("-1-"); }, -1, -1, nullptr},
        {"empty result element", raw("<SendBatchSmsResult/><batchSmsId>12</batchSmsId>"), -1, 12,
         "s:Body/0/0"},
        {"no id", raw("<SendBatchSmsResult>0</SendBatchSmsResult>"), -1, 42, "s:Body/0/1"},
        {"HTTP 500", [] { sim_->HttpStatus(500); }, -1, 42, "HTTP/1.1 500 Internal Server Error"},
        {"HTTP 404 with a valid body",
         [] {
             sim_->RawAnswer(Answer("SendBatchSms",
                                    "<SendBatchSmsResult>0</SendBatchSmsResult>"
                                    "<batchSmsId>9</batchSmsId>"),
                             404);
         },
         -1, 42, "404 Not Found"},
        {"connection closed mid-answer", [] { sim_->CloseMidAnswer(); }, -1, 42, "transfer closed"},
        {"truncated XML", [] { sim_->Malformed(); }, -1, 42, "not well-formed"},
        {"HTML page with status 200", [] { sim_->Fault("html"); }, -1, 42, "not well-formed"},
        {"plain text", [] { sim_->Fault("notxml"); }, -1, 42, "not well-formed"},
        {"no s:Body (other prefix)",
         [] {
             sim_->RawAnswer(
                 "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                 "<soap:Body><R><SendBatchSmsResult>0</SendBatchSmsResult><batchSmsId>1"
                 "</batchSmsId></R></soap:Body></soap:Envelope>");
         },
         -1, 42, "no s:Body"},
        // Entities declared in a DOCTYPE would make a valid id (and megabytes of text).
        {"DOCTYPE entities are not expanded", [] { sim_->Fault("doctype"); }, -1, -1, nullptr},
        {"deep nesting",
         [] {
             sim_->Fault("deep", {{"depth", "200000"}});
         },
         -1, 42, "s:Body/0/1"},
        {"answer over the size cap",
         [] {
             sim_->Fault("huge",
                         {{"size", std::to_string(kavar::sendsms::kMaxAnswerBytes + 4096)}});
         },
         -1, 42, "larger than"},
        {"nobody listening",
         [] { TSendSmsWS::SetEndpoint("http://127.0.0.1:1/SendService.svc", ""); }, -1, 42,
         "127.0.0.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim_->Reset();
        TSendSmsWS::SetEndpoint(sim_->Url(), sim_->Namespace());
        fs::remove_all(dir_ / "Log");
        c.setup();
        std::int32_t id = 42;
        EXPECT_EQ(TSendSmsWS::SendSms("u", "p", {"0912"}, "3000", "hi", false, id), c.result);
        EXPECT_EQ(id, c.smsId);
        if (c.logged) {
            EXPECT_THAT(LoggedFailure(kSendSmsFailed), HasSubstr(c.logged));
        } else {
            EXPECT_EQ(Log(), "");
        }
    }
}

TEST_F(ClientTest, AcceptedSendsGetIncreasingIdsFromConcurrentCallers) {
    std::vector<std::thread> threads;
    std::vector<std::vector<std::int32_t>> ids(4);
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &ids, &failures] {
            for (int i = 0; i < 20; ++i) {
                std::int32_t id = -5;
                if (TSendSmsWS::SendSms("u", "p", {"0912"}, "3000", "hi", false, id) != 0)
                    ++failures;
                ids[t].push_back(id);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    std::set<std::int32_t> all;
    for (const auto& v : ids) all.insert(v.begin(), v.end());
    ASSERT_EQ(all.size(), 80u);
    EXPECT_EQ(*all.begin(), 5000);
    EXPECT_EQ(*all.rbegin(), 5079);
}

// ---- account queries ----------------------------------------------------------------------

TEST_F(ClientTest, CreditAsNumberFollowsTheRegionalSeparatorAsTextIsUnconverted) {
    sim_->SetCredit("12.5");
    EXPECT_EQ(TSendSmsWS::GetCredit("u", "p"), 12.5);
    EXPECT_EQ(TSendSmsWS::GetCreditStr("u", "p"), "12.5");
    EXPECT_EQ(Log(), "");

    fmt::SetDecimalSeparator(",");
    EXPECT_EQ(TSendSmsWS::GetCredit("u", "p"), 0);
    EXPECT_THAT(LoggedFailure(kGetCreditFailed), HasSubstr("'12.5'"));
    EXPECT_EQ(TSendSmsWS::GetCreditStr("u", "p"), "12.5");

    sim_->SetCredit("-2");  // the provider's code passes through
    EXPECT_EQ(TSendSmsWS::GetCredit("u", "p"), -2);
}

TEST_F(ClientTest, CreditStrIsZeroWhenTheExchangeFailsAndEmptyWhenTheWalkFails) {
    sim_->HttpStatus(500);
    EXPECT_EQ(TSendSmsWS::GetCreditStr("u", "p"), "0");
    EXPECT_THAT(LoggedFailure(kGetCreditFailed), HasSubstr("500"));

    fs::remove_all(dir_ / "Log");
    sim_->RawAnswer(Answer("GetCredit", "<GetCreditResult></GetCreditResult>"));
    EXPECT_EQ(TSendSmsWS::GetCreditStr("u", "p"), "");
    EXPECT_THAT(LoggedFailure(kGetCreditFailed), HasSubstr("s:Body/0/0"));
}

TEST_F(ClientTest, InboxCountAndSenderNumbers) {
    sim_->SetInboxCount("7");
    sim_->SetSenderNumbers("30001234,30005678");
    EXPECT_EQ(TSendSmsWS::GetInboxCount("u", "p", true), 7);
    EXPECT_EQ(TSendSmsWS::GetSenderNumbers("u", "p"), "30001234,30005678");
    EXPECT_EQ(Log(), "");

    sim_->SetInboxCount("7x");
    EXPECT_EQ(TSendSmsWS::GetInboxCount("u", "p", true), -1);
    EXPECT_THAT(LoggedFailure(kGetInboxCountFailed), HasSubstr("'7x'"));

    // The value of the result's first child: an element gives the empty text, no failure.
    fs::remove_all(dir_ / "Log");
    sim_->RawAnswer(
        Answer("GetSenderNumbers", "<GetSenderNumbersResult><a>3000</a></GetSenderNumbersResult>"));
    EXPECT_EQ(TSendSmsWS::GetSenderNumbers("u", "p"), "");
    EXPECT_EQ(Log(), "");
    sim_->HttpStatus(503);
    EXPECT_EQ(TSendSmsWS::GetSenderNumbers("u", "p"), "");
    EXPECT_THAT(LoggedFailure(kGetSenderNumbersFailed), HasSubstr("503"));
}

// The answer's declaration decides how its bytes are read.
TEST_F(ClientTest, DeclaredAnswerEncodingIsHonoured) {
    const std::string persian = "\u0633\u0644\u0627\u0645 \u067E";  // all in windows-1256
    std::string utf8 = Answer("GetSenderNumbers",
                              "<GetSenderNumbersResult>" + persian + "</GetSenderNumbersResult>");
    sim_->RawAnswer("<?xml version=\"1.0\" encoding=\"windows-1256\"?>" +
                    kavar::codepage::FromUtf8(utf8, "windows-1256"));
    EXPECT_EQ(TSendSmsWS::GetSenderNumbers("u", "p"), persian);

    // UTF-16 with a byte-order mark.
    std::string decl = "<?xml version=\"1.0\" encoding=\"utf-16\"?>";
    std::u16string wide =
        u"<?xml version=\"1.0\" encoding=\"utf-16\"?>"
        u"<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
        u"<s:Body><R><GetSenderNumbersResult>\u0633\u0644\u0627\u0645 \u067E"
        u"</GetSenderNumbersResult></R></s:Body></s:Envelope>";
    std::string utf16 = "\xFF\xFE";
    for (char16_t c : wide) {
        utf16 += static_cast<char>(c & 0xFF);
        utf16 += static_cast<char>(c >> 8);
    }
    sim_->RawAnswer(utf16);
    EXPECT_EQ(TSendSmsWS::GetSenderNumbers("u", "p"), persian);
    EXPECT_EQ(Log(), "");

    sim_->RawAnswer("<?xml version=\"1.0\" encoding=\"x-no-such-encoding\"?>" + utf8);
    EXPECT_EQ(TSendSmsWS::GetSenderNumbers("u", "p"), "");
    EXPECT_THAT(LoggedFailure(kGetSenderNumbersFailed), HasSubstr("x-no-such-encoding"));
}

// ---- GetDelivery ------------------------------------------------------------------------

TEST_F(ClientTest, DeliveryFillsBothListsOnlyWhenTheResultIsZero) {
    struct Case {
        const char* name;
        std::function<void()> setup;
        std::int32_t result;
        ArrayOfString numbers;
        ArrayOfInteger statuses;
        bool logged;
    } cases[] = {
        {"report with an unreadable status",
         [] {
             sim_->SetDelivery(77, {"0912", "0935", "0901"}, {"1", "2", "x"});
         },
         0,
         {"0912", "0935", "0901"},
         {1, 2, -8},
         false},
        {"empty report resizes to nothing",
         [] { sim_->SetDelivery(77, {}, {}); },
         0,
         {},
         {},
         false},
        {"provider code leaves the lists", [] {}, -2, {"old0", "old1"}, {5, 6}, false},
        {"unreadable result leaves the lists",
         [] { sim_->Garbage("x", "GetBatchDelivery"); },
         -1,
         {"old0", "old1"},
         {5, 6},
         false},
        // Fewer statuses than numbers: filled up to the failing position, the rest as the
        // resize left it.
        {"status list too short",
         [] {
             sim_->SetDelivery(77, {"0912", "0935", "0901"}, {"4"});
         },
         0,
         {"0912", "0935", ""},
         {4, 6, 0},
         true},
        {"HTTP error", [] { sim_->HttpStatus(500); }, -1, {"old0", "old1"}, {5, 6}, true},
        // The result was read before the walk failed: it stays.
        {"number list missing",
         [] {
             sim_->RawAnswer(
                 Answer("GetBatchDelivery", "<GetBatchDeliveryResult>0</GetBatchDeliveryResult>"));
         },
         0,
         {"old0", "old1"},
         {5, 6},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim_->Reset();
        fs::remove_all(dir_ / "Log");
        c.setup();
        ArrayOfString numbers = {"old0", "old1"};
        ArrayOfInteger statuses = {5, 6};
        EXPECT_EQ(TSendSmsWS::GetDelivery("u", "p", 77, numbers, statuses, 1, 10), c.result);
        EXPECT_EQ(numbers, c.numbers);
        EXPECT_EQ(statuses, c.statuses);
        if (c.logged) {
            EXPECT_THAT(LoggedFailure(kGetDeliveryFailed), Not(IsEmpty()));
        } else {
            EXPECT_EQ(Log(), "");
        }
    }
}

TEST_F(ClientTest, DeliveryOfAnAcceptedSend) {
    sim_->SetState({{"delivery-status", "5"}});
    std::int32_t id = 0;
    ASSERT_EQ(TSendSmsWS::SendSms("u", "p", {"0912", "0935"}, "3000", "hi", false, id), 0);
    ArrayOfString numbers;
    ArrayOfInteger statuses;
    EXPECT_EQ(TSendSmsWS::GetDelivery("u", "p", id, numbers, statuses, 1, 10), 0);
    EXPECT_EQ(numbers, (ArrayOfString{"0912", "0935"}));
    EXPECT_EQ(statuses, (ArrayOfInteger{5, 5}));
}

// ---- GetMessages ------------------------------------------------------------------------

TEST_F(ClientTest, MessagesAreReadByPositionWithTheirConversions) {
    setenv("TZ", "UTC", 1);
    tzset();
    sim_->SetMessagesXml(
        Message({{4, "TRUE"}, {5, "0"}, {6, "en"}, {8, "schedule"}, {15, "NoSuchStatus"}},
                {{3, "<b:Description i:nil=\"true\"/>"}}) +
        Message({{1, "a &amp; b"}, {7, "-4"}, {16, "0.25"}}));
    auto list = TSendSmsWS::GetMessages("u", "p", 2, {"3000"}, 1, 10);
    EXPECT_EQ(Log(), "");
    ASSERT_EQ(list.size(), 2u);
    const auto& m = list[0];
    EXPECT_EQ(m.MessageId, 501);
    EXPECT_EQ(m.UserId, 9);
    EXPECT_EQ(m.Tariff, 3);
    EXPECT_EQ(m.Content, "hello");
    EXPECT_NEAR(m.ActionDateTime, fmt::EncodeDate(2024, 1, 15) + fmt::EncodeTime(5, 30, 0, 0),
                1e-8);
    EXPECT_EQ(m.MessageType, 3);
    EXPECT_EQ(m.Sender, "3000");
    EXPECT_EQ(m.Receiver, "0912");
    EXPECT_TRUE(m.IsFlash);
    EXPECT_EQ(m.Pages, 2);
    EXPECT_EQ(m.SmsLang, 2);
    EXPECT_EQ(m.SmsStatus, -10);
    EXPECT_EQ(m.Title, "title");
    EXPECT_EQ(m.Count, 1);
    EXPECT_EQ(m.Sent, 1);
    EXPECT_EQ(m.Description, "");
    EXPECT_EQ(m.NotSent, 0);
    EXPECT_FALSE(m.MoneyIsRefunded);
    EXPECT_FALSE(m.IsRead);
    EXPECT_EQ(list[1].Content, "a & b");
    EXPECT_EQ(list[1].MessageId, -4);
    EXPECT_EQ(list[1].Tariff, 0.25);
    EXPECT_EQ(list[1].Description, "desc");
    unsetenv("TZ");
    tzset();
}

TEST_F(ClientTest, MessagesFailureKeepsTheRecordsFilledSoFar) {
    // The second message's Pages is not a number: the first is complete, the second filled
    // up to IsFlash (the field before Pages), the third fresh.
    sim_->SetMessagesXml(Message() + Message({{4, "true"}, {11, "x"}}) + Message());
    auto list = TSendSmsWS::GetMessages("u", "p", 2, {}, 1, 10);
    EXPECT_THAT(LoggedFailure(kGetMessagesFailed), HasSubstr("'x'"));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].IsRead, true);
    EXPECT_EQ(list[1].MessageId, 501);
    EXPECT_EQ(list[1].Receiver, "0912");
    EXPECT_TRUE(list[1].IsFlash);
    EXPECT_EQ(list[1].Pages, 0);
    EXPECT_EQ(list[1].Title, "");
    EXPECT_EQ(list[2].MessageId, 0);
    EXPECT_EQ(list[2].ActionDateTime, 0);

    struct Case {
        const char* name;
        std::string xml;
        std::size_t size;
        const char* message;
    } cases[] = {
        {"empty Title fails", Message({}, {{17, "<b:Title/>"}}), 1, "s:Body/0/0/0/17"},
        {"boolean word", Message({{9, "yes"}}), 1, "'yes'"},
        {"tariff with the wrong separator", Message({{16, "1,5"}}), 1, "'1,5'"},
        {"missing field", "<b:MessageInfo><b:F0>x</b:F0></b:MessageInfo>", 1, "s:Body/0/0/0/7"},
        {"date-time", Message({{0, "15/01/2024"}}), 1, "15/01/2024"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "Log");
        sim_->SetMessagesXml(c.xml);
        EXPECT_EQ(TSendSmsWS::GetMessages("u", "p", 2, {}, 1, 10).size(), c.size);
        EXPECT_THAT(LoggedFailure(kGetMessagesFailed), HasSubstr(c.message));
    }
}

TEST_F(ClientTest, MessagesEmptyListOrFailureBeforeSizingGiveNoRecords) {
    sim_->SetMessagesXml("");
    EXPECT_THAT(TSendSmsWS::GetMessages("u", "p", 2, {}, 1, 10), IsEmpty());
    EXPECT_EQ(Log(), "");

    sim_->HttpStatus(500);
    EXPECT_THAT(TSendSmsWS::GetMessages("u", "p", 2, {}, 1, 10), IsEmpty());
    EXPECT_THAT(LoggedFailure(kGetMessagesFailed), HasSubstr("500"));

    // A list longer than any real page is refused rather than sized.
    fs::remove_all(dir_ / "Log");
    sim_->Normal();
    std::string many;
    for (std::size_t i = 0; i <= kavar::sendsms::kMaxListEntries; ++i) many += "<x/>";
    sim_->SetMessagesXml(many);
    EXPECT_THAT(TSendSmsWS::GetMessages("u", "p", 2, {}, 1, 10), IsEmpty());
    EXPECT_THAT(LoggedFailure(kGetMessagesFailed), HasSubstr("more than"));
}

TEST_F(ClientTest, MessagesOfTheSimulatorListTheAcceptedSends) {
    std::int32_t id = 0;
    ASSERT_EQ(TSendSmsWS::SendSms("u", "p", {"0912"}, "3000", "\u0633\u0644\u0627\u0645", true, id),
              0);
    auto list = TSendSmsWS::GetMessages("u", "p", 2, {"3000"}, 1, 10);
    EXPECT_EQ(Log(), "");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].MessageId, id);
    EXPECT_EQ(list[0].Content, "\u0633\u0644\u0627\u0645");
    EXPECT_EQ(list[0].MessageType, 2);
    EXPECT_EQ(list[0].SmsLang, 1);
    EXPECT_TRUE(list[0].IsFlash);
}

}  // namespace
