// The send page: calls to the provider by hand with the account and sender number as they
// stand on the settings page.
#include <QRegularExpression>
#include <cstdint>
#include <limits>

#include "panel/uMain.h"
#include "panel/uMainTexts.h"

namespace kavar::panel {

namespace {

std::string S(const QString& text) { return text.toStdString(); }

// A whole number as the field's text gives it: leading blanks, a sign, decimal digits or
// "$"/"0x" hexadecimal; anything else, or a number beyond 32 bits, is the default.
std::int32_t StrToIntDef(const QString& text, std::int32_t def) {
    static const QRegularExpression re(
        QStringLiteral("^\\s*([+-]?)(?:(\\d+)|(?:\\$|0[xX])([0-9a-fA-F]+))$"));
    auto m = re.match(text);
    if (!m.hasMatch()) return def;
    bool ok = false;
    qint64 value = m.captured(2).isEmpty() ? m.captured(3).toLongLong(&ok, 16)
                                           : m.captured(2).toLongLong(&ok, 10);
    if (!ok) return def;
    if (m.captured(1) == QLatin1String("-")) value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max())
        return def;
    return static_cast<std::int32_t>(value);
}

}  // namespace

bool TfrmMain::AccountChecked() {
    std::string log;
    if (TSMSUtil::ValidateUser(GetPanelUser(), GetPanelPass(), log)) return true;
    AddResult(log, true);
    return false;
}

void TfrmMain::btnSendSMSClick() {
    if (!AccountChecked()) return;
    std::string log;
    std::string sender = GetActiveNumber();
    if (!TSMSUtil::ValidateSenderNumber(sender, log)) return AddResult(log, true);
    // The text box breaks lines with LF; the message goes out with CR LF as typed.
    std::string message =
        S(memMessage->toPlainText().replace(QLatin1Char('\n'), QLatin1String("\r\n")));
    if (!TSMSUtil::ValidateMessage(message, log)) return AddResult(log, true);

    ArrayOfString numbers;
    std::string list;
    for (int i = 0; i < lbxToNumbers->count(); ++i) {
        numbers.push_back(S(lbxToNumbers->item(i)->text()));
        list += numbers.back() + "\r\n";
    }
    if (!TSMSUtil::ValidateNumbers(list, log)) return AddResult(log, true);

    std::int32_t smsId = 0;
    std::int32_t code = TSendSmsWS::SendSms(GetPanelUser(), GetPanelPass(), numbers, sender,
                                            message, chkFlash->isChecked(), smsId);
    std::string outcome = TSMSUtil::GetMessageStatusText(code);
    if (code == 0) outcome += "\r\nSmsId = " + std::to_string(smsId);
    AddResult(outcome, true);
}

void TfrmMain::btnGetCreditClick() {
    if (!AccountChecked()) return;
    std::string credit = TSendSmsWS::GetCreditStr(GetPanelUser(), GetPanelPass());
    AddResult(TSMSUtil::GetCreditStateTextByStr(credit), true);
}

void TfrmMain::btnGetDeliveryClick() {
    if (!AccountChecked()) return;
    std::string log;
    std::int32_t smsId = StrToIntDef(edSmsId->text(), 0);
    if (!TSMSUtil::ValidateSMSID(smsId, log)) return AddResult(log, true);

    ArrayOfString numbers;
    ArrayOfInteger states;
    std::int32_t code =
        TSendSmsWS::GetDelivery(GetPanelUser(), GetPanelPass(), smsId, numbers, states, 1, 10);
    AddResult(TSMSUtil::GetDeliveryStateText(code), true);
    if (code != 0) return;
    std::string text;
    for (std::size_t i = 0; i < numbers.size() && i < states.size(); ++i)
        text += texts::kDeliveryNumber + numbers[i] + texts::kDeliveryState +
                TSMSUtil::GetDeliveryStateText(states[i]) + "\r\n";
    AddResult(text, true);
}

void TfrmMain::btnGetInboxCountClick() {
    if (!AccountChecked()) return;
    std::int32_t count = TSendSmsWS::GetInboxCount(GetPanelUser(), GetPanelPass(), true);
    AddResult(TSMSUtil::GetInboxCountText(count), true);
}

void TfrmMain::btnGetMessagesClick() {
    if (!AccountChecked()) return;
    std::string log;
    std::string sender = GetActiveNumber();
    if (!TSMSUtil::ValidateSenderNumber(sender, log)) return AddResult(log, true);
    ArrayOfMessageInfoRec messages =
        TSendSmsWS::GetMessages(GetPanelUser(), GetPanelPass(), 2, {sender}, 1, 10);
    for (const TMessageInfoRec& m : messages) AddResult(TSMSUtil::GetMessagesText(m), true);
}

void TfrmMain::btnAddNumberClick() {
    TInputBoxRequest request;
    request.Caption = QString::fromUtf8(texts::kAddNumberCaption);
    request.Prompt = QString::fromUtf8(texts::kAddNumberPrompt);
    std::optional<QString> number = InputBox(this, request);
    if (number && !number->isEmpty()) lbxToNumbers->addItem(*number);
}

void TfrmMain::btnDeleteNumberClick() {
    QListWidgetItem* item = lbxToNumbers->currentItem();
    if (!item || !item->isSelected()) return;
    delete lbxToNumbers->takeItem(lbxToNumbers->row(item));
    // Qt selects the next entry; a second click must not remove one the operator never chose.
    lbxToNumbers->clearSelection();
}

void TfrmMain::btnEraserClick() {
    memResult->clear();
    resultHasLines_ = false;
}

}  // namespace kavar::panel
