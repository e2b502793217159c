#include "panel/Dialogs.h"

#include <QInputDialog>
#include <QMessageBox>
#include <QSet>
#include <stdexcept>

namespace kavar::panel {

namespace {

TMessageBoxHandler& MessageHandler() {
    static TMessageBoxHandler handler;
    return handler;
}

TInputBoxHandler& InputHandler() {
    static TInputBoxHandler handler;
    return handler;
}

// Texts of the general error reports now open.
QSet<QString>& OpenReports() {
    static QSet<QString> open;
    return open;
}

QMessageBox::StandardButton ToQt(TMsgDlgBtn b) {
    switch (b) {
        case mbYes:
            return QMessageBox::Yes;
        case mbNo:
            return QMessageBox::No;
        case mbOK:
            return QMessageBox::Ok;
        case mbCancel:
            return QMessageBox::Cancel;
        case mbNone:
            break;
    }
    return QMessageBox::NoButton;
}

TMsgDlgBtn FromQt(int b) {
    switch (b) {
        case QMessageBox::Yes:
            return mbYes;
        case QMessageBox::No:
            return mbNo;
        case QMessageBox::Ok:
            return mbOK;
        case QMessageBox::Cancel:
            return mbCancel;
        default:
            return mbNone;
    }
}

QMessageBox::Icon IconOf(TMsgDlgType type) {
    switch (type) {
        case TMsgDlgType::mtWarning:
            return QMessageBox::Warning;
        case TMsgDlgType::mtError:
            return QMessageBox::Critical;
        case TMsgDlgType::mtInformation:
            return QMessageBox::Information;
        case TMsgDlgType::mtConfirmation:
            return QMessageBox::Question;
        case TMsgDlgType::mtCustom:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler) {
    std::swap(MessageHandler(), handler);
    return handler;
}

TInputBoxHandler SetInputBoxHandler(TInputBoxHandler handler) {
    std::swap(InputHandler(), handler);
    return handler;
}

QString MessageBoxCaption(const TMessageBoxRequest& request) {
    if (!request.Caption.isEmpty()) return request.Caption;
    switch (request.Type) {
        case TMsgDlgType::mtWarning:
            return QStringLiteral("Warning");
        case TMsgDlgType::mtError:
            return QStringLiteral("Error");
        case TMsgDlgType::mtInformation:
            return QStringLiteral("Information");
        case TMsgDlgType::mtConfirmation:
            return QStringLiteral("Confirmation");
        case TMsgDlgType::mtCustom:
            break;
    }
    QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("KavarSMS") : name;
}

TMsgDlgBtn MessageBox(QWidget* parent, TMessageBoxRequest request) {
    request.Caption = MessageBoxCaption(request);
    if (request.Buttons == mbNone) request.Buttons = mbOK;
    if (MessageHandler()) return MessageHandler()(request);

    QMessageBox box(IconOf(request.Type), request.Caption, request.Text, QMessageBox::NoButton,
                    parent);
    box.setLayoutDirection(parent ? parent->layoutDirection() : Qt::RightToLeft);
    for (TMsgDlgBtn b : {mbYes, mbNo, mbOK, mbCancel})
        if (request.Buttons & b) box.addButton(ToQt(b));
    if (request.DefaultButton != mbNone) box.setDefaultButton(ToQt(request.DefaultButton));
    return FromQt(box.exec());
}

void ShowMessage(QWidget* parent, const QString& text) {
    TMessageBoxRequest request;
    request.Text = text;
    MessageBox(parent, request);
}

std::optional<QString> InputBox(QWidget* parent, const TInputBoxRequest& request) {
    if (InputHandler()) return InputHandler()(request);
    bool ok = false;
    QString text = QInputDialog::getText(parent, request.Caption, request.Prompt, QLineEdit::Normal,
                                         request.Default, &ok);
    if (!ok) return std::nullopt;
    return text;
}

void ShowException(QWidget* parent, const std::exception& error) {
    QString text = QString::fromUtf8(error.what());
    // A timer whose tick fails keeps failing; one open report of a text is enough.
    if (OpenReports().contains(text)) return;
    OpenReports().insert(text);
    struct Closer {
        QString text;
        ~Closer() { OpenReports().remove(text); }
    } closer{text};
    TMessageBoxRequest request;
    request.Text = text;
    request.Type = TMsgDlgType::mtError;
    try {
        MessageBox(parent, request);
    } catch (const std::exception& e) {
        // The report itself failed: say so where it can still be seen.
        qWarning("KavarSMS: cannot show the error '%s': %s", error.what(), e.what());
    }
}

void ShowException(QWidget* parent, std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        ShowException(parent, e);
    } catch (...) {
        ShowException(parent, std::runtime_error("Unknown error"));
    }
}

TKavarApplication::TKavarApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("KavarSMS"));
}

bool TKavarApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        QWidget* parent = activeWindow();
        ShowException(parent, std::current_exception());
        return false;
    }
}

}  // namespace kavar::panel
