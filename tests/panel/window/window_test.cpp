// The real control panel window on the offscreen platform, driven by object name, with a
// temporary program folder, a real SQLite outbox and the provider simulator.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QTabBar>
#include <QTest>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>

#include "outbox/OutboxTestSupport.h"
#include "panel/Dialogs.h"
#include "panel/servicemanager/ServicePresence.h"
#include "panel/uMain.h"
#include "panel/uMainTexts.h"
#include "platform/scm/scm.h"
#include "support/ProviderSimProcess.h"

using namespace kavar;
using kavar::panel::TfrmMain;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;
namespace texts = kavar::panel::texts;

namespace {

const std::string kDash = "----------------------------------";

// One application and one simulator for the whole program: both are slow to start.
class QtEnvironment : public ::testing::Environment {
  public:
    static test::ProviderSimProcess& Sim() { return *sim_; }

    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<panel::TKavarApplication>(argc_, argv_);
        sim_ = std::make_unique<test::ProviderSimProcess>();
    }
    void TearDown() override {
        sim_.reset();
        app_.reset();
    }

  private:
    int argc_ = 1;
    char name_[16] = "window_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<panel::TKavarApplication> app_;
    static inline std::unique_ptr<test::ProviderSimProcess> sim_;
};
[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

std::string S(const QString& s) { return s.toStdString(); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

// Every box the window shows, answered without showing it.
struct Boxes {
    std::vector<panel::TMessageBoxRequest> shown;
    std::vector<panel::TInputBoxRequest> inputs;
    std::deque<std::optional<QString>> inputAnswers;

    Boxes() {
        panel::SetMessageBoxHandler([this](const panel::TMessageBoxRequest& r) {
            shown.push_back(r);
            return panel::mbOK;
        });
        panel::SetInputBoxHandler([this](const panel::TInputBoxRequest& r) {
            inputs.push_back(r);
            std::optional<QString> answer;
            if (!inputAnswers.empty()) {
                answer = inputAnswers.front();
                inputAnswers.pop_front();
            }
            return answer;
        });
    }
    ~Boxes() {
        panel::SetMessageBoxHandler({});
        panel::SetInputBoxHandler({});
    }
    Lines Texts() const {
        Lines out;
        for (const auto& b : shown) out.push_back(S(b.Text));
        return out;
    }
};

class Window : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("KAVAR_SCM_ROOT", scmRoot.Path().c_str(), 1);
        Sim().Reset();
        Sim().ClearRequests();
        program = dir.File("KavarSMS");
        dbPath = dir.File("Kavar_SMS.sqlite");
        test::CreateOutboxDatabase(dbPath);
    }
    void TearDown() override {
        w.reset();
        unsetenv("KAVAR_SCM_ROOT");
    }

    static test::ProviderSimProcess& Sim() { return QtEnvironment::Sim(); }

    // A complete record that sends from the panel's own timer.
    static TAppSetting Setting() {
        TAppSetting s;
        s.SMS_PanelUser = "kavar";
        s.SMS_PanelPass = "secret";
        s.SMS_NormalNumber = "30001234";
        s.SMS_ServiceNumber = "50009999";
        s.SMS_ActiveServerNumber = true;
        s.SQL_ServerName = "sqlite:";
        s.SQL_User = "sa";
        s.SQL_Pass = "pw";
        s.SQL_DBName = "Kavar_SMS";
        s.AutoSendSMS = true;
        s.TimerDelay = 60;
        s.SVCKAVARSMS = false;
        s.ActiveTimeStart = "00:00";
        s.ActiveTimeEnd = "23:59";
        return s;
    }

    // The settings file with the simulator as the provider.
    void WriteSettings(const TAppSetting& s) {
        TSMSUtil::SaveSetting(program, s);
        std::ofstream(dir.File("KavarConfig.ini"), std::ios::app)
            << "[Provider]\r\nEndpointURL=" << Sim().Url() << "\r\nNamespace=" << Sim().Namespace()
            << "\r\n";
    }
    // A key's value as written in the file, blanks included (reading trims them).
    std::string RawValue(const std::string& key) {
        std::ifstream in(dir.File("KavarConfig.ini"), std::ios::binary);
        std::string line;
        while (std::getline(in, line))
            if (line.rfind(key + "=", 0) == 0) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line.substr(key.size() + 1);
            }
        return "<missing>";
    }
    TAppSetting ReadSettings() {
        TAppSetting s;
        TSMSUtil::LoadSetting(program, s);
        return s;
    }

    TfrmMain& Open() {
        w = std::make_unique<TfrmMain>(Q(program));
        w->show();
        return *w;
    }
    template <class T>
    T* Find(const char* name) {
        T* found = w->findChild<T*>(QString::fromLatin1(name));
        if (!found) ADD_FAILURE() << "no control " << name;
        return found;
    }
    void Click(const char* name) { Find<QAbstractButton>(name)->click(); }
    void Type(const char* name, const std::string& text) {
        Find<QLineEdit>(name)->setText(Q(text));
    }
    Lines Result() {
        QString text = Find<QPlainTextEdit>("memResult")->toPlainText();
        if (text.isEmpty()) return {};
        Lines out;
        for (const QString& l : text.split(QLatin1Char('\n'))) out.push_back(S(l));
        return out;
    }
    void ClearResult() { Click("btnEraser"); }
    std::vector<test::SimRequest> Requests(const std::string& op = "") {
        std::vector<test::SimRequest> out;
        for (auto& r : Sim().Requests())
            if (op.empty() || r.Operation == op) out.push_back(r);
        return out;
    }
    // Adds recipients through the add button's input box.
    void AddNumbers(std::initializer_list<const char*> numbers) {
        for (const char* n : numbers) {
            boxes.inputAnswers.push_back(QString::fromUtf8(n));
            Click("btnAddNumber");
        }
    }
    db::Connection& Db() {
        view.OpenSQLite(dbPath);
        return view;
    }
    // A service "Velmo" registered with this test's service manager.
    void RegisterService() {
        scm::SC_HANDLE m = scm::OpenSCManager(nullptr, nullptr, scm::SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(m, nullptr) << scm::GetLastError();
        scm::SC_HANDLE s = scm::CreateService(
            m, panel::kServiceName, panel::kServiceName, scm::SERVICE_ALL_ACCESS,
            scm::SERVICE_WIN32_OWN_PROCESS, scm::SERVICE_DEMAND_START, scm::SERVICE_ERROR_NORMAL,
            dir.File("Velmo").c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(s, nullptr) << scm::GetLastError();
        scm::CloseServiceHandle(s);
        scm::CloseServiceHandle(m);
    }

    static std::string Check(bool (*check)(const std::string&, std::string&),
                             const std::string& value) {
        std::string log;
        check(value, log);
        return log;
    }

    test::TempDir dir;
    test::TempDir scmRoot;
    std::string program;
    std::string dbPath;
    Boxes boxes;
    db::Connection view;
    std::unique_ptr<TfrmMain> w;
};

// ---- loading --------------------------------------------------------------------------

TEST_F(Window, WithoutSettingsFileShowsTheDefaultsAndStaysIdle) {
    TfrmMain& f = Open();
    EXPECT_EQ(S(Find<QLineEdit>("edUserName")->text()), "");
    EXPECT_EQ(S(Find<QLineEdit>("edPassword")->text()), "");
    EXPECT_EQ(S(Find<QLineEdit>("edServiceSenderNumber")->text()), "10000100000");
    EXPECT_EQ(S(Find<QLineEdit>("edDBName")->text()), "Kavar_SMS");
    EXPECT_TRUE(Find<QRadioButton>("rdoNormalSender")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>("chkAutoSendSMS")->isChecked());
    EXPECT_EQ(Find<QSpinBox>("SpinEditTimerDelay")->value(), 15);
    EXPECT_FALSE(Find<panel::TToggleSwitch>("ToggleSwitch_SVCKAVARSMS")->IsOn());
    EXPECT_EQ(S(TfrmMain::MaskedText(Find<QLineEdit>("ActiveTimeStart"))), "  :  ");
    EXPECT_EQ(S(TfrmMain::MaskedText(Find<QLineEdit>("ActiveTimeEnd"))), "  :  ");
    EXPECT_FALSE(f.SMSTimer->isActive());
    EXPECT_FALSE(f.TimerIsActived());
    EXPECT_TRUE(f.TimerSvcCtrl->isActive());
    EXPECT_EQ(f.TimerSvcCtrl->interval(), 30000);
    EXPECT_EQ(f.AppSetting, TAppSetting{});
    // The database is reached with the (empty) record: the failure is reported, not raised.
    ASSERT_FALSE(Result().empty());
    EXPECT_EQ(Result()[0].rfind("Exception in open  ADO Connection.", 0), 0u) << Result()[0];
    EXPECT_TRUE(boxes.shown.empty());
    // Logging the missing file went to the program folder's own log.
    EXPECT_TRUE(fs::exists(dir.File("Log")));
}

TEST_F(Window, FullSettingsFileFillsThePageAndArmsTheTimerWithTheStoredDelay) {
    TAppSetting s = Setting();
    s.SMS_ServiceNumber = "";
    s.SMS_ActiveServerNumber = false;
    s.TimerDelay = 5;
    s.ActiveTimeStart = " 8:30";
    WriteSettings(s);
    TfrmMain& f = Open();

    EXPECT_EQ(S(Find<QLineEdit>("edUserName")->text()), "kavar");
    EXPECT_EQ(S(Find<QLineEdit>("edPassword")->text()), "secret");
    for (const char* name : {"edPassword", "edSQLPass"}) {
        auto* edit = Find<QLineEdit>(name);
        EXPECT_EQ(edit->echoMode(), QLineEdit::Password) << name;
        EXPECT_EQ(edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, edit),
                  '*')
            << name;
    }
    EXPECT_EQ(S(Find<QLineEdit>("edNormalSenderNumber")->text()), "30001234");
    EXPECT_EQ(S(Find<QLineEdit>("edServiceSenderNumber")->text()), "10000100000");
    EXPECT_TRUE(Find<QRadioButton>("rdoNormalSender")->isChecked());
    EXPECT_EQ(S(Find<QLineEdit>("edServerName")->text()), "sqlite:");
    EXPECT_EQ(S(Find<QLineEdit>("edSQLUser")->text()), "sa");
    EXPECT_EQ(S(Find<QLineEdit>("edSQLPass")->text()), "pw");
    EXPECT_TRUE(Find<QCheckBox>("chkAutoSendSMS")->isChecked());
    EXPECT_EQ(S(TfrmMain::MaskedText(Find<QLineEdit>("ActiveTimeStart"))), " 8:30");
    EXPECT_EQ(S(TfrmMain::MaskedText(Find<QLineEdit>("ActiveTimeEnd"))), "23:59");
    EXPECT_EQ(Result(), (Lines{"InitializeDatabase"}));

    // Shown brought into range, but in force as stored until saved.
    EXPECT_EQ(Find<QSpinBox>("SpinEditTimerDelay")->value(), 15);
    EXPECT_TRUE(f.SMSTimer->isActive());
    EXPECT_EQ(f.SMSTimer->interval(), 5000);
    EXPECT_TRUE(f.TimerIsActived());

    Click("btnSaveSetting");
    EXPECT_EQ(boxes.Texts(), (Lines{texts::kSettingsSaved}));
    EXPECT_EQ(f.SMSTimer->interval(), 15000);
    TAppSetting stored = ReadSettings();
    EXPECT_EQ(stored.TimerDelay, 15);
    EXPECT_EQ(stored.SMS_ServiceNumber, "10000100000");
    EXPECT_FALSE(stored.SMS_ActiveServerNumber);
    EXPECT_EQ(RawValue("ActiveTimeStart"), " 8:30");
}

