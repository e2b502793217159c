// KavarSMS: the control panel. One window; no command-line options.
#include "panel/Dialogs.h"
#include "panel/uMain.h"

int main(int argc, char** argv) {
    kavar::panel::TKavarApplication app(argc, argv);
    kavar::panel::TfrmMain frmMain;
    frmMain.show();
    return app.exec();
}
