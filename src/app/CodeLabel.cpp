#include "app/CodeLabel.h"

#include <QMouseEvent>

namespace ks {

CodeLabel::CodeLabel(const QString& caption, const QRect& geometry, QWidget* parent)
    : QLabel(caption, parent) {
    setGeometry(geometry);
    setAlignment(Qt::AlignCenter);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setCursor(Qt::PointingHandCursor);
    setAutoFillBackground(true);
    setHighlighted(false);
}

void CodeLabel::setHighlighted(bool on) {
    highlighted_ = on;
    QPalette p = palette();
    p.setColor(QPalette::Window, on ? QColor(0, 255, 0) : parentWidget()->palette().color(QPalette::Window));
    setPalette(p);
}

void CodeLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) emit clicked(this);
    QLabel::mousePressEvent(event);
}

} // namespace ks
