// Input checks before a provider call, and the texts of the provider's answers.
#include "platform/formats/formats.h"
#include "shared/SmsTexts.h"
#include "shared/uSmsUtils.h"

namespace {

bool Fail(const char* text, std::string& log) {
    log = text;
    TSMSUtil::Logger(log);
    return false;
}

template <std::size_t N>
std::string TextOf(const kavar::texts::CodeText (&table)[N], std::int32_t code) {
    for (const auto& entry : table)
        if (entry.code == code) return entry.text;
    return "";
}

}  // namespace

bool TSMSUtil::ValidateMessage(const std::string& MSG, std::string& log) {
    return !kavar::Trim(MSG).empty() || Fail(kavar::texts::kEnterMessage, log);
}

bool TSMSUtil::ValidateNumbers(const std::string& Numbers, std::string& log) {
    return !kavar::Trim(Numbers).empty() || Fail(kavar::texts::kEnterNumbers, log);
}

bool TSMSUtil::ValidateSenderNumber(const std::string& SenderNumber, std::string& log) {
    return !kavar::Trim(SenderNumber).empty() || Fail(kavar::texts::kEnterSenderNumber, log);
}

bool TSMSUtil::ValidateSMSID(std::int32_t SMSID, std::string& log) {
    return SMSID > 0 || Fail(kavar::texts::kEnterSmsId, log);
}

bool TSMSUtil::ValidateUser(const std::string& Username, const std::string& Password,
                            std::string& log) {
    if (kavar::Trim(Username).empty()) return Fail(kavar::texts::kEnterUserName, log);
    if (kavar::Trim(Password).empty()) return Fail(kavar::texts::kEnterPassword, log);
    return true;
}

std::string TSMSUtil::GetMessageStatusText(std::int32_t StatusCode) {
    return TextOf(kavar::texts::kMessageStatus, StatusCode);
}

std::string TSMSUtil::GetDeliveryStateText(std::int32_t DeliveryStatus) {
    return TextOf(kavar::texts::kDeliveryState, DeliveryStatus);
}

std::string TSMSUtil::GetCreditStateTextByStr(const std::string& Credit) {
    if (Credit == "-1") return kavar::texts::kAccountRefused;
    if (Credit == "-2") return kavar::texts::kAccountInactive;
    return kavar::texts::kCreditPrefix + Credit + kavar::texts::kSmsSuffix;
}

std::string TSMSUtil::GetCreditStateText(double Credit) {
    if (Credit == -1.0) return kavar::texts::kAccountRefused;
    if (Credit == -2.0) return kavar::texts::kAccountInactive;
    return kavar::texts::kCreditPrefix + kavar::formats::FloatToStr(Credit) +
           kavar::texts::kSmsSuffix;
}

std::string TSMSUtil::GetInboxCountText(std::int32_t InboxCount) {
    if (InboxCount == -1) return kavar::texts::kAccountRefused;
    return kavar::texts::kInboxPrefix + std::to_string(InboxCount) + kavar::texts::kSmsSuffix;
}
