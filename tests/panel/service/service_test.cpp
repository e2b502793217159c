// The window's service control, for real: the window offscreen over a temp program folder
// holding a copy of Velmo, the batch files run by KavarShell (found beside the test
// program) under a private service-manager root, boxes answered through the dialog seam.
#include <QApplication>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <memory>

#include "panel/Dialogs.h"
#include "panel/servicemanager/BatchFiles.h"
#include "panel/servicemanager/ServicePresence.h"
#include "panel/uMain.h"
#include "panel/uMainTexts.h"
#include "platform/netstate/netstate.h"
#include "platform/scm/scm_fixture.h"

namespace kavar::panel {
namespace {

namespace fs = std::filesystem;
using namespace kavar::scm;
using scm::testing::BinDir;
using scm::testing::RunProgram;

const std::string kDash = "----------------------------------";
// The menu item's wordings after an installation and after a removal.
const QString kCaptionRemove = QString::fromUtf8("حذف  سرویس پیامک");
const QString kCaptionInstall = QString::fromUtf8("نصب  سرویس پیامک");

class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { app_ = std::make_unique<TKavarApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

  private:
    int argc_ = 1;
    char name_[16] = "service_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<TKavarApplication> app_;
};
[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

class ServiceControl : public scm::testing::ScmTest {
  protected:
    void SetUp() override {
        ScmTest::SetUp();
        prog_ = dir_ + "/prog";
        fs::create_directories(prog_);
        fs::copy_file(BinDir() + "/Velmo", prog_ + "/Velmo");
        WriteSettings(true);
        const auto db = RunProgram({BinDir() + "/KavarSetup", "--dir", prog_, "initdb"});
        ASSERT_EQ(db.exitCode, 0) << db.output;
        netstate::ForceState(true);
        SetMessageBoxHandler([this](const TMessageBoxRequest& r) {
            boxes_.push_back(r);
            if (answers_.empty()) return r.Buttons & mbYes ? mbYes : mbOK;
            const TMsgDlgBtn answer = answers_.front();
            answers_.pop_front();
            return answer;
        });
    }
    void TearDown() override {
        window_.reset();
        SetMessageBoxHandler({});
        netstate::ForceState(std::nullopt);
        if (SC_HANDLE svc = OpenService(manager_, "Velmo", SERVICE_ALL_ACCESS)) {
            SERVICE_STATUS status{};
            if (QueryServiceStatus(svc, &status) && status.dwCurrentState != SERVICE_STOPPED &&
                ControlService(svc, SERVICE_CONTROL_STOP, &status))
                WaitFor(svc, SERVICE_STOPPED, 15);
            CloseServiceHandle(svc);
        }
        ScmTest::TearDown();
    }

    // Sending window open all day, the embedded database, no automatic sending.
    void WriteSettings(bool serviceSwitch) {
        TAppSetting s;
        s.SQL_ServerName = "sqlite:";
        s.SQL_DBName = "Kavar_SMS";
        s.AutoSendSMS = false;
        s.TimerDelay = 60;
        s.SVCKAVARSMS = serviceSwitch;
        s.ActiveTimeStart = "00:00";
        s.ActiveTimeEnd = "23:59";
        TSMSUtil::SaveSetting(prog_ + "/KavarSMS", s);
    }

    // The window over the program folder; the watch's own timer is stopped so that only
    // the test ticks it.
    void Open(bool serviceSwitch) {
        WriteSettings(serviceSwitch);
        window_ = std::make_unique<TfrmMain>(QString::fromStdString(prog_ + "/KavarSMS"));
        window_->SleepRoundMs = 10;
        window_->show();
        window_->TimerSvcCtrl->stop();
    }

    SC_HANDLE Velmo(int seconds = 30) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            if (SC_HANDLE svc = scm::testing::ScmTest::Open("Velmo")) return svc;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return nullptr;
    }

    std::string Config() { return RunProgram({BinDir() + "/SC", "qc", "Velmo"}).output; }

    bool Gone(int seconds = 30) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            SC_HANDLE svc = OpenService(manager_, "Velmo", SERVICE_QUERY_STATUS);
            if (svc == nullptr && !IsProcessRunning(kServiceExeName)) return true;
            if (svc != nullptr) CloseServiceHandle(svc);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Velmo registered, running and its process up, installed through the window.
    SC_HANDLE InstallRunning() {
        Open(true);
        window_->pmSetupVELMO->trigger();
        SC_HANDLE svc = Velmo();
        EXPECT_NE(svc, nullptr);
        EXPECT_TRUE(svc && WaitFor(svc, SERVICE_RUNNING));
        return svc;
    }

    // Ticks of the watch until the service is in `state` (batch files run on their own).
    bool TickUntil(SC_HANDLE svc, DWORD state) {
        for (int tick = 0; tick < 5; ++tick) {
            window_->TimerSvcCtrlTimer();
            if (WaitFor(svc, state, 10)) return true;
        }
        return false;
    }

    QString Hint() const { return window_->SvcStateShape->toolTip(); }

    std::string prog_;
    std::unique_ptr<TfrmMain> window_;
    std::vector<TMessageBoxRequest> boxes_;
    std::deque<TMsgDlgBtn> answers_;
};

TEST_F(ServiceControl, InstallWithTheSwitchOnStartsTheService) {
    SC_HANDLE svc = InstallRunning();
    ASSERT_NE(svc, nullptr);
    EXPECT_TRUE(boxes_.empty());
    EXPECT_TRUE(window_->pmSetupVELMO->isEnabled());
    EXPECT_EQ(window_->pmSetupVELMO->text(), kCaptionRemove);
    for (TBatchFile file : kBatchFiles) EXPECT_TRUE(fs::exists(prog_ + "/" + BatchFileName(file)));
    EXPECT_NE(Config().find("AUTO_START  (DELAYED)"), std::string::npos) << Config();
}

// The stop file runs after the install file (launch order is kept) but may find the
// service still starting; the watch completes what the stop file began.
TEST_F(ServiceControl, InstallWithTheSwitchOffLeavesTheServiceStoppedAndDisabled) {
    Open(false);
    window_->pmSetupVELMO->trigger();
    EXPECT_TRUE(boxes_.empty());
    EXPECT_EQ(Hint(), "Stoped");
    SC_HANDLE svc = Velmo();
    ASSERT_NE(svc, nullptr);
    ASSERT_TRUE(TickUntil(svc, SERVICE_STOPPED));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Config().find("DISABLED") == std::string::npos &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(Config().find("DISABLED"), std::string::npos) << Config();
    window_->TimerSvcCtrlTimer();
    EXPECT_EQ(Status(svc).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceControl, RemovalIsRefusedWhileRunningAndDoneOnceStopped) {
    SC_HANDLE svc = InstallRunning();
    ASSERT_NE(svc, nullptr);

    // No: nothing changes.
    answers_ = {mbNo};
    window_->pmSetupVELMO->trigger();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].Text,
              QString::fromUtf8("سرويس نصب شده است. آيا مي خواهيد آن را حذف کنيد؟"));
    EXPECT_EQ(boxes_[0].Caption, QString::fromUtf8("نرم افزار پیامک شرکت کاوار"));
    EXPECT_EQ(boxes_[0].Type, TMsgDlgType::mtWarning);
    EXPECT_EQ(boxes_[0].Buttons, mbYes | mbNo);
    EXPECT_EQ(boxes_[0].DefaultButton, mbNo);

