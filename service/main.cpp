// Velmo: the service program. Without a switch it runs as the service Velmo under the
// service manager; -install / -uninstall (any case, also with /) register or remove it,
// SILENT keeps the success message back.
#include "platform/svcmgr/svcmgr.h"
#include "service/SVCMain.h"

int main(int argc, char** argv) {
    kavar::svcmgr::ServiceApplication Application;
    kavar::service::TVelmo Velmo(Application.MainLoop());
    Application.AddService(Velmo);
    return Application.Run(argc, argv);
}