// ---- saving ---------------------------------------------------------------------------

TEST_F(Window, SaveStoresThePageAsTypedAndOnlyThen) {
    TfrmMain& f = Open();
    Type("edUserName", " user ");
    Type("edPassword", "p@ss=word");
    Type("edNormalSenderNumber", "3000");
    Type("edServiceSenderNumber", "");
    Find<QRadioButton>("rdoNormalSender")->setChecked(true);
    Type("edServerName", "db.example");
    Type("edSQLUser", "sqluser");
    Type("edSQLPass", "sqlpass");
    Type("edDBName", "Other");
    Find<QCheckBox>("chkAutoSendSMS")->setChecked(true);
    Find<panel::TSpinEdit>("SpinEditTimerDelay")->LineEdit()->setText("abc");
    Type("ActiveTimeEnd", "17:05");
    // One hour digit typed into the second place.
    auto* end = Find<QLineEdit>("ActiveTimeEnd");
    end->clear();
    end->setFocus();
    end->setCursorPosition(1);
    QTest::keyClicks(end, "705");

    // Typed but not saved: the record in force is untouched.
    EXPECT_EQ(f.AppSetting, TAppSetting{});
    Click("btnSaveSetting");

    TAppSetting expected;
    expected.SMS_PanelUser = " user ";
    expected.SMS_PanelPass = "p@ss=word";
    expected.SMS_NormalNumber = "3000";
    expected.SMS_ServiceNumber = "";
    expected.SMS_ActiveServerNumber = false;
    expected.SQL_ServerName = "db.example";
    expected.SQL_User = "sqluser";
    expected.SQL_Pass = "sqlpass";
    expected.SQL_DBName = "Other";
    expected.AutoSendSMS = true;
    expected.TimerDelay = 15;  // not a number
    expected.SVCKAVARSMS = false;
    expected.ActiveTimeStart = "  :  ";  // untouched
    expected.ActiveTimeEnd = " 7:05";
    EXPECT_EQ(f.AppSetting, expected);
    EXPECT_EQ(RawValue("SMS_PanelUser"), " user ");
    EXPECT_EQ(RawValue("ActiveTimeStart"), "  :  ");
    // Reading the file trims blanks around values.
    expected.SMS_PanelUser = "user";
    expected.ActiveTimeStart = ":";
    expected.ActiveTimeEnd = "7:05";
    EXPECT_EQ(ReadSettings(), expected);
    EXPECT_EQ(boxes.Texts(), (Lines{texts::kSettingsSaved}));
    EXPECT_TRUE(f.SMSTimer->isActive());
    EXPECT_EQ(f.SMSTimer->interval(), 15000);
    EXPECT_TRUE(f.TimerIsActived());
}

