// Installing, removing, starting and stopping the background service from the panel, the
// service watch on TimerSvcCtrl and the operations they use. The service runs with
// administrator rights, which the panel lacks, so every change goes through one of the four
// batch files, started elevated by the shell runner (ShellRunAs) without waiting for it.
#include <QCoreApplication>
#include <QThread>
#include <filesystem>

#include "panel/servicemanager/BatchFiles.h"
#include "panel/servicemanager/ServicePresence.h"
#include "panel/uMain.h"
#include "platform/shell/shell.h"

namespace kavar::panel {
namespace {

// Fixed texts, byte for byte (generated from the system's own texts).
constexpr char kNoInstallFile[] = " فايل نصب سرويس يافت نشد (SVCinstall.BAT)";
constexpr char kNoStartFile[] = " فايل روشن کردن سرويس يافت نشد (SVCstart.BAT)";
constexpr char kNoUninstallFile[] = " فايل برداشتن سرويس يافت نشد (SVCuninstall.BAT)";
constexpr char kNoStopFile[] = " فايل خاموش کردن سرويس يافت نشد (SVCstop.BAT)";
constexpr char kRemoveQuestion[] = "سرويس نصب شده است. آيا مي خواهيد آن را حذف کنيد؟";
constexpr char kRemoveTitle[] = "نرم افزار پیامک شرکت کاوار";
constexpr char kStopFirst[] = "لطفا ابتدا سرویس ارسال پیامک را خاموش کنید.";
constexpr char kRunBatchFileError[] = "Run_Batch_File Error = ";
constexpr char kNoInternet[] = "(TimerSvcCtrl) NO INTERNET CONNECTION";
constexpr char kInternetBack[] = "(TimerSvcCtrl) INTERNET CONNECTION SUCCESSFULLY";
// The menu item once an installation or a removal has been launched: the design
// caption's two halves, each on its own.
constexpr char kCaptionRemove[] = "حذف  سرویس پیامک";
constexpr char kCaptionInstall[] = "نصب  سرویس پیامک";

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// Restores a control's enabled state on every way out, errors included.
template <class Control>
struct EnableOnExit {
    Control* control;
    ~EnableOnExit() { control->setEnabled(true); }
};

void ErrorBox(QWidget* parent, const char* text, TMsgDlgBtn button) {
    TMessageBoxRequest box;
    box.Text = Q(text);
    box.Type = TMsgDlgType::mtError;
    box.Buttons = button;
    MessageBox(parent, box);
}

// A launch error box is open: while it is, another failed launch (say from the next tick
// of the service watch) does not stack a second one on it.
bool launchErrorShown = false;

}  // namespace

void TfrmMain::pmSetupVELMOClick() {
    pmSetupVELMO->setEnabled(false);
    EnableOnExit<QAction> enable{pmSetupVELMO};
    const std::string folder = ProgramFolder() + "/";
    auto exists = [&](TBatchFile file) {
        return std::filesystem::exists(folder + BatchFileName(file));
    };
    try {
        if (!ServiceManager) ServiceManager = std::make_unique<TServiceManager>();
        if (!IsServiceInstalled(*ServiceManager, svcInfo)) {
            CreateBatchFiles();
            if (exists(TBatchFile::Install)) {
                Run_Batch_File(BatchFileName(TBatchFile::Install));
                pmSetupVELMO->setText(Q(kCaptionRemove));
            } else {
                ErrorBox(this, kNoInstallFile, mbYes);
            }
            if (AppSetting.SVCKAVARSMS) {
                if (exists(TBatchFile::Start)) {
                    Run_Batch_File(BatchFileName(TBatchFile::Start));
                    Sleep_Func(2);
                } else {
                    ErrorBox(this, kNoStartFile, mbYes);
                    ShowServiceStopped();
                }
            } else {
                if (exists(TBatchFile::Stop)) {
                    Run_Batch_File(BatchFileName(TBatchFile::Stop));
                    Sleep_Func(2);
                }
                ShowServiceStopped();
            }
        } else {
            // Read now: the question's box runs the event loop, and a watch tick inside it
            // rebuilds the list, leaving svcInfo null if the service has gone meanwhile.
            const bool listedRunning = svcInfo->State() == TServiceState::ssRunning;
            TMessageBoxRequest question;
            question.Text = Q(kRemoveQuestion);
            question.Caption = Q(kRemoveTitle);
            question.Type = TMsgDlgType::mtWarning;
            question.Buttons = mbYes | mbNo;
            question.DefaultButton = mbNo;
            if (MessageBox(this, question) == mbYes) {
                // The state the list was built with: the batch files change it behind our back.
                if (listedRunning) {
                    ErrorBox(this, kStopFirst, mbOK);
                    return;
                }
                if (!exists(TBatchFile::Stop)) CreateBatchFiles();
                if (exists(TBatchFile::Stop)) {
                    Run_Batch_File(BatchFileName(TBatchFile::Stop));
                    if (WaitServiceProcess("STOP", 20)) {
                        if (exists(TBatchFile::Uninstall)) {
                            Run_Batch_File(BatchFileName(TBatchFile::Uninstall));
                            pmSetupVELMO->setText(Q(kCaptionInstall));
                            ShowServiceStopped();
                        } else {
                            ErrorBox(this, kNoUninstallFile, mbOK);
                        }
                    }
                }
                if (!exists(TBatchFile::Stop)) ErrorBox(this, kNoStopFile, mbOK);
            }
        }
        Sleep_Func(2);
    } catch (const std::exception& e) {
        // The action ends without a box (the operator sees the state at the next watch
        // tick); the cause goes to the daily log so it is not lost.
        try {
            TSMSUtil::Logger(std::string("pmSetupVELMOClick : ") + e.what());
        } catch (...) {
        }
    }
}

void TfrmMain::TimerSvcCtrlTimer() {
    if (!TSMSUtil::InternetState()) {
        if (SMSTimer->isActive()) {
            SMSTimer->stop();
            AddResult(kNoInternet, true);
        }
        return;
    }
    if (!SMSTimer->isActive()) {
        SMSTimer->start();
        AddResult(kInternetBack, true);
    }
    if (!TSMSUtil::CheckActiveTime(AppSetting)) return;
    btnSaveSetting->setEnabled(false);
    EnableOnExit<QPushButton> enable{btnSaveSetting};
    SyncServiceState();
}

void TfrmMain::SyncServiceState() {
    if (!ServiceManager) ServiceManager = std::make_unique<TServiceManager>();
    const bool installed = IsServiceInstalled(*ServiceManager, svcInfo);
    const bool running = installed && svcInfo->State() == TServiceState::ssRunning;
    const bool wanted = AppSetting.SVCKAVARSMS;
    if (!installed || running == wanted) {
        if (running)
            ShowServiceRunning();
        else
            ShowServiceStopped();
        return;
    }
    // Only files that are there: a service installed by other means, without the batch
    // files, is left alone rather than reported on every tick.
    const std::string file = BatchFileName(wanted ? TBatchFile::Start : TBatchFile::Stop);
    if (std::filesystem::exists(ProgramFolder() + "/" + file)) Run_Batch_File(file);
    // The listed state from before the launch: the change shows at the next tick. Not read
    // from svcInfo again: a launch error's box lets a tick rebuild the list under us.
    if (running)
        ShowServiceRunning();
    else
        ShowServiceStopped();
}

bool TfrmMain::ServiceExeExists() {
    return std::filesystem::exists(ProgramFolder() + "/" + kServiceExeName);
}

bool TfrmMain::WaitServiceProcess(const std::string& State, int Seconds) {
    // Stopping is the only state waited for.
    if (QString::fromStdString(State).trimmed().compare(QLatin1String("STOP"),
                                                        Qt::CaseInsensitive) != 0)
        return false;
    if (!ServiceExeExists()) return true;
    for (int check = 0; check <= Seconds; ++check) {
        if (!IsProcessRunning(kServiceExeName)) return true;
        Sleep_Func(1);
    }
    return false;
}

void TfrmMain::Sleep_Func(int Seconds) {
    for (int round = 0; round < Seconds * 10; ++round) {
        QCoreApplication::processEvents();
        QThread::msleep(static_cast<unsigned long>(SleepRoundMs));
        QCoreApplication::processEvents();
    }
}

void TfrmMain::Run_Batch_File(const std::string& FileName) {
    try {
        shell::ShellRunAs(ProgramFolder() + "/" + FileName);
    } catch (const std::exception& e) {
        if (launchErrorShown) return;
        launchErrorShown = true;
        struct Reset {
            ~Reset() { launchErrorShown = false; }
        } reset;
        ShowMessage(this, Q(kRunBatchFileError) + QString::fromStdString(e.what()));
    }
}

void TfrmMain::DeleteBatchFiles() { ::kavar::panel::DeleteBatchFiles(ProgramFolder()); }

void TfrmMain::CreateBatchFiles() {
    DeleteBatchFiles();
    WriteBatchFiles(ProgramFolder());
    Sleep_Func(3);
}

}  // namespace kavar::panel
