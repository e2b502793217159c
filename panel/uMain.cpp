#include "panel/uMain.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QTabBar>
#include <algorithm>
#include <climits>
#include <cstdint>

#include "outbox/Installer.h"
#include "panel/servicemanager/ServicePresence.h"
#include "panel/uMainTexts.h"
#include "platform/svcmgr/svcmgr.h"
#include "platform/version/version.h"

namespace kavar::panel {

namespace {

QString Q(const char* text) { return QString::fromUtf8(text); }
QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QString& text) { return text.toStdString(); }

constexpr int kClientWidth = 701;
constexpr int kClientHeight = 415;
constexpr int kDelayMin = 15;
constexpr int kDelayMax = 86400;
constexpr char kDefaultServiceNumber[] = "10000100000";
constexpr char kDefaultDBName[] = "Kavar_SMS";
constexpr char kSeparator[] = "----------------------------------";

// Qt's form of the time mask: an optional first hour digit, a required second one, a fixed
// colon and two required minute digits; unfilled places show as "_".
constexpr char kTimeMask[] = "09:99;_";

// Tahoma first; the others carry Persian glyphs where Tahoma is missing.
QFont WindowFont() {
    QFont font(QStringLiteral("Tahoma"), 9);
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Noto Sans Arabic"),
                      QStringLiteral("Noto Naskh Arabic"), QStringLiteral("DejaVu Sans")});
    return font;
}

template <class W>
W* Make(QWidget* parent, const char* name, int x, int y, int w, int h) {
    auto* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(x, y, w, h);
    return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text, int x, int y, int w,
                  int h = 21) {
    auto* label = Make<QLabel>(parent, name, x, y, w, h);
    label->setText(Q(text));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int x, int y, int w, bool password = false,
                    bool ltr = true) {
    auto* edit = Make<QLineEdit>(parent, name, x, y, w, 23);
    if (password) {
        edit->setEchoMode(QLineEdit::Password);
        // Each character shows as "*", not the style's own dot.
        edit->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    }
    if (ltr) edit->setLayoutDirection(Qt::LeftToRight);
    return edit;
}

QPlainTextEdit* MakeResultBox(QWidget* parent, const char* name, int x, int y, int w, int h) {
    auto* box = Make<QPlainTextEdit>(parent, name, x, y, w, h);
    box->setReadOnly(true);
    box->setLayoutDirection(Qt::LeftToRight);
    box->setLineWrapMode(QPlainTextEdit::NoWrap);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Every line left to right, also one that starts with Persian text.
    QTextOption option = box->document()->defaultTextOption();
    option.setTextDirection(Qt::LeftToRight);
    box->document()->setDefaultTextOption(option);
    return box;
}

QString RightAligned2(int code) { return QStringLiteral("%1").arg(code, 2); }

// The frame and thumb colours of the service switch for its state.
void PaintSwitch(TToggleSwitch* sw) {
    sw->SetFrameColor(ColorFromBgr(8421504));
    sw->SetThumbColor(ColorFromBgr(sw->IsOn() ? 0x0000D500u : 0x002B2BFFu));
}

}  // namespace

// ---- TSpinEdit ---------------------------------------------------------------------------

TSpinEdit::TSpinEdit(QWidget* parent) : QSpinBox(parent) {}

int TSpinEdit::Value() const {
    bool ok = false;
    // The field writes its number in the widget's locale (Persian digits in a Persian one);
    // that locale's reading also takes ASCII digits.
    int value = locale().toInt(text().trimmed(), &ok);
    if (!ok) return minimum();
    return std::clamp(value, minimum(), maximum());
}

QValidator::State TSpinEdit::validate(QString& input, int& pos) const {
    // Typing is limited; what the arrows put there is not.
    if (maxLength_ > 0 && input.size() > maxLength_ && input != textFromValue(value()))
        return QValidator::Invalid;
    return QSpinBox::validate(input, pos);
}

// ---- the window --------------------------------------------------------------------------

TfrmMain::TfrmMain(const QString& programFile, QWidget* parent)
    : QWidget(parent),
      programFile_(programFile.isEmpty() ? svcmgr::ExecutablePath() : S(programFile)),
      dispatcher_(*this) {
    BuildWindow();
    ConnectHandlers();
}