TEST_F(Window, DelayFieldSavesItsNumberInAPersianLocale) {
    TfrmMain& f = Open();
    auto* delay = Find<panel::TSpinEdit>("SpinEditTimerDelay");
    delay->setLocale(QLocale(QLocale::Persian, QLocale::Iran));
    delay->setValue(120);
    ASSERT_NE(S(delay->text()), "120");  // shown in Persian digits
    Click("btnSaveSetting");
    EXPECT_EQ(f.AppSetting.TimerDelay, 120);
    delay->LineEdit()->setText(QStringLiteral("300"));  // ASCII digits typed
    EXPECT_EQ(delay->Value(), 300);
}

TEST_F(Window, ServiceSwitchIsSavedOnlyForAnInstalledServiceAndKeepsThePanelTimerOff) {
    WriteSettings(Setting());
    TfrmMain& f = Open();
    auto* sw = Find<panel::TToggleSwitch>("ToggleSwitch_SVCKAVARSMS");
    ASSERT_TRUE(f.SMSTimer->isActive());

    // Not installed: the message, and the switch is saved off.
    sw->click();
    EXPECT_TRUE(sw->IsOn());
    Click("btnSaveSetting");
    EXPECT_EQ(boxes.Texts(), (Lines{texts::kServiceNotInstalled, texts::kSettingsSaved}));
    EXPECT_FALSE(sw->IsOn());
    EXPECT_FALSE(ReadSettings().SVCKAVARSMS);
    EXPECT_TRUE(f.SMSTimer->isActive());

    // Installed: saved on, and the panel's timer stands down although auto-send is on.
    RegisterService();
    boxes.shown.clear();
    sw->click();
    Click("btnSaveSetting");
    EXPECT_EQ(boxes.Texts(), (Lines{texts::kSettingsSaved}));
    EXPECT_TRUE(ReadSettings().SVCKAVARSMS);
    EXPECT_FALSE(f.SMSTimer->isActive());
    // Disarming leaves the cycle flag as it was.
    EXPECT_TRUE(f.TimerIsActived());
}

