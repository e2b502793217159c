// uMain: the control panel's only window. It holds the panel's copy of the settings, its
// own send timer with its copy of the outbox send cycle, the service-watch timer, the
// database connections of the installer and of the send cycle, and the service manager.
// Three pages: settings, manual operations (calls to the provider by hand) and a guide.
//
// Every control carries its name as objectName, so tests and tools find it by name.
// Everything runs on the window's thread.
#pragma once

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QWidget>
#include <memory>
#include <string>

#include "outbox/Dispatcher.h"
#include "panel/Controls.h"
#include "panel/Dialogs.h"
#include "panel/servicemanager/uServiceManager.h"
#include "platform/db/db.h"
#include "shared/uSmsUtils.h"

namespace kavar::panel {

// A whole-number field with arrows whose typed text is limited to a number of characters,
// while the arrows may still reach a longer value.
class TSpinEdit : public QSpinBox {
    Q_OBJECT
  public:
    explicit TSpinEdit(QWidget* parent = nullptr);
    int MaxLength() const { return maxLength_; }
    void SetMaxLength(int value) { maxLength_ = value; }
    // The number of the text as it stands: the minimum when it is not a whole number,
    // else brought into the range.
    int Value() const;
    QLineEdit* LineEdit() const { return lineEdit(); }

  protected:
    QValidator::State validate(QString& input, int& pos) const override;

  private:
    int maxLength_ = 0;  // 0: no limit
};

class TfrmMain : public QWidget, private outbox::TOutboxHost {
    Q_OBJECT
  public:
    // programFile: the program's own file; its folder is the program folder (settings file,
    // Log/, the embedded database, the service's program and the batch files). Empty: the
    // running executable.
    explicit TfrmMain(const QString& programFile = QString(), QWidget* parent = nullptr);
    ~TfrmMain() override;

    // ---- the program folder
    std::string ProgramFile() const { return programFile_; }
    std::string ProgramFolder() const;  // absolute, without trailing separator

    // ---- fields
    TAppSetting AppSetting;
    std::unique_ptr<TServiceManager> ServiceManager;
    TServiceInfo* svcInfo = nullptr;  // set by IsServiceInstalled; valid until the next rebuild
    // The server-level connection of the database installer; opened on its first run.
    db::Connection ACMaster;
    // The connection of the send cycle (and of the installer inside the SMS database).
    db::Connection& AC() { return dispatcher_.Connection(); }
    outbox::TOutboxDispatcher& Dispatcher() { return dispatcher_; }
    // True while a send cycle may start.
    bool TimerIsActived() const { return dispatcher_.TimerIsActived(); }
    // Length of one of the ten rounds per second of Sleep_Func; tests shorten it.
    int SleepRoundMs = 100;

    // ---- non-visual parts
    QTimer* SMSTimer = nullptr;
    QTimer* TimerSvcCtrl = nullptr;
    QMenu* pmTools = nullptr;
    QAction* pmSetupDB = nullptr;
    QAction* pmSetupVELMO = nullptr;
    QAction* pmVELMOLog = nullptr;
    QAction* pmReport = nullptr;

    // ---- the pages
    QTabWidget* PageControl = nullptr;
    QWidget* tsSetting = nullptr;
    QWidget* tsSendSMS = nullptr;
    QWidget* tsHelp = nullptr;

    // settings page
    QGroupBox* grpSMSPanel = nullptr;
    QGroupBox* grpDatabase = nullptr;
    QLabel* lblUserName = nullptr;
    QLineEdit* edUserName = nullptr;
    QLabel* lblPassword = nullptr;
    QLineEdit* edPassword = nullptr;
    QRadioButton* rdoNormalSender = nullptr;
    QLineEdit* edNormalSenderNumber = nullptr;
    QRadioButton* rdoServiceSender = nullptr;
    QLineEdit* edServiceSenderNumber = nullptr;
    QLabel* lblServerName = nullptr;
    QLineEdit* edServerName = nullptr;
    QLabel* lblSQLUser = nullptr;
    QLineEdit* edSQLUser = nullptr;
    QLabel* lblSQLPass = nullptr;
    QLineEdit* edSQLPass = nullptr;
    QLabel* lblDBName = nullptr;
    QLineEdit* edDBName = nullptr;
    QCheckBox* chkAutoSendSMS = nullptr;
    QLabel* lblTimerDelay = nullptr;
    TSpinEdit* SpinEditTimerDelay = nullptr;
    QLabel* lblSeconds = nullptr;
    QLabel* lblServiceSwitch = nullptr;
    TToggleSwitch* ToggleSwitch_SVCKAVARSMS = nullptr;
    QLabel* lblActiveTimeStart = nullptr;
    QLineEdit* ActiveTimeStart = nullptr;
    QLabel* lblActiveTimeEnd = nullptr;
    QLineEdit* ActiveTimeEnd = nullptr;
    QToolButton* sbTools = nullptr;
    QPushButton* btnSaveSetting = nullptr;
    TShape* SvcStateShape = nullptr;
    QLabel* lblServiceState = nullptr;