    // Yes while it runs: refused.
    answers_ = {mbYes};
    window_->pmSetupVELMO->trigger();
    ASSERT_EQ(boxes_.size(), 3u);
    EXPECT_EQ(boxes_[2].Text, QString::fromUtf8("لطفا ابتدا سرویس ارسال پیامک را خاموش کنید."));
    EXPECT_EQ(boxes_[2].Type, TMsgDlgType::mtError);
    EXPECT_EQ(boxes_[2].Buttons, mbOK);
    EXPECT_TRUE(window_->pmSetupVELMO->isEnabled());
    EXPECT_EQ(Status(svc).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    // Stopped (the switch turned off and the watch run), then removed.
    window_->AppSetting.SVCKAVARSMS = false;
    ASSERT_TRUE(TickUntil(svc, SERVICE_STOPPED));
    answers_ = {mbYes};
    window_->pmSetupVELMO->trigger();
    EXPECT_EQ(boxes_.size(), 4u);
    EXPECT_TRUE(Gone());
    EXPECT_EQ(window_->pmSetupVELMO->text(), kCaptionInstall);
    EXPECT_EQ(Hint(), "Stoped");
}

// The indicator shows the state listed before the launch; the change shows a tick later.
TEST_F(ServiceControl, TheWatchStartsAndStopsTheServiceAfterTheSwitch) {
    SC_HANDLE svc = InstallRunning();
    ASSERT_NE(svc, nullptr);
    window_->TimerSvcCtrlTimer();
    EXPECT_EQ(Hint(), "Running");
    EXPECT_TRUE(window_->btnSaveSetting->isEnabled());

    window_->AppSetting.SVCKAVARSMS = false;
    window_->TimerSvcCtrlTimer();
    EXPECT_EQ(Hint(), "Running");
    ASSERT_TRUE(WaitFor(svc, SERVICE_STOPPED));
    window_->TimerSvcCtrlTimer();
    EXPECT_EQ(Hint(), "Stoped");

    window_->AppSetting.SVCKAVARSMS = true;
    window_->TimerSvcCtrlTimer();
    EXPECT_EQ(Hint(), "Stoped");
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    window_->TimerSvcCtrlTimer();
    EXPECT_EQ(Hint(), "Running");

    // Outside the sending window the service is left as it is.
    window_->AppSetting.SVCKAVARSMS = false;
    window_->AppSetting.ActiveTimeStart = "00:00";
    window_->AppSetting.ActiveTimeEnd = "00:00";
    window_->TimerSvcCtrlTimer();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(Status(svc).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(ServiceControl, OfflineAndOnlineAreReportedOncePerChange) {
    Open(false);
    auto lines = [&] { return window_->memResult->toPlainText().split('\n', Qt::SkipEmptyParts); };
    const int before = lines().size();
    window_->SMSTimer->start();
    netstate::ForceState(false);
    window_->TimerSvcCtrlTimer();
    window_->TimerSvcCtrlTimer();
    EXPECT_FALSE(window_->SMSTimer->isActive());
    netstate::ForceState(true);
    window_->TimerSvcCtrlTimer();
    window_->TimerSvcCtrlTimer();
    EXPECT_TRUE(window_->SMSTimer->isActive());
    const QStringList added = lines().mid(before);
    EXPECT_EQ(added,
              (QStringList{"(TimerSvcCtrl) NO INTERNET CONNECTION", QString::fromStdString(kDash),
                           "(TimerSvcCtrl) INTERNET CONNECTION SUCCESSFULLY",
                           QString::fromStdString(kDash)}));
}

// A file gone between writing and running (here while the window waits after writing)
// is reported; so is a runner that cannot be launched.
TEST_F(ServiceControl, MissingBatchFilesAndFailedLaunchesAreReported) {
    Open(true);
    QTimer::singleShot(0, [this] {
        fs::remove(prog_ + "/SVCinstall.BAT");
        fs::remove(prog_ + "/SVCstart.BAT");
    });
    window_->pmSetupVELMO->trigger();
    ASSERT_EQ(boxes_.size(), 2u);
    EXPECT_EQ(boxes_[0].Text, QString::fromUtf8(" فايل نصب سرويس يافت نشد (SVCinstall.BAT)"));
    EXPECT_EQ(boxes_[1].Text, QString::fromUtf8(" فايل روشن کردن سرويس يافت نشد (SVCstart.BAT)"));
    for (const auto& box : boxes_) {
        EXPECT_EQ(box.Type, TMsgDlgType::mtError);
        EXPECT_EQ(box.Buttons, mbYes);
    }
    EXPECT_EQ(Hint(), "Stoped");
    EXPECT_EQ(window_->pmSetupVELMO->text(), QString::fromUtf8(texts::kSetupVELMO));
    EXPECT_TRUE(window_->pmSetupVELMO->isEnabled());

    boxes_.clear();
    ::setenv("KAVAR_SHELL", (dir_ + "/NoRunner").c_str(), 1);
    window_->pmSetupVELMO->trigger();
    ::unsetenv("KAVAR_SHELL");
    ASSERT_EQ(boxes_.size(), 2u);  // the install file and the start file
    EXPECT_EQ(boxes_[0].Text, QString::fromStdString("Run_Batch_File Error = " + dir_ +
                                                     "/NoRunner: No such file or directory"));
    EXPECT_EQ(boxes_[0].Buttons, mbOK);
    EXPECT_EQ(OpenService(manager_, "Velmo", SERVICE_QUERY_STATUS), nullptr);
}

// The boxes run the event loop, so a tick of the watch can rebuild the service list while
// one is open. Here the tick finds the service gone (removed meanwhile by hand), which
// leaves no entry; the action around the box goes on with the state it listed before.
TEST_F(ServiceControl, AWatchTickInsideABoxThatFindsTheServiceGoneIsSurvived) {
    Open(true);
    const std::string binary = prog_ + "/Velmo";
    auto registerVelmo = [&] {
        return Keep(CreateService(manager_, "Velmo", nullptr, SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                  nullptr, nullptr));
    };
    auto removeAndTick = [&] {
        SC_HANDLE svc = OpenService(manager_, "Velmo", SERVICE_ALL_ACCESS);
        EXPECT_NE(svc, nullptr);
        EXPECT_TRUE(DeleteService(svc));
        CloseServiceHandle(svc);
        window_->TimerSvcCtrlTimer();
    };

    // Inside the removal question.
    ASSERT_NE(registerVelmo(), nullptr);
    SetMessageBoxHandler([&](const TMessageBoxRequest& r) {
        boxes_.push_back(r);
        if (boxes_.size() == 1) removeAndTick();
        return r.Buttons & mbYes ? mbYes : mbOK;
    });
    window_->pmSetupVELMO->trigger();
    EXPECT_TRUE(window_->pmSetupVELMO->isEnabled());
    EXPECT_EQ(window_->pmSetupVELMO->text(), kCaptionInstall);

    // Inside the box of a failed launch of the start file by the watch.
    ASSERT_NE(registerVelmo(), nullptr);
    boxes_.clear();
    ::setenv("KAVAR_SHELL", (dir_ + "/NoRunner").c_str(), 1);
    window_->TimerSvcCtrlTimer();
    ::unsetenv("KAVAR_SHELL");
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(Hint(), "Stoped");
    EXPECT_TRUE(window_->btnSaveSetting->isEnabled());
}

}  // namespace
}  // namespace kavar::panel