TEST_F(Window, SwitchClickOnlyRecolours) {
    Open();
    auto* sw = Find<panel::TToggleSwitch>("ToggleSwitch_SVCKAVARSMS");
    sw->click();
    EXPECT_EQ(sw->FrameColor(), QColor(128, 128, 128));
    EXPECT_EQ(sw->ThumbColor(), QColor(0, 213, 0));
    sw->click();
    EXPECT_EQ(sw->ThumbColor(), QColor(255, 43, 43));
    EXPECT_FALSE(fs::exists(dir.File("KavarConfig.ini")));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Window, AFailedSaveIsReportedAndChangesNothing) {
    WriteSettings(Setting());
    TfrmMain& f = Open();
    TAppSetting before = f.AppSetting;
    // The settings file cannot be written where a folder of its name stands.
    fs::remove(dir.File("KavarConfig.ini"));
    fs::create_directory(dir.File("KavarConfig.ini"));
    Find<QCheckBox>("chkAutoSendSMS")->setChecked(false);
    Click("btnSaveSetting");

    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].Type, panel::TMsgDlgType::mtError);
    EXPECT_NE(S(boxes.shown[0].Text).find("KavarConfig.ini"), std::string::npos)
        << S(boxes.shown[0].Text);
    EXPECT_EQ(f.AppSetting, before);
    EXPECT_TRUE(f.SMSTimer->isActive());

    // The window goes on working.
    fs::remove(dir.File("KavarConfig.ini"));
    Click("btnSaveSetting");
    EXPECT_EQ(S(boxes.shown.back().Text), texts::kSettingsSaved);
    EXPECT_FALSE(f.SMSTimer->isActive());
}

