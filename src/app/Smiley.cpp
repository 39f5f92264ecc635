#include "app/Smiley.h"

#include <QPainter>

namespace ks {

QImage drawSmiley(int size, const QColor& face) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, size > 16);
    p.scale(size / 16.0, size / 16.0);
    QPen rim(Qt::black);
    rim.setWidthF(size > 16 ? 0.8 : 1.0);
    p.setPen(rim);
    p.setBrush(face);
    if (size > 16) p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
    else p.drawEllipse(0, 0, 15, 15);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawRect(QRectF(4, 4, 2, 3));
    p.drawRect(QRectF(10, 4, 2, 3));
    QPen smile(Qt::black);
    smile.setWidthF(size > 16 ? 1.2 : 1.0);
    p.setPen(smile);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(3.5, 4, 9, 7.5), 200 * 16, 140 * 16);
    return image;
}

} // namespace ks