TfrmMain::~TfrmMain() { FormDestroy(); }

std::string TfrmMain::ProgramFolder() const {
    return S(QDir::cleanPath(QFileInfo(Q(programFile_)).absolutePath()));
}

void TfrmMain::BuildWindow() {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(Q(texts::kCaption));
    setLayoutDirection(Qt::RightToLeft);
    setFont(WindowFont());
    // A fixed dialog-style frame: no resizing, no maximising.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);

    SMSTimer = new QTimer(this);
    SMSTimer->setObjectName(QStringLiteral("SMSTimer"));
    TimerSvcCtrl = new QTimer(this);
    TimerSvcCtrl->setObjectName(QStringLiteral("TimerSvcCtrl"));
    TimerSvcCtrl->setInterval(30000);
    TimerSvcCtrl->start();

    PageControl = Make<QTabWidget>(this, "PageControl", 0, 0, kClientWidth, kClientHeight);
    PageControl->tabBar()->setElideMode(Qt::ElideNone);
    tsSetting = new QWidget;
    tsSetting->setObjectName(QStringLiteral("tsSetting"));
    tsSendSMS = new QWidget;
    tsSendSMS->setObjectName(QStringLiteral("tsSendSMS"));
    tsHelp = new QWidget;
    tsHelp->setObjectName(QStringLiteral("tsHelp"));
    PageControl->addTab(tsSetting, Q(texts::kTabSetting));
    PageControl->addTab(tsSendSMS, Q(texts::kTabSend));
    PageControl->addTab(tsHelp, Q(texts::kTabHelp));
    PageControl->setCurrentIndex(0);

    BuildSettingsPage();
    BuildSendPage();
    BuildHelpPage();
}