TEST_F(Window, DatabaseInstallerCreatesTheDatabaseAndSaysSo) {
    fs::remove(dbPath);
    WriteSettings(Setting());
    TfrmMain& f = Open();
    f.pmSetupDB->trigger();
    EXPECT_EQ(boxes.Texts(), (Lines{texts::kDatabaseInstalled}));
    EXPECT_EQ(boxes.shown[0].Buttons, panel::mbOK);
    EXPECT_EQ(test::Count(Db(), "Outbox_High_Auto"), 0);
    EXPECT_EQ(test::Count(Db(), "Sent_Item"), 0);

    // A failure goes to the general error report.
    boxes.shown.clear();
    f.AppSetting.SQL_ServerName = "odbc:DSN=kavar-no-such-dsn";
    f.ACMaster.Close();
    f.pmSetupDB->trigger();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].Type, panel::TMsgDlgType::mtError);
}

TEST(ErrorReport, ARepeatIsNotStackedOnAnOpenReportOfTheSameText) {
    std::vector<std::string> shown;
    panel::SetMessageBoxHandler([&](const panel::TMessageBoxRequest& r) {
        shown.push_back(S(r.Text));
        // The next tick of a failing timer arrives while this box is open.
        if (shown.size() == 1) {
            panel::ShowException(nullptr, std::runtime_error("tick failed"));
            panel::ShowException(nullptr, std::runtime_error("other"));
        }
        return panel::mbOK;
    });
    panel::Guarded(nullptr, [] { throw std::runtime_error("tick failed"); });
    panel::Guarded(nullptr, [] { throw std::runtime_error("tick failed"); });
    panel::SetMessageBoxHandler({});
    EXPECT_EQ(shown, (Lines{"tick failed", "other", "tick failed"}));
}

// ---- the panel's own sending ----------------------------------------------------------

TEST_F(Window, SendTickStandsBackUnlessThePanelSends) {
    WriteSettings(Setting());
    Db().Execute(
        "INSERT INTO Outbox_High_Auto (ID, Mobile_Number, Message) VALUES (1, '0912', 'x')");
    TfrmMain& f = Open();
    if (panel::IsProcessRunning(panel::kServiceExeName))
        GTEST_SKIP() << "a Velmo process runs on this machine";
    if (!TSMSUtil::CheckActiveTime(f.AppSetting)) GTEST_SKIP() << "outside 00:01-23:58";

    f.AppSetting.SVCKAVARSMS = true;
    f.SMSTimerTimer();
    f.AppSetting.SVCKAVARSMS = false;
    f.Dispatcher().SetTimerIsActived(false);
    f.SMSTimerTimer();
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(test::Count(Db(), "Outbox_High_Auto"), 1);

    // Armed, inside the window, the panel's switch: the tick runs a cycle.
    f.Dispatcher().SetTimerIsActived(true);
    f.SMSTimerTimer();
    EXPECT_EQ(Requests("SendBatchSms").size(), 1u);
    EXPECT_EQ(test::Count(Db(), "Outbox_High_Auto"), 0);
    EXPECT_TRUE(f.TimerIsActived());

    // A window limit that is not a time of day is an error of the tick.
    Sim().ClearRequests();
    Db().Execute(
        "INSERT INTO Outbox_High_Auto (ID, Mobile_Number, Message) VALUES (2, '0912', 'x')");
    f.AppSetting.ActiveTimeStart = "  :  ";
    EXPECT_ANY_THROW(f.SMSTimerTimer());
    EXPECT_TRUE(Requests().empty());
}

TEST_F(Window, SendCycleUsesTheAccountNumberAndFlashOnThePage) {
    WriteSettings(Setting());
    Db().Execute(
        "INSERT INTO Outbox_High_Auto (ID, Mobile_Number, Message) VALUES (7, '09120000007', "
        "'seven'), (3, '09120000003', 'three'), (5, '', 'no number')");
    Sim().SetNextBatchId(900);
    TfrmMain& f = Open();
    ClearResult();
    // Typed, not saved: the cycle uses them at once.
    Type("edUserName", "typed-user");
    Find<QRadioButton>("rdoNormalSender")->setChecked(true);
    Find<QCheckBox>("chkFlash")->setChecked(true);

    ASSERT_TRUE(f.TimerIsActived());
    ASSERT_TRUE(f.Dispatcher().RunCycleIfActive());
    EXPECT_TRUE(f.TimerIsActived());

    std::string accepted = TSMSUtil::GetMessageStatusText(0);
    EXPECT_EQ(Result(), (Lines{"InitializeDatabase", accepted, "SmsId = 900", kDash,
                               "ID : (5 ) شماره موبایل نامعتبر است.", kDash, accepted,
                               "SmsId = 901", kDash}));
    auto sends = Requests("SendBatchSms");
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_NE(sends[0].Body.find("09120000003"), std::string::npos);  // lowest ID first
    EXPECT_NE(sends[0].Body.find("typed-user"), std::string::npos);
    EXPECT_NE(sends[0].Body.find("30001234"), std::string::npos);
    EXPECT_NE(sends[0].Body.find(">true<"), std::string::npos) << sends[0].Body;
    EXPECT_EQ(test::Count(Db(), "Sent_Item"), 2);
    EXPECT_EQ(test::Rows(Db(), "SELECT ID, IsNotValid FROM Outbox_High_Auto"),
              (std::vector<Lines>{{"5", "1"}}));
}

