#include "display/IndicatorPictures.h"

#include <QPainter>

namespace IndicatorPictures {

QPixmap pcAndMeter(bool displayLit)
{
    QPixmap pm(25, 24);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    // The PC: a monitor on a foot.
    p.setPen(QColor(40, 40, 40));
    p.setBrush(QColor(200, 200, 200));
    p.drawRect(1, 3, 13, 10);
    p.setBrush(QColor(30, 60, 120));
    p.drawRect(3, 5, 9, 6);
    p.setBrush(QColor(160, 160, 160));
    p.drawRect(5, 14, 5, 2);
    p.drawRect(2, 17, 11, 2);
    // The cable between them.
    p.setPen(QColor(90, 90, 90));
    p.drawLine(13, 18, 17, 18);
    // The handheld meter with its display.
    p.setPen(QColor(40, 40, 40));
    p.setBrush(QColor(230, 180, 40));
    p.drawRoundedRect(16, 2, 8, 20, 2, 2);
    p.setBrush(displayLit ? QColor(120, 255, 120) : QColor(40, 50, 40));
    p.drawRect(17, 4, 6, 5);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(60, 60, 60));
    p.drawRect(18, 12, 4, 2);
    p.drawRect(18, 16, 4, 2);
    return pm;
}

} // namespace IndicatorPictures
