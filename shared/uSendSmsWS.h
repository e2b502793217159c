// TSendSmsWS: the client of the SMS provider's SOAP 1.1 contract ISendService.
// Stateless: every operation is static, owns its HTTP handle and XML document, never
// throws, and reports failures through the daily log and its failure value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/formats/formats.h"

using ArrayOfString = std::vector<std::string>;
using ArrayOfInteger = std::vector<std::int32_t>;

// One message of the provider's message list.
struct TMessageInfoRec {
    std::int32_t MessageId = 0;
    std::int32_t UserId = 0;
    double Tariff = 0;
    std::string Content;
    kavar::formats::TDateTime ActionDateTime = 0;
    std::int32_t MessageType = 0;
    std::string Sender;
    std::string Receiver;
    bool IsFlash = false;
    std::int32_t Pages = 0;
    std::int32_t SmsLang = 0;
    std::int32_t SmsStatus = 0;
    std::string Title;
    std::int32_t Count = 0;
    std::int32_t Sent = 0;
    std::string Description;
    std::int32_t NotSent = 0;
    bool MoneyIsRefunded = false;
    bool IsRead = false;
};
using ArrayOfMessageInfoRec = std::vector<TMessageInfoRec>;

// Where the provider lives. Compiled-in defaults; the optional [Provider] section of
// KavarConfig.ini (EndpointURL, Namespace) replaces them when the settings are loaded.
struct TProviderEndpoint {
    std::string EndpointURL;  // http URL whose path is /SendService.svc
    std::string Namespace;    // contract namespace, ends with "/"
};

class TSendSmsWS {
public:
    static std::int32_t SendSms(const std::string& UserName, const std::string& Password,
                                const ArrayOfString& ToNumers, const std::string& SenderNumber,
                                const std::string& MessageText, bool IsFlash,
                                std::int32_t& SmsId);

    static double GetCredit(const std::string& UserName, const std::string& Password);
    static std::string GetCreditStr(const std::string& UserName, const std::string& Password);
    static std::int32_t GetInboxCount(const std::string& UserName, const std::string& Password,
                                      bool IsRead);
    static std::int32_t GetDelivery(const std::string& UserName, const std::string& Password,
                                    std::int32_t SmsId, ArrayOfString& Numbers,
                                    ArrayOfInteger& DeliveryStatus, std::int32_t Index,
                                    std::int32_t Count);
    static std::string GetSenderNumbers(const std::string& UserName, const std::string& Password);

    static ArrayOfMessageInfoRec GetMessages(const std::string& UserName,
                                             const std::string& Password,
                                             std::int32_t MessageType,
                                             const ArrayOfString& SenderNumbers,
                                             std::int32_t Index, std::int32_t Count);

    // The endpoint in force. SetEndpoint with an empty value restores that value's
    // compiled-in default.
    static TProviderEndpoint Endpoint();
    static void SetEndpoint(const std::string& EndpointURL, const std::string& Namespace);

private:
    static std::int32_t GetMessageType(const std::string& MsgType);
    static std::int32_t GetSmsLang(const std::string& SmsLang);
    static std::int32_t GetSmsStatus(const std::string& SmsStatus);
    friend struct TSendSmsWSTestAccess;
};
