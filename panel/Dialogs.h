// Every message box and input box of the panel goes through here, so that one place decides
// how they are shown: real Qt dialogs in the program, a recording handler in tests.
// Also the application's general error report for errors that escape a handler.
#pragma once

#include <QApplication>
#include <QString>
#include <QWidget>
#include <exception>
#include <functional>
#include <optional>

namespace kavar::panel {

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// Buttons of a box; a set is an or of these.
enum TMsgDlgBtn : int { mbNone = 0, mbYes = 1, mbNo = 2, mbOK = 4, mbCancel = 8 };

struct TMessageBoxRequest {
    QString Text;
    // Empty: the box's usual title (the program's name for a plain box, else the kind's).
    QString Caption;
    TMsgDlgType Type = TMsgDlgType::mtCustom;
    int Buttons = mbOK;
    TMsgDlgBtn DefaultButton = mbNone;  // mbNone: the first button
};

struct TInputBoxRequest {
    QString Caption;
    QString Prompt;
    QString Default;
};

// Answers a box instead of showing it; returns the button "pressed".
using TMessageBoxHandler = std::function<TMsgDlgBtn(const TMessageBoxRequest&)>;
// Answers an input box: the confirmed text, or nullopt for cancel.
using TInputBoxHandler = std::function<std::optional<QString>(const TInputBoxRequest&)>;

// Install a handler (an empty one restores the real dialogs); returns the previous one.
TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler);
TInputBoxHandler SetInputBoxHandler(TInputBoxHandler handler);

// The caption a request is shown with (its own, or the usual one for its kind).
QString MessageBoxCaption(const TMessageBoxRequest& request);

TMsgDlgBtn MessageBox(QWidget* parent, TMessageBoxRequest request);
// A plain box with one OK button.
void ShowMessage(QWidget* parent, const QString& text);
std::optional<QString> InputBox(QWidget* parent, const TInputBoxRequest& request);

// The general error report: an error box with the error's text. While a report with the
// same text is still open, a repeat (say from the next tick of a timer) is not stacked on it.
void ShowException(QWidget* parent, const std::exception& error);
void ShowException(QWidget* parent, std::exception_ptr error);

// Runs f; an error escaping it goes to the general error report instead of unwinding
// through Qt.
template <class F>
void Guarded(QWidget* parent, F&& f) noexcept {
    try {
        f();
    } catch (...) {
        ShowException(parent, std::current_exception());
    }
}

// The program's application object: an error that escapes any event handler is reported
// and the program goes on.
class TKavarApplication : public QApplication {
  public:
    TKavarApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace kavar::panel
