#include "app/ToolGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace ToolGlyphs {

namespace {

QPixmap canvas(int w, int h)
{
    QPixmap pm(w, h);
    pm.fill(Qt::transparent);
    return pm;
}

void doubleArrow(QPainter &p, int x, bool left)
{
    // Two filled triangles pointing the same way.
    for (int k = 0; k < 2; ++k) {
        const int ox = x + k * 6;
        QPolygon tri;
        if (left)
            tri << QPoint(ox, 7) << QPoint(ox + 6, 1) << QPoint(ox + 6, 13);
        else
            tri << QPoint(ox + 6, 7) << QPoint(ox, 1) << QPoint(ox, 13);
        p.drawPolygon(tri);
    }
}

} // namespace

QIcon arrow(Arrow kind)
{
    QPixmap pm = canvas(16, 15);
    QPainter p(&pm);
    p.setPen(QColor(0, 0, 160));
    p.setBrush(QColor(0, 0, 255));
    switch (kind) {
    case Arrow::First:
        p.fillRect(1, 1, 2, 13, QColor(0, 0, 255));
        doubleArrow(p, 3, true);
        break;
    case Arrow::Previous:
        doubleArrow(p, 2, true);
        break;
    case Arrow::Next:
        doubleArrow(p, 2, false);
        break;
    case Arrow::Last:
        doubleArrow(p, 1, false);
        p.fillRect(13, 1, 2, 13, QColor(0, 0, 255));
        break;
    }
    return QIcon(pm);
}

QIcon closeData()
{
    QPixmap pm = canvas(16, 16);
    QPainter p(&pm);
    p.setPen(QColor(80, 80, 80));
    p.setBrush(Qt::white);
    p.drawRect(2, 1, 10, 13);
    p.setPen(QPen(QColor(220, 0, 0), 2));
    p.drawLine(7, 7, 14, 14);
    p.drawLine(14, 7, 7, 14);
    return QIcon(pm);
}

QIcon openFile()
{
    QPixmap pm = canvas(16, 16);
    QPainter p(&pm);
    p.setPen(QColor(120, 90, 0));
    p.setBrush(QColor(240, 200, 80));
    p.drawRect(1, 4, 13, 10);
    p.drawRect(1, 2, 5, 2);
    p.setBrush(QColor(255, 225, 120));
    p.drawPolygon(QPolygon({QPoint(3, 7), QPoint(15, 7), QPoint(13, 14), QPoint(1, 14)}));
    return QIcon(pm);
}

QIcon saveFile()
{
    QPixmap pm = canvas(16, 16);
    QPainter p(&pm);
    p.setPen(QColor(20, 20, 80));
    p.setBrush(QColor(40, 60, 160));
    p.drawRect(1, 1, 13, 13);
    p.setBrush(Qt::white);
    p.drawRect(4, 2, 7, 5);
    p.setBrush(QColor(180, 180, 180));
    p.drawRect(4, 9, 7, 5);
    return QIcon(pm);
}

QIcon print()
{
    QPixmap pm = canvas(16, 16);
    QPainter p(&pm);
    p.setPen(QColor(60, 60, 60));
    p.setBrush(Qt::white);
    p.drawRect(4, 1, 8, 5);
    p.setBrush(QColor(170, 170, 170));
    p.drawRect(1, 6, 14, 6);
    p.setBrush(Qt::white);
    p.drawRect(4, 10, 8, 5);
    return QIcon(pm);
}

QIcon picture()
{
    QPixmap pm = canvas(16, 16);
    QPainter p(&pm);
    p.setPen(QColor(60, 60, 60));
    p.setBrush(Qt::white);
    p.drawRect(1, 1, 14, 13);
    p.setPen(QPen(QColor(0, 0, 255), 1.5));
    p.drawPolyline(QPolygon({QPoint(2, 11), QPoint(6, 7), QPoint(9, 9), QPoint(14, 3)}));
    return QIcon(pm);
}

} // namespace ToolGlyphs