// ---- the send page --------------------------------------------------------------------

TEST_F(Window, FailedChecksWriteTheirTextAndSendNothing) {
    WriteSettings(Setting());
    Open();
    std::string log;
    auto userText = [&](const std::string& u, const std::string& p) {
        TSMSUtil::ValidateUser(u, p, log);
        return log;
    };
    struct Case {
        const char* name;
        std::function<void()> arrange;
        const char* button;
        std::string expected;
    } cases[] = {
        {"no account",
         [&] {
             Type("edUserName", "");
             Type("edPassword", "");
         },
         "btnSendSMS", userText("", "")},
        {"no password", [&] { Type("edPassword", ""); }, "btnGetCredit", userText("u", "")},
        {"no password", [&] { Type("edPassword", ""); }, "btnGetInboxCount", userText("u", "")},
        {"no sender", [&] { Type("edServiceSenderNumber", ""); }, "btnSendSMS",
         Check(TSMSUtil::ValidateSenderNumber, "")},
        {"no sender", [&] { Type("edServiceSenderNumber", ""); }, "btnGetMessages",
         Check(TSMSUtil::ValidateSenderNumber, "")},
        {"blank message", [&] { Find<QPlainTextEdit>("memMessage")->setPlainText("  "); },
         "btnSendSMS", Check(TSMSUtil::ValidateMessage, "  ")},
        {"no recipients", [&] { Find<QPlainTextEdit>("memMessage")->setPlainText("hi"); },
         "btnSendSMS", Check(TSMSUtil::ValidateNumbers, "")},
        {"SmsId 0", [&] { Type("edSmsId", "0"); }, "btnGetDelivery", ""},
        {"SmsId -5", [&] { Type("edSmsId", "-5"); }, "btnGetDelivery", ""},
        {"SmsId text", [&] { Type("edSmsId", "12a"); }, "btnGetDelivery", ""},
    };
    std::string smsIdText;
    TSMSUtil::ValidateSMSID(0, smsIdText);
    for (Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + c.button);
        WriteSettings(Setting());
        w.reset();
        Open();
        ClearResult();
        c.arrange();
        Click(c.button);
        std::string expected = c.expected.empty() ? smsIdText : c.expected;
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(Result(), (Lines{expected, kDash}));
        EXPECT_TRUE(Requests().empty());
    }
}

TEST_F(Window, SendGoesToTheListedNumbersFromTheActiveSender) {
    WriteSettings(Setting());
    Sim().SetNextBatchId(4711);
    Open();
    ClearResult();
    Find<QPlainTextEdit>("memMessage")->setPlainText("line one\nline two");
    AddNumbers({"09121111111", "   "});
    Click("btnSendSMS");
    EXPECT_EQ(Result(), (Lines{TSMSUtil::GetMessageStatusText(0), "SmsId = 4711", kDash}));
    auto sends = Requests("SendBatchSms");
    ASSERT_EQ(sends.size(), 1u);
    const std::string& body = sends[0].Body;
    EXPECT_NE(body.find("09121111111"), std::string::npos);
    EXPECT_NE(body.find("50009999"), std::string::npos);  // the service number's radio
    EXPECT_NE(body.find("line one\r\nline two"), std::string::npos) << body;

    // Switching the radio without saving changes the sender at once.
    Sim().ClearRequests();
    Find<QRadioButton>("rdoNormalSender")->setChecked(true);
    Sim().Refuse(8);
    Click("btnSendSMS");
    sends = Requests("SendBatchSms");
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_NE(sends[0].Body.find("30001234"), std::string::npos);
    EXPECT_EQ(Result().end()[-2], TSMSUtil::GetMessageStatusText(8));
}

