// Saves a picture of each page of the real window: pictures <output folder>. Run by
// scripts/pictures.sh under a virtual X server. Not a test; the window is shown with a
// small set of sample settings in a temporary program folder.
#include <stdlib.h>

#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <fstream>

#include "outbox/Schema.h"
#include "panel/Dialogs.h"
#include "panel/uMain.h"
#include "platform/db/db.h"

using namespace kavar;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    panel::TKavarApplication app(argc, argv);
    QTemporaryDir folder;
    QTemporaryDir scmRoot;
    if (!folder.isValid() || !scmRoot.isValid()) {
        std::fprintf(stderr, "pictures: cannot make a temporary folder\n");
        return 1;
    }
    setenv("KAVAR_SCM_ROOT", scmRoot.path().toLocal8Bit().constData(), 1);
    std::string program = folder.filePath(QStringLiteral("KavarSMS")).toStdString();

    TAppSetting s;
    s.SMS_PanelUser = "kavar";
    s.SMS_PanelPass = "secret";
    s.SMS_NormalNumber = "30001234";
    s.SMS_ServiceNumber = "10000100000";
    s.SMS_ActiveServerNumber = true;
    s.SQL_ServerName = "sqlite:";
    s.SQL_User = "sa";
    s.SQL_Pass = "secret";
    s.SQL_DBName = "Kavar_SMS";
    s.AutoSendSMS = true;
    s.TimerDelay = 60;
    s.ActiveTimeStart = "08:00";
    s.ActiveTimeEnd = "20:00";
    try {
        TSMSUtil::ApplicationExeName = folder.path().toStdString();
        TSMSUtil::SaveSetting(program, s);
        db::Connection c;
        c.OpenSQLite(folder.filePath(QStringLiteral("Kavar_SMS.sqlite")).toStdString(),
                     db::Connection::OpenMode::CreateIfMissing);
        outbox::InstallSchema(c);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pictures: %s\n", e.what());
        return 1;
    }

    panel::TfrmMain w(QString::fromStdString(program));
    w.show();
    w.lbxToNumbers->addItems({QStringLiteral("09121234567"), QStringLiteral("09351234567")});
    w.memMessage->setPlainText(QString::fromUtf8("سلام؛ این یک پیامک آزمایشی است."));
    w.edSmsId->setText(QStringLiteral("4711"));
    w.AddResult(TSMSUtil::GetMessageStatusText(0) + "\r\nSmsId = 4711", true);
    w.AddResult(TSMSUtil::GetCreditStateTextByStr("12500"), true);

    int status = 0;
    QTimer::singleShot(500, [&] {
        const char* names[] = {"settings", "send", "guide"};
        QDir out(QString::fromLocal8Bit(argv[1]));
        for (int i = 0; i < 3; ++i) {
            w.PageControl->setCurrentIndex(i);
            QCoreApplication::processEvents();
            QString file = out.filePath(QStringLiteral("panel-%1.png").arg(names[i]));
            if (!w.grab().save(file)) {
                std::fprintf(stderr, "pictures: cannot write %s\n", qPrintable(file));
                status = 1;
            }
        }
        w.close();
        QCoreApplication::quit();
    });
    app.exec();
    return status;
}
