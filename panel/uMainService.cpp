// Installing, removing, starting and stopping the background service from the panel, the
// service watch on TimerSvcCtrl and the operations they use.
#include "panel/uMain.h"

namespace kavar::panel {

void TfrmMain::pmSetupVELMOClick() {}

void TfrmMain::TimerSvcCtrlTimer() {}

void TfrmMain::SyncServiceState() {}

bool TfrmMain::ServiceExeExists() { return false; }

bool TfrmMain::WaitServiceProcess(const std::string& State, int Seconds) {
    (void)State;
    (void)Seconds;
    return false;
}

void TfrmMain::Sleep_Func(int Seconds) { (void)Seconds; }

void TfrmMain::Run_Batch_File(const std::string& FileName) { (void)FileName; }

void TfrmMain::DeleteBatchFiles() {}

void TfrmMain::CreateBatchFiles() {}

}  // namespace kavar::panel
