// Two small controls Qt lacks: an on/off switch with a caption for each state, and a plain
// coloured rectangle with an outline (the service state indicator).
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QWidget>
#include <cstdint>

namespace kavar::panel {

// A colour value of the form 0x00BBGGRR (blue in the high byte), as colour texts like
// "$0000D500" and colour numbers like 65280 are written.
QColor ColorFromBgr(std::uint32_t value);

// An on/off switch: a rounded frame with a thumb that sits right when on, and the state's
// caption beside it. A click toggles it and emits clicked(); setting the state in code
// emits nothing.
class TToggleSwitch : public QAbstractButton {
    Q_OBJECT
  public:
    explicit TToggleSwitch(QWidget* parent = nullptr);

    bool IsOn() const { return isChecked(); }
    void SetOn(bool on) { setChecked(on); }

    QString StateCaptionOn() const { return captionOn_; }
    QString StateCaptionOff() const { return captionOff_; }
    void SetStateCaptions(const QString& on, const QString& off);
    // The caption of the current state.
    QString StateCaption() const { return IsOn() ? captionOn_ : captionOff_; }

    QColor FrameColor() const { return frameColor_; }
    void SetFrameColor(const QColor& color);
    QColor ThumbColor() const { return thumbColor_; }
    void SetThumbColor(const QColor& color);

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString captionOn_;
    QString captionOff_;
    QColor frameColor_;
    QColor thumbColor_;
};

// A filled rectangle with an outline; the tool tip is its hint.
class TShape : public QWidget {
    Q_OBJECT
  public:
    explicit TShape(QWidget* parent = nullptr);

    QColor BrushColor() const { return brush_; }
    void SetBrushColor(const QColor& color);
    QColor PenColor() const { return pen_; }
    void SetPenColor(const QColor& color);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QColor brush_;
    QColor pen_;
};

}  // namespace kavar::panel
