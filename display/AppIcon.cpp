#include "display/AppIcon.h"

#include "display/SevenSegment.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace AppIcon {

namespace {

// The 64 x 64 drawing of the SVG, at size x size pixels.
QPixmap paint(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    p.setPen(QPen(QColor(0x3a, 0x5a, 0x80), 2));
    p.setBrush(QColor(0xee, 0xf4, 0xfb));
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);
    // The trend line.
    QPen trend(QColor(0, 0, 255), 3);
    trend.setCapStyle(Qt::RoundCap);
    trend.setJoinStyle(Qt::RoundJoin);
    p.setPen(trend);
    p.setBrush(Qt::NoBrush);
    const QPointF line[] = {{8, 52}, {18, 44}, {26, 48}, {36, 34}, {46, 38}, {56, 22}};
    p.drawPolyline(line, 6);
    // The thermometer: head with rounded corners and its grip.
    QPainterPath body;
    body.moveTo(30, 8);
    body.lineTo(52, 8);
    body.arcTo(QRectF(48, 8, 8, 8), 90, -90);
    body.lineTo(56, 24);
    body.arcTo(QRectF(48, 20, 8, 8), 0, -90);
    body.lineTo(44, 28);
    body.lineTo(40, 42);
    body.lineTo(34, 42);
    body.lineTo(36, 28);
    body.lineTo(30, 28);
    body.arcTo(QRectF(26, 20, 8, 8), 270, -90);
    body.lineTo(26, 12);
    body.arcTo(QRectF(26, 8, 8, 8), 180, -90);
    body.closeSubpath();
    p.setPen(QPen(QColor(0x6b, 0x4a, 0x00), 1.5));
    p.setBrush(QColor(0xf0, 0xb4, 0x29));
    p.drawPath(body);
    // Its LCD with a reading, and the beam.
    p.setPen(QPen(QColor(0x30, 0x40, 0x30), 1));
    p.setBrush(QColor(0xb8, 0xf0, 0xb0));
    p.drawRect(QRectF(31, 11, 20, 9));
    SevenSegment::paintText(p, QRectF(33, 12.5, 16, 6), QStringLiteral("235"), 5.0,
                            QColor(0x10, 0x20, 0x10));
    QPen beam(QColor(0xd0, 0x20, 0x20), 2);
    beam.setDashPattern({1, 1});
    p.setPen(beam);
    p.drawLine(QPointF(56, 16), QPointF(62, 16));
    return pixmap;
}

} // namespace

QIcon icon()
{
    static const QIcon made = [] {
        QIcon i;
        for (const int size : {16, 22, 32, 48, 64, 128})
            i.addPixmap(paint(size));
        return i;
    }();
    return made;
}

} // namespace AppIcon