TEST_F(Window, QueriesWriteTheProvidersAnswers) {
    WriteSettings(Setting());
    Open();

    ClearResult();
    Sim().SetCredit("-2");
    Click("btnGetCredit");
    EXPECT_EQ(Result(), (Lines{TSMSUtil::GetCreditStateTextByStr("-2"), kDash}));
    EXPECT_EQ(Result()[0], "کاربر شما فعال نمیباشد");

    ClearResult();
    Sim().SetInboxCount("12");
    Click("btnGetInboxCount");
    EXPECT_EQ(Result(), (Lines{TSMSUtil::GetInboxCountText(12), kDash}));

    // Delivery: a refusal gives its text alone; a report lists each recipient.
    ClearResult();
    Type("edSmsId", "77");
    Sim().Refuse(-3, "GetBatchDelivery", 1);
    Click("btnGetDelivery");
    EXPECT_EQ(Result(), (Lines{TSMSUtil::GetDeliveryStateText(-3), kDash}));

    ClearResult();
    Sim().SetDelivery(77, {"0912", "0935"}, {"1", "x"});
    Click("btnGetDelivery");
    EXPECT_EQ(Result(), (Lines{TSMSUtil::GetDeliveryStateText(0), kDash,
                               std::string(texts::kDeliveryNumber) + "0912" +
                                   texts::kDeliveryState + TSMSUtil::GetDeliveryStateText(1),
                               std::string(texts::kDeliveryNumber) + "0935" + texts::kDeliveryState,
                               "", kDash}));
}

TEST_F(Window, MessageTextHoldsAtMost500CharactersAndKeepsWhatIsThere) {
    Open();
    auto* message = Find<QPlainTextEdit>("memMessage");
    message->setPlainText(QString(450, QLatin1Char('a')) + QString(100, QLatin1Char('b')));
    EXPECT_EQ(S(message->toPlainText()), std::string(450, 'a') + std::string(50, 'b'));

    // Typing into a full text is refused; the text already there stays whole.
    QTextCursor cursor = message->textCursor();
    cursor.setPosition(10);
    message->setTextCursor(cursor);
    QTest::keyClicks(message, "XY");
    EXPECT_EQ(S(message->toPlainText()), std::string(450, 'a') + std::string(50, 'b'));

    // A paste in the middle keeps only what fits, and the end of the text.
    message->setPlainText(QString(495, QLatin1Char('a')) + QStringLiteral("END"));
    cursor = message->textCursor();
    cursor.setPosition(3);
    cursor.insertText(QStringLiteral("0123456789"));
    EXPECT_EQ(S(message->toPlainText()), "aaa01" + std::string(492, 'a') + "END");
}

TEST_F(Window, MessageListWritesOnePrintoutPerMessage) {
    WriteSettings(Setting());
    Open();
    Find<QPlainTextEdit>("memMessage")->setPlainText("hello");
    AddNumbers({"09121111111"});
    for (int i = 0; i < 3; ++i) Click("btnSendSMS");
    ClearResult();
    Click("btnGetMessages");
    Lines lines = Result();
    // Each printout: 19 lines, the empty line of its final break, the separator.
    ASSERT_EQ(lines.size(), 3u * 21u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i * 21 + 19], "");
        EXPECT_EQ(lines[i * 21 + 20], kDash);
    }
    auto list = Requests("GetMessages");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_NE(list[0].Body.find("50009999"), std::string::npos);
}

TEST_F(Window, RecipientListAddDeleteAndEraser) {
    Open();
    auto* list = Find<QListWidget>("lbxToNumbers");
    boxes.inputAnswers = {std::nullopt, QString(), QStringLiteral("  "), QStringLiteral("0912"),
                          QStringLiteral("0912")};
    for (int i = 0; i < 5; ++i) Click("btnAddNumber");
    ASSERT_EQ(boxes.inputs.size(), 5u);
    EXPECT_EQ(S(boxes.inputs[0].Caption), texts::kAddNumberCaption);
    EXPECT_EQ(S(boxes.inputs[0].Prompt), texts::kAddNumberPrompt);
    EXPECT_TRUE(boxes.inputs[0].Default.isEmpty());
    ASSERT_EQ(list->count(), 3);  // cancel and empty add nothing; blanks and duplicates do
    EXPECT_EQ(S(list->item(0)->text()), "  ");

    Click("btnDeleteNumber");  // nothing selected
    EXPECT_EQ(list->count(), 3);
    list->setCurrentRow(0);
    Click("btnDeleteNumber");
    EXPECT_EQ(list->count(), 2);
    EXPECT_EQ(S(list->item(0)->text()), "0912");
    Click("btnDeleteNumber");  // nothing selected after a removal
    EXPECT_EQ(list->count(), 2);

    w->AddResult("x", true);
    Click("btnEraser");
    EXPECT_TRUE(Result().empty());
}

// ---- reports, guide, version, look ----------------------------------------------------

TEST_F(Window, AddResultAppendsLinesAndTheSeparator) {
    Open();
    ClearResult();
    w->AddResult("one", false);
    w->AddResult("two", true);
    w->AddResult("a\r\nb\r\n", true);
    w->AddResult("c\rd", false);
    EXPECT_EQ(Result(), (Lines{"one", "two", kDash, "a", "b", "", kDash, "c", "d"}));

    // An empty report into an empty box is still a line of its own (a result code
    // without a text right after the eraser).
    ClearResult();
    w->AddResult("", true);
    w->AddResult("", false);
    w->AddResult("x", false);
    EXPECT_EQ(Result(), (Lines{"", kDash, "", "x"}));
}