void TfrmMain::BuildSettingsPage() {
    QWidget* page = tsSetting;

    // Right: the provider account and the two sender numbers.
    grpSMSPanel = Make<QGroupBox>(page, "grpSMSPanel", 356, 6, 332, 170);
    grpSMSPanel->setTitle(Q(texts::kGrpSMSPanel));
    lblUserName = MakeLabel(grpSMSPanel, "lblUserName", texts::kUserName, 182, 26, 140);
    edUserName = MakeEdit(grpSMSPanel, "edUserName", 12, 26, 166);
    lblPassword = MakeLabel(grpSMSPanel, "lblPassword", texts::kPassword, 182, 60, 140);
    edPassword = MakeEdit(grpSMSPanel, "edPassword", 12, 60, 166, true);
    rdoNormalSender = Make<QRadioButton>(grpSMSPanel, "rdoNormalSender", 182, 94, 140, 23);
    rdoNormalSender->setText(Q(texts::kNormalSender));
    edNormalSenderNumber = MakeEdit(grpSMSPanel, "edNormalSenderNumber", 12, 94, 166);
    rdoServiceSender = Make<QRadioButton>(grpSMSPanel, "rdoServiceSender", 182, 128, 140, 23);
    rdoServiceSender->setText(Q(texts::kServiceSender));
    edServiceSenderNumber = MakeEdit(grpSMSPanel, "edServiceSenderNumber", 12, 128, 166);
    edServiceSenderNumber->setText(Q(kDefaultServiceNumber));
    rdoServiceSender->setChecked(true);

    // Left: the database connection.
    grpDatabase = Make<QGroupBox>(page, "grpDatabase", 10, 6, 332, 170);
    grpDatabase->setTitle(Q(texts::kGrpDatabase));
    lblServerName = MakeLabel(grpDatabase, "lblServerName", "Server Name", 222, 26, 100);
    edServerName = MakeEdit(grpDatabase, "edServerName", 12, 26, 206);
    lblSQLUser = MakeLabel(grpDatabase, "lblSQLUser", "Username", 222, 60, 100);
    edSQLUser = MakeEdit(grpDatabase, "edSQLUser", 12, 60, 206);
    lblSQLPass = MakeLabel(grpDatabase, "lblSQLPass", "Password", 222, 94, 100);
    edSQLPass = MakeEdit(grpDatabase, "edSQLPass", 12, 94, 206, true);
    lblDBName = MakeLabel(grpDatabase, "lblDBName", "Database", 222, 128, 100);
    edDBName = MakeEdit(grpDatabase, "edDBName", 12, 128, 206);
    edDBName->setText(Q(kDefaultDBName));

    // Below on the right: automatic sending, its interval, the switch, the window.
    chkAutoSendSMS = Make<QCheckBox>(page, "chkAutoSendSMS", 380, 186, 308, 23);
    chkAutoSendSMS->setText(Q(texts::kAutoSendSMS));

    lblTimerDelay = MakeLabel(page, "lblTimerDelay", texts::kTimerDelay, 520, 218, 168, 24);
    SpinEditTimerDelay = Make<TSpinEdit>(page, "SpinEditTimerDelay", 434, 218, 82, 24);
    SpinEditTimerDelay->setRange(kDelayMin, kDelayMax);
    SpinEditTimerDelay->setValue(60);
    SpinEditTimerDelay->SetMaxLength(4);
    SpinEditTimerDelay->setLayoutDirection(Qt::LeftToRight);
    QFont bold = SpinEditTimerDelay->font();
    bold.setBold(true);
    SpinEditTimerDelay->setFont(bold);
    lblSeconds = MakeLabel(page, "lblSeconds", texts::kSeconds, 380, 218, 50, 24);

    lblServiceSwitch =
        MakeLabel(page, "lblServiceSwitch", texts::kServiceSwitch, 520, 252, 168, 26);
    ToggleSwitch_SVCKAVARSMS =
        Make<TToggleSwitch>(page, "ToggleSwitch_SVCKAVARSMS", 400, 252, 116, 26);
    ToggleSwitch_SVCKAVARSMS->SetStateCaptions(Q(texts::kSwitchOn), Q(texts::kSwitchOff));
    PaintSwitch(ToggleSwitch_SVCKAVARSMS);

    lblActiveTimeStart =
        MakeLabel(page, "lblActiveTimeStart", texts::kActiveTimeFrom, 454, 290, 234, 24);
    ActiveTimeStart = MakeEdit(page, "ActiveTimeStart", 394, 290, 56);
    lblActiveTimeEnd = MakeLabel(page, "lblActiveTimeEnd", texts::kActiveTimeTo, 364, 290, 26, 24);
    ActiveTimeEnd = MakeEdit(page, "ActiveTimeEnd", 304, 290, 56);
    for (QLineEdit* edit : {ActiveTimeStart, ActiveTimeEnd}) {
        edit->setInputMask(QString::fromLatin1(kTimeMask));
        edit->setMaxLength(5);
        edit->setAlignment(Qt::AlignCenter);
    }

    // Left: the tools button with its menu, also as its context menu.
    sbTools = Make<QToolButton>(page, "sbTools", 10, 186, 130, 44);
    sbTools->setText(Q(texts::kTools));
    sbTools->setIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    sbTools->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    sbTools->setContextMenuPolicy(Qt::CustomContextMenu);

    pmTools = new QMenu(this);
    pmTools->setObjectName(QStringLiteral("pmTools"));
    pmTools->setLayoutDirection(Qt::RightToLeft);
    pmSetupDB = pmTools->addAction(Q(texts::kSetupDB));
    pmSetupDB->setObjectName(QStringLiteral("pmSetupDB"));
    pmSetupVELMO = pmTools->addAction(Q(texts::kSetupVELMO));
    pmSetupVELMO->setObjectName(QStringLiteral("pmSetupVELMO"));
    pmVELMOLog = pmTools->addAction(Q(texts::kVELMOLog));
    pmVELMOLog->setObjectName(QStringLiteral("pmVELMOLog"));
    pmReport = pmTools->addAction(Q(texts::kReport));
    pmReport->setObjectName(QStringLiteral("pmReport"));

    // Middle: save.
    btnSaveSetting = Make<QPushButton>(page, "btnSaveSetting", 270, 330, 160, 34);
    btnSaveSetting->setText(Q(texts::kSaveSetting));

    // Bottom left: the service state indicator.
    SvcStateShape = Make<TShape>(page, "SvcStateShape", 12, 346, 16, 16);
    SvcStateShape->SetBrushColor(ColorFromBgr(255));
    SvcStateShape->SetPenColor(Qt::white);
    SvcStateShape->setAttribute(Qt::WA_AlwaysShowToolTips);
    lblServiceState = Make<QLabel>(page, "lblServiceState", 32, 343, 120, 22);
    lblServiceState->setText(Q(texts::kServiceState));
    lblServiceState->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void TfrmMain::BuildSendPage() {
    QWidget* page = tsSendSMS;

    lblToNumbers = MakeLabel(page, "lblToNumbers", texts::kToNumbers, 560, 4, 128);
    lbxToNumbers = Make<QListWidget>(page, "lbxToNumbers", 560, 26, 128, 136);
    lbxToNumbers->setLayoutDirection(Qt::LeftToRight);
    btnAddNumber = Make<QPushButton>(page, "btnAddNumber", 530, 26, 26, 26);
    btnAddNumber->setText(QStringLiteral("+"));
    btnDeleteNumber = Make<QPushButton>(page, "btnDeleteNumber", 530, 56, 26, 26);
    btnDeleteNumber->setText(QStringLiteral("-"));
    for (QPushButton* b : {btnAddNumber, btnDeleteNumber}) {
        QFont f = b->font();
        f.setBold(true);
        b->setFont(f);
    }

    lblMessage = MakeLabel(page, "lblMessage", texts::kMessage, 230, 4, 290);
    memMessage = Make<QPlainTextEdit>(page, "memMessage", 230, 26, 290, 106);
    memMessage->setLayoutDirection(Qt::RightToLeft);
    // At most 500 characters: what arrives beyond them is refused, and the text already
    // there stays whole.
    connect(memMessage->document(), &QTextDocument::contentsChange, this,
            [this](int position, int, int added) {
                constexpr int kMax = 500;
                int excess = memMessage->toPlainText().size() - kMax;
                if (excess <= 0) return;
                QTextDocument* doc = memMessage->document();
                const int end = std::min(position + added, doc->characterCount() - 1);
                QTextCursor cursor(doc);
                cursor.setPosition(std::max(position, end - excess));
                cursor.setPosition(end, QTextCursor::KeepAnchor);
                cursor.removeSelectedText();
            });
    chkFlash = Make<QCheckBox>(page, "chkFlash", 370, 138, 150, 22);
    chkFlash->setText(Q(texts::kFlash));

    lblSmsId = MakeLabel(page, "lblSmsId", "SmsId", 10, 4, 200);
    edSmsId = MakeEdit(page, "edSmsId", 10, 26, 200);

    struct Op {
        QPushButton** button;
        const char* name;
        const char* caption;
    } ops[] = {
        {&btnSendSMS, "btnSendSMS", texts::kBtnSendSMS},
        {&btnGetCredit, "btnGetCredit", texts::kBtnGetCredit},
        {&btnGetDelivery, "btnGetDelivery", texts::kBtnGetDelivery},
        {&btnGetInboxCount, "btnGetInboxCount", texts::kBtnGetInboxCount},
        {&btnGetMessages, "btnGetMessages", texts::kBtnGetMessages},
    };
    int y = 174;
    for (const Op& op : ops) {
        *op.button = Make<QPushButton>(page, op.name, 412, y, 276, 32);
        (*op.button)->setText(Q(op.caption));
        y += 38;
    }

    btnEraser = Make<QPushButton>(page, "btnEraser", 10, 170, 56, 22);
    btnEraser->setText(Q(texts::kEraser));
    QFont f = btnEraser->font();
    f.setBold(true);
    btnEraser->setFont(f);
    lblResult = MakeLabel(page, "lblResult", texts::kResult, 284, 170, 116, 22);
    memResult = MakeResultBox(page, "memResult", 10, 196, 390, 176);
    QPalette muted = memResult->palette();
    muted.setColor(QPalette::Base, QColor(0xF0, 0xF0, 0xF0));
    memResult->setPalette(muted);
}

void TfrmMain::BuildHelpPage() {
    memHelp = MakeResultBox(tsHelp, "memHelp", 4, 4, kClientWidth - 14, kClientHeight - 40);
    memHelp->setPlainText(GuideLines().join(QLatin1Char('\n')));
}

template <class Sender, class Signal, class Handler>
void TfrmMain::Bind(Sender* sender, Signal signal, Handler handler) {
    connect(sender, signal, this, [this, handler] { Guarded(this, [&] { (this->*handler)(); }); });
}

void TfrmMain::ConnectHandlers() {
    Bind(btnSaveSetting, &QPushButton::clicked, &TfrmMain::btnSaveSettingClick);
    Bind(sbTools, &QToolButton::clicked, &TfrmMain::sbToolsClick);
    connect(sbTools, &QToolButton::customContextMenuRequested, this,
            [this](const QPoint& pos) { pmTools->popup(sbTools->mapToGlobal(pos)); });
    Bind(pmSetupDB, &QAction::triggered, &TfrmMain::pmSetupDBClick);
    Bind(pmSetupVELMO, &QAction::triggered, &TfrmMain::pmSetupVELMOClick);
    Bind(pmVELMOLog, &QAction::triggered, &TfrmMain::pmVELMOLogClick);
    Bind(pmReport, &QAction::triggered, &TfrmMain::pmReportClick);
    Bind(ToggleSwitch_SVCKAVARSMS, &TToggleSwitch::clicked,
         &TfrmMain::ToggleSwitch_SVCKAVARSMSClick);
    Bind(SMSTimer, &QTimer::timeout, &TfrmMain::SMSTimerTimer);
    Bind(TimerSvcCtrl, &QTimer::timeout, &TfrmMain::TimerSvcCtrlTimer);

    Bind(btnSendSMS, &QPushButton::clicked, &TfrmMain::btnSendSMSClick);
    Bind(btnGetCredit, &QPushButton::clicked, &TfrmMain::btnGetCreditClick);
    Bind(btnGetDelivery, &QPushButton::clicked, &TfrmMain::btnGetDeliveryClick);
    Bind(btnGetInboxCount, &QPushButton::clicked, &TfrmMain::btnGetInboxCountClick);
    Bind(btnGetMessages, &QPushButton::clicked, &TfrmMain::btnGetMessagesClick);
    Bind(btnAddNumber, &QPushButton::clicked, &TfrmMain::btnAddNumberClick);
    Bind(btnDeleteNumber, &QPushButton::clicked, &TfrmMain::btnDeleteNumberClick);
    Bind(btnEraser, &QPushButton::clicked, &TfrmMain::btnEraserClick);
}

// ---- life cycle --------------------------------------------------------------------------

void TfrmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_ || event->spontaneous()) return;
    shown_ = true;
    if (QScreen* screen = this->screen()) {
        QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    Guarded(this, [this] { FormShow(); });
}