    // send page
    QLabel* lblToNumbers = nullptr;
    QListWidget* lbxToNumbers = nullptr;
    QPushButton* btnAddNumber = nullptr;
    QPushButton* btnDeleteNumber = nullptr;
    QLabel* lblMessage = nullptr;
    QPlainTextEdit* memMessage = nullptr;
    QCheckBox* chkFlash = nullptr;
    QLabel* lblSmsId = nullptr;
    QLineEdit* edSmsId = nullptr;
    QPushButton* btnSendSMS = nullptr;
    QPushButton* btnGetCredit = nullptr;
    QPushButton* btnGetDelivery = nullptr;
    QPushButton* btnGetInboxCount = nullptr;
    QPushButton* btnGetMessages = nullptr;
    QPushButton* btnEraser = nullptr;
    QLabel* lblResult = nullptr;
    QPlainTextEdit* memResult = nullptr;

    // guide page
    QPlainTextEdit* memHelp = nullptr;

    // ---- the window's life
    void FormShow();
    void FormDestroy();
    void Initialize();
    void SetTimer();
    bool InitializeDatabase(bool ConnectOnly);

    // ---- reports and values the other parts use
    void AddResult(const std::string& msg, bool AddLine) override;
    std::string GetActiveNumber() override;
    // Four numbers joined by "." from the file's version record; empty when it has none.
    static QString GetAppVersion(const QString& fileName);
    // The 32 lines of the guide page.
    static QStringList GuideLines();
    // A time field's text as the settings read it: unfilled places are blanks.
    static QString MaskedText(const QLineEdit* edit);
    // Puts a stored time into a time field; its blanks stay unfilled places.
    static void SetMaskedText(QLineEdit* edit, const QString& text);

    // ---- handlers of the settings page and the tools menu
    void btnSaveSettingClick();
    void sbToolsClick();
    void pmSetupDBClick();
    void pmSetupVELMOClick();
    void pmVELMOLogClick();
    void pmReportClick();
    void ToggleSwitch_SVCKAVARSMSClick();
    void SMSTimerTimer();
    void TimerSvcCtrlTimer();

    // ---- handlers of the send page
    void btnSendSMSClick();
    void btnGetCreditClick();
    void btnGetDeliveryClick();
    void btnGetInboxCountClick();
    void btnGetMessagesClick();
    void btnAddNumberClick();
    void btnDeleteNumberClick();
    void btnEraserClick();

    // ---- the service: install, remove, watch and show
    void SyncServiceState();
    void ShowServiceRunning();
    void ShowServiceStopped();
    bool ServiceExeExists();
    bool WaitServiceProcess(const std::string& State, int Seconds);
    void Sleep_Func(int Seconds);
    void Run_Batch_File(const std::string& FileName);
    void DeleteBatchFiles();
    void CreateBatchFiles();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void BuildWindow();
    void BuildSettingsPage();
    void BuildSendPage();
    void BuildHelpPage();
    void ConnectHandlers();
    // Connects a signal to a handler that runs under the general error report.
    template <class Sender, class Signal, class Handler>
    void Bind(Sender* sender, Signal signal, Handler handler);
    // The account check of every provider call: on failure its text and the separator go
    // to the result box and the caller stops.
    bool AccountChecked();

    // TOutboxHost
    const outbox::TOutboxHostTraits& Traits() const override;
    TAppSetting GetAppSetting() override { return AppSetting; }
    std::string GetPanelUser() override;
    std::string GetPanelPass() override;
    bool GetIsFlash() override;
    void ProcessMessages() override;

    std::string programFile_;
    bool shown_ = false;
    bool resultHasLines_ = false;  // memResult holds a line, perhaps only an empty one
    outbox::TOutboxDispatcher dispatcher_;
};

}  // namespace kavar::panel