TEST_F(Window, GuidePageListsEveryCode) {
    Open();
    QString text = Find<QPlainTextEdit>("memHelp")->toPlainText();
    QStringList lines = text.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 32);
    EXPECT_EQ(S(lines[0]), "ResultCode :");
    EXPECT_EQ(S(lines[1]), "-1 =  '" + TSMSUtil::GetMessageStatusText(-1) + "'");
    EXPECT_EQ(S(lines[2]), " 0 =  '" + TSMSUtil::GetMessageStatusText(0) + "'");
    EXPECT_EQ(S(lines[11]), " 9 =  '" + TSMSUtil::GetMessageStatusText(9) + "'");
    EXPECT_EQ(S(lines[12]), "10 = '" + TSMSUtil::GetMessageStatusText(10) + "'");
    EXPECT_EQ(S(lines[13]), "11 = '" + TSMSUtil::GetMessageStatusText(11) + "'");
    EXPECT_EQ(S(lines[14]), "");
    EXPECT_EQ(S(lines[15]), "DeliveryCode :");
    EXPECT_EQ(S(lines[16]), "-5 = '" + TSMSUtil::GetDeliveryStateText(-5) + "'");
    EXPECT_EQ(S(lines[31]), "10 = '" + TSMSUtil::GetDeliveryStateText(10) + "'");
    EXPECT_TRUE(Find<QPlainTextEdit>("memHelp")->isReadOnly());
}

TEST_F(Window, CaptionCarriesTheProgramsVersion) {
    EXPECT_EQ(S(TfrmMain::GetAppVersion(QStringLiteral(KAVAR_BIN_DIR "/KavarSMS"))), "1.0.0.0");
    Open();
    // The temporary program file has no version record.
    std::string caption = S(w->windowTitle());
    EXPECT_EQ(caption, std::string(texts::kCaption) + std::string(59, ' ') + texts::kVersionOpen +
                           texts::kVersionClose);
}

TEST_F(Window, RightToLeftFixedWindowWithNamedControls) {
    Open();
    EXPECT_EQ(w->layoutDirection(), Qt::RightToLeft);
    EXPECT_EQ(w->size(), QSize(701, 415));
    EXPECT_EQ(w->minimumSize(), w->maximumSize());
    auto* tabs = Find<QTabWidget>("PageControl");
    ASSERT_EQ(tabs->count(), 3);
    EXPECT_EQ(tabs->currentIndex(), 0);
    EXPECT_EQ(S(tabs->tabText(0)), std::string(20, ' ') + "تـنـظـیـمـات" + std::string(22, ' '));
    // The first tab reads first: at the right.
    EXPECT_GT(tabs->tabBar()->tabRect(0).x(), tabs->tabBar()->tabRect(1).x());
    // Labels stand to the right of their fields.
    auto* label = Find<QLabel>("lblUserName");
    auto* edit = Find<QLineEdit>("edUserName");
    EXPECT_GT(label->mapTo(w.get(), QPoint()).x(), edit->mapTo(w.get(), QPoint()).x());

    for (const char* name : {"pmTools", "SMSTimer", "TimerSvcCtrl", "pmSetupDB", "pmSetupVELMO",
                             "pmVELMOLog", "pmReport", "SvcStateShape", "btnSaveSetting",
                             "memResult", "lbxToNumbers", "memMessage", "chkFlash", "edSmsId"})
        EXPECT_NE(w->findChild<QObject*>(QString::fromLatin1(name)), nullptr) << name;
    auto* menu = Find<QMenu>("pmTools");
    ASSERT_EQ(menu->actions().size(), 4);
    EXPECT_EQ(S(menu->actions()[2]->text()).front(), ' ');
    EXPECT_EQ(S(menu->actions()[3]->text()).substr(S(menu->actions()[3]->text()).size() - 3),
              "\u200E");
    auto* shape = Find<panel::TShape>("SvcStateShape");
    EXPECT_EQ(shape->BrushColor(), QColor(255, 0, 0));
    EXPECT_EQ(shape->PenColor(), QColor(255, 255, 255));
    w->ShowServiceRunning();
    EXPECT_EQ(shape->BrushColor(), QColor(0, 255, 0));
    EXPECT_EQ(S(shape->toolTip()), "Running");
    w->ShowServiceStopped();
    EXPECT_EQ(shape->BrushColor(), QColor(255, 0, 0));
    EXPECT_EQ(S(shape->toolTip()), "Stoped");
}

}  // namespace
