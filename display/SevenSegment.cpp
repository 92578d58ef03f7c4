#include "display/SevenSegment.h"

#include <QPainter>
#include <QPolygonF>
#include <algorithm>

namespace SevenSegment {

quint8 segmentsFor(QChar glyph)
{
    switch (glyph.unicode()) {
    case '0':
        return A | B | C | D | E | F;
    case '1':
        return B | C;
    case '2':
        return A | B | D | E | G;
    case '3':
        return A | B | C | D | G;
    case '4':
        return B | C | F | G;
    case '5':
        return A | C | D | F | G;
    case '6':
        return A | C | D | E | F | G;
    case '7':
        return A | B | C;
    case '8':
        return A | B | C | D | E | F | G;
    case '9':
        return A | B | C | D | F | G;
    case '-':
        return G;
    case '@':
        return D | E | F; // the letter L
    case '#':
        return Degree | A | D | E | F; // degree sign and C
    case '?':
        return Degree | A | E | F | G; // degree sign and F
    default:
        return 0;
    }
}

bool isUnitSign(QChar glyph)
{
    return glyph == QLatin1Char('#') || glyph == QLatin1Char('?');
}

namespace {

struct Frame
{
    QRectF letter; // where the seven segments go
    QRectF ring;   // the degree sign, unit signs only
    qreal t;       // segment thickness
};

Frame frameFor(const QRectF &cell, QChar glyph)
{
    Frame f;
    if (isUnitSign(glyph)) {
        const qreal ringSize = std::min(cell.width() * 0.34, cell.height() * 0.3);
        f.ring = QRectF(cell.left() + cell.width() * 0.02, cell.top() + cell.height() * 0.04,
                        ringSize, ringSize);
        const qreal left = f.ring.right() + cell.width() * 0.08;
        f.letter = QRectF(left, cell.top() + cell.height() * 0.06, cell.right() - left,
                          cell.height() * 0.88);
    } else {
        const qreal mx = cell.width() * 0.1, my = cell.height() * 0.06;
        f.letter = cell.adjusted(mx, my, -mx, -my);
    }
    f.t = std::max<qreal>(1.0, f.letter.width() * 0.18);
    return f;
}

QRectF boxOf(const Frame &f, Segment s)
{
    const QRectF &r = f.letter;
    const qreal t = f.t, half = r.height() / 2.0;
    switch (s) {
    case A:
        return QRectF(r.left() + t / 2, r.top(), r.width() - t, t);
    case G:
        return QRectF(r.left() + t / 2, r.top() + half - t / 2, r.width() - t, t);
    case D:
        return QRectF(r.left() + t / 2, r.bottom() - t, r.width() - t, t);
    case F:
        return QRectF(r.left(), r.top() + t / 2, t, half - t / 2);
    case B:
        return QRectF(r.right() - t, r.top() + t / 2, t, half - t / 2);
    case E:
        return QRectF(r.left(), r.top() + half, t, half - t / 2);
    case C:
        return QRectF(r.right() - t, r.top() + half, t, half - t / 2);
    case Degree:
        return f.ring;
    }
    return {};
}

// A segment is a bar with pointed ends, as on a real LCD.
QPolygonF segmentShape(const QRectF &b)
{
    QPolygonF p;
    if (b.width() >= b.height()) {
        const qreal k = std::min(b.height() / 2, b.width() / 4);
        p << QPointF(b.left(), b.center().y()) << QPointF(b.left() + k, b.top())
          << QPointF(b.right() - k, b.top()) << QPointF(b.right(), b.center().y())
          << QPointF(b.right() - k, b.bottom()) << QPointF(b.left() + k, b.bottom());
    } else {
        const qreal k = std::min(b.width() / 2, b.height() / 4);
        p << QPointF(b.center().x(), b.top()) << QPointF(b.right(), b.top() + k)
          << QPointF(b.right(), b.bottom() - k) << QPointF(b.center().x(), b.bottom())
          << QPointF(b.left(), b.bottom() - k) << QPointF(b.left(), b.top() + k);
    }
    return p;
}

} // namespace

QRectF segmentBox(const QRectF &cell, QChar glyph, Segment segment)
{
    return boxOf(frameFor(cell, glyph), segment);
}

void paint(QPainter &painter, const QRectF &cell, QChar glyph, const QColor &color)
{
    const quint8 mask = segmentsFor(glyph);
    if (!mask)
        return;
    const Frame f = frameFor(cell, glyph);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    for (Segment s : {A, B, C, D, E, F, G}) {
        if (mask & s)
            painter.drawPolygon(segmentShape(boxOf(f, s)));
    }
    if (mask & Degree) {
        const qreal w = std::max<qreal>(1.0, f.ring.width() * 0.22);
        painter.setPen(QPen(color, w));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(f.ring.adjusted(w / 2, w / 2, -w / 2, -w / 2));
    }
    painter.restore();
}

void paintText(QPainter &painter, const QRectF &box, const QString &text, qreal cellWidth,
               const QColor &color)
{
    qreal x = box.left();
    for (QChar ch : text) {
        paint(painter, QRectF(x, box.top(), cellWidth, box.height()), ch, color);
        x += cellWidth;
    }
}

} // namespace SevenSegment