void TfrmMain::FormShow() {
    setWindowTitle(windowTitle() + QString(59, QLatin1Char(' ')) + Q(texts::kVersionOpen) +
                   GetAppVersion(Q(programFile_)) + Q(texts::kVersionClose));
    Initialize();
    InitializeDatabase(false);
    SetTimer();
}

void TfrmMain::FormDestroy() {
    svcInfo = nullptr;
    ServiceManager.reset();
}

void TfrmMain::Initialize() {
    TSMSUtil::CallerProg = "APP";
    TSMSUtil::ApplicationExeName = ProgramFolder();
    TSMSUtil::LoadSetting(programFile_, AppSetting);

    edUserName->setText(Q(AppSetting.SMS_PanelUser));
    edPassword->setText(Q(AppSetting.SMS_PanelPass));
    edNormalSenderNumber->setText(Q(AppSetting.SMS_NormalNumber));
    edServiceSenderNumber->setText(AppSetting.SMS_ServiceNumber.empty()
                                       ? Q(kDefaultServiceNumber)
                                       : Q(AppSetting.SMS_ServiceNumber));
    if (AppSetting.SMS_ActiveServerNumber)
        rdoServiceSender->setChecked(true);
    else
        rdoNormalSender->setChecked(true);
    edServerName->setText(Q(AppSetting.SQL_ServerName));
    edSQLUser->setText(Q(AppSetting.SQL_User));
    edSQLPass->setText(Q(AppSetting.SQL_Pass));
    edDBName->setText(AppSetting.SQL_DBName.empty() ? Q(kDefaultDBName) : Q(AppSetting.SQL_DBName));
    chkAutoSendSMS->setChecked(AppSetting.AutoSendSMS);
    SpinEditTimerDelay->setValue(
        std::clamp<std::int32_t>(AppSetting.TimerDelay, kDelayMin, kDelayMax));
    ToggleSwitch_SVCKAVARSMS->SetOn(AppSetting.SVCKAVARSMS);
    PaintSwitch(ToggleSwitch_SVCKAVARSMS);
    SetMaskedText(ActiveTimeStart, Q(AppSetting.ActiveTimeStart));
    SetMaskedText(ActiveTimeEnd, Q(AppSetting.ActiveTimeEnd));

    ServiceManager = std::make_unique<TServiceManager>();
    svcInfo = nullptr;
}

