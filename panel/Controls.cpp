#include "panel/Controls.h"

#include <QPainter>
#include <QPainterPath>

namespace kavar::panel {

QColor ColorFromBgr(std::uint32_t value) {
    return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                  static_cast<int>((value >> 16) & 0xFF));
}

namespace {
constexpr int kTrackWidth = 50;
constexpr int kTrackHeight = 20;
constexpr int kGap = 6;
}  // namespace

TToggleSwitch::TToggleSwitch(QWidget* parent)
    : QAbstractButton(parent), frameColor_(Qt::black), thumbColor_(Qt::black) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
}

void TToggleSwitch::SetStateCaptions(const QString& on, const QString& off) {
    captionOn_ = on;
    captionOff_ = off;
    updateGeometry();
    update();
}

void TToggleSwitch::SetFrameColor(const QColor& color) {
    frameColor_ = color;
    update();
}

void TToggleSwitch::SetThumbColor(const QColor& color) {
    thumbColor_ = color;
    update();
}

QSize TToggleSwitch::sizeHint() const {
    QFontMetrics fm(font());
    int text = std::max(fm.horizontalAdvance(captionOn_), fm.horizontalAdvance(captionOff_));
    return QSize(kTrackWidth + kGap + text + 2, std::max(kTrackHeight, fm.height()) + 2);
}

void TToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // The track sits at the reading start of the control, the caption after it.
    bool rtl = layoutDirection() == Qt::RightToLeft;
    int top = (height() - kTrackHeight) / 2;
    QRectF track(rtl ? width() - kTrackWidth - 1 : 1, top, kTrackWidth - 1, kTrackHeight - 1);
    p.setPen(QPen(frameColor_, 2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(track, kTrackHeight / 2.0, kTrackHeight / 2.0);

    const double inset = 4;
    double d = kTrackHeight - 2 * inset;
    // On: the thumb at the right end of the track.
    double x = IsOn() ? track.right() - inset - d : track.left() + inset;
    p.setPen(Qt::NoPen);
    p.setBrush(thumbColor_);
    p.drawEllipse(QRectF(x, track.top() + inset, d, d));

    p.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    QRect text = rtl ? QRect(0, 0, width() - kTrackWidth - kGap, height())
                     : QRect(kTrackWidth + kGap, 0, width() - kTrackWidth - kGap, height());
    p.drawText(text, Qt::AlignVCenter | (rtl ? Qt::AlignRight : Qt::AlignLeft), StateCaption());
}

TShape::TShape(QWidget* parent) : QWidget(parent), brush_(Qt::white), pen_(Qt::black) {}

void TShape::SetBrushColor(const QColor& color) {
    brush_ = color;
    update();
}

void TShape::SetPenColor(const QColor& color) {
    pen_ = color;
    update();
}

void TShape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(QPen(pen_, 1));
    p.setBrush(brush_);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace kavar::panel
