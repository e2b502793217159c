// TSMSUtil::GetMessagesText: one message of the provider's list as text for the operator.
#include <string>

#include "platform/formats/formats.h"
#include "shared/uSmsUtils.h"

namespace {

void Line(std::string& out, const char* label, const std::string& value) {
    out += label;
    out += value;
    out += "\r\n";
}

std::string Int(std::int32_t v) { return std::to_string(v); }
std::string Bool(bool v) { return v ? "-1" : "0"; }

}  // namespace

std::string TSMSUtil::GetMessagesText(const TMessageInfoRec& AMessageInfo) {
    namespace fmt = kavar::formats;
    const TMessageInfoRec& m = AMessageInfo;
    std::string out;
    out.reserve(512 + m.Content.size() + m.Title.size() + m.Description.size());
    Line(out, "MessageId = ", Int(m.MessageId));
    Line(out, "UserId = ", Int(m.UserId));
    Line(out, "Tariff = ", fmt::FloatToStr(m.Tariff));
    Line(out, "Content = ", m.Content);
    Line(out, "ActionDateTime = ", fmt::DateTimeToStr(m.ActionDateTime));
    Line(out, "MessageType = ", Int(m.MessageType));
    Line(out, "Sender = ", m.Sender);
    Line(out, "Receiver = ", m.Receiver);
    Line(out, "Flash = ", Bool(m.IsFlash));
    Line(out, "Pages = ", Int(m.Pages));
    Line(out, "Lang = ", Int(m.SmsLang));
    Line(out, "Status = ", Int(m.SmsStatus));
    Line(out, "Title = ", m.Title);
    Line(out, "Count = ", Int(m.Count));
    Line(out, "Sent = ", Int(m.Sent));
    Line(out, "Description = ", m.Description);
    Line(out, "NotSent = ", Int(m.NotSent));
    Line(out, "MoneyIsRefunded = ", Bool(m.MoneyIsRefunded));
    Line(out, "IsRead = ", Bool(m.IsRead));
    return out;
}