bool TfrmMain::InitializeDatabase(bool ConnectOnly) {
    return dispatcher_.InitializeDatabase(ConnectOnly);
}

void TfrmMain::SetTimer() {
    // A timer of no (or a negative) interval never fires; QTimer would fire at once, so such
    // a delay gets the longest interval Qt has. Large delays must not overflow either.
    std::int64_t ms = static_cast<std::int64_t>(AppSetting.TimerDelay) * 1000;
    SMSTimer->setInterval(ms <= 0 || ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
    if (AppSetting.AutoSendSMS && !AppSetting.SVCKAVARSMS)
        SMSTimer->start();
    else
        SMSTimer->stop();
    if (SMSTimer->isActive()) dispatcher_.SetTimerIsActived(true);
    if (!TimerSvcCtrl->isActive()) TimerSvcCtrl->start();
}

// ---- reports and values ------------------------------------------------------------------

void TfrmMain::AddResult(const std::string& msg, bool AddLine) {
    QString text = Q(msg);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    // A box holding one empty line looks empty to Qt, which would then put the next text
    // on that line instead of after it.
    if (resultHasLines_ && memResult->document()->isEmpty()) text.prepend(QLatin1Char('\n'));
    if (AddLine) text += QLatin1Char('\n') + QString::fromLatin1(kSeparator);
    memResult->appendPlainText(text);
    resultHasLines_ = true;
}

std::string TfrmMain::GetActiveNumber() {
    return S(rdoServiceSender->isChecked() ? edServiceSenderNumber->text()
                                           : edNormalSenderNumber->text());
}

QString TfrmMain::GetAppVersion(const QString& fileName) {
    auto info = version::ReadFileVersion(S(fileName));
    if (!info) return QString();
    return QStringLiteral("%1.%2.%3.%4")
        .arg(info->FileVersionMS >> 16)
        .arg(info->FileVersionMS & 0xFFFF)
        .arg(info->FileVersionLS >> 16)
        .arg(info->FileVersionLS & 0xFFFF);
}

QStringList TfrmMain::GuideLines() {
    QStringList lines;
    lines << QStringLiteral("ResultCode :");
    for (int code = -1; code <= 11; ++code)
        lines << RightAligned2(code) +
                     (code >= 10 ? QStringLiteral(" = '") : QStringLiteral(" =  '")) +
                     Q(TSMSUtil::GetMessageStatusText(code)) + QStringLiteral("'");
    lines << QString();
    lines << QStringLiteral("DeliveryCode :");
    for (int code = -5; code <= 10; ++code)
        lines << RightAligned2(code) + QStringLiteral(" = '") +
                     Q(TSMSUtil::GetDeliveryStateText(code)) + QStringLiteral("'");
    return lines;
}

QString TfrmMain::MaskedText(const QLineEdit* edit) {
    QString text = edit->displayText();
    if (edit->inputMask().isEmpty()) return text;
    text.replace(QLatin1Char('_'), QLatin1Char(' '));
    // An hour of one digit reads with a leading blank (" 8:30"), wherever it was typed.
    if (text.size() >= 2 && text[0] != QLatin1Char(' ') && text[1] == QLatin1Char(' '))
        std::swap(text[0], text[1]);
    return text;
}

void TfrmMain::SetMaskedText(QLineEdit* edit, const QString& text) {
    QString masked = text;
    // Qt drops a blank it is given; its own blank character keeps the place unfilled.
    if (!edit->inputMask().isEmpty()) masked.replace(QLatin1Char(' '), QLatin1Char('_'));
    edit->setText(masked);
}

// ---- settings page and tools menu --------------------------------------------------------

void TfrmMain::btnSaveSettingClick() {
    if (!ServiceManager) ServiceManager = std::make_unique<TServiceManager>();
    if (ToggleSwitch_SVCKAVARSMS->IsOn() && !IsServiceInstalled(*ServiceManager, svcInfo)) {
        ShowMessage(this, Q(texts::kServiceNotInstalled));
        ToggleSwitch_SVCKAVARSMS->SetOn(false);
        PaintSwitch(ToggleSwitch_SVCKAVARSMS);
    }

    TAppSetting saved = AppSetting;
    AppSetting.SMS_PanelUser = S(edUserName->text());
    AppSetting.SMS_PanelPass = S(edPassword->text());
    AppSetting.SMS_NormalNumber = S(edNormalSenderNumber->text());
    AppSetting.SMS_ServiceNumber = S(edServiceSenderNumber->text());
    AppSetting.SMS_ActiveServerNumber = rdoServiceSender->isChecked();
    AppSetting.SQL_ServerName = S(edServerName->text());
    AppSetting.SQL_User = S(edSQLUser->text());
    AppSetting.SQL_Pass = S(edSQLPass->text());
    AppSetting.SQL_DBName = S(edDBName->text());
    AppSetting.AutoSendSMS = chkAutoSendSMS->isChecked();
    AppSetting.TimerDelay = SpinEditTimerDelay->Value();
    AppSetting.SVCKAVARSMS = ToggleSwitch_SVCKAVARSMS->IsOn();
    AppSetting.ActiveTimeStart = S(MaskedText(ActiveTimeStart));
    AppSetting.ActiveTimeEnd = S(MaskedText(ActiveTimeEnd));

    try {
        TSMSUtil::SaveSetting(programFile_, AppSetting);
    } catch (...) {
        // Not saved: the record stays what is in force (as last loaded or saved).
        AppSetting = saved;
        throw;
    }
    SetTimer();
    ShowMessage(this, Q(texts::kSettingsSaved));
}

void TfrmMain::sbToolsClick() {
    pmTools->popup(sbTools->mapToGlobal(QPoint(sbTools->width(), sbTools->height())));
}

void TfrmMain::pmSetupDBClick() {
    outbox::InstallDatabase(AppSetting, ACMaster, dispatcher_);
    ShowMessage(this, Q(texts::kDatabaseInstalled));
}

void TfrmMain::pmVELMOLogClick() {}

void TfrmMain::pmReportClick() {}

void TfrmMain::ToggleSwitch_SVCKAVARSMSClick() { PaintSwitch(ToggleSwitch_SVCKAVARSMS); }

void TfrmMain::ShowServiceRunning() {
    SvcStateShape->SetBrushColor(ColorFromBgr(65280));
    SvcStateShape->setToolTip(QStringLiteral("Running"));
}

void TfrmMain::ShowServiceStopped() {
    SvcStateShape->SetBrushColor(ColorFromBgr(255));
    SvcStateShape->setToolTip(QStringLiteral("Stoped"));
}

void TfrmMain::SMSTimerTimer() {
    if (IsProcessRunning(kServiceExeName)) return;
    if (!TSMSUtil::CheckActiveTime(AppSetting)) return;
    if (AppSetting.SVCKAVARSMS) return;
    if (!TimerIsActived()) return;
    dispatcher_.RunCycleIfActive();
}

// ---- the send cycle's host ---------------------------------------------------------------

const outbox::TOutboxHostTraits& TfrmMain::Traits() const { return outbox::PanelTraits(); }

std::string TfrmMain::GetPanelUser() { return S(edUserName->text()); }

std::string TfrmMain::GetPanelPass() { return S(edPassword->text()); }

bool TfrmMain::GetIsFlash() { return chkFlash->isChecked(); }

void TfrmMain::ProcessMessages() { QCoreApplication::processEvents(); }

}  // namespace kavar::panel
