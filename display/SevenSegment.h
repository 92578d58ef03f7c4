#pragma once
// Our own seven-segment glyph painter. It stands in for an LCD font: "0"-"9", blank and "-" as
// segments, "@" as the segment letter L, "#" as the degree-Celsius sign and "?" as the
// degree-Fahrenheit sign. The LCD panel, the grid's Unit column and the report all use it.

#include <QColor>
#include <QRectF>

class QPainter;

namespace SevenSegment {

enum Segment : quint8
{
    A = 1,       // top
    B = 2,       // top right
    C = 4,       // bottom right
    D = 8,       // bottom
    E = 16,      // bottom left
    F = 32,      // top left
    G = 64,      // middle
    Degree = 128 // the small ring of a unit sign
};

// The segments that draw a glyph; 0 for a blank or an unknown character.
quint8 segmentsFor(QChar glyph);
bool isUnitSign(QChar glyph);

// Where a segment lies when the glyph is painted into cell.
QRectF segmentBox(const QRectF &cell, QChar glyph, Segment segment);

void paint(QPainter &painter, const QRectF &cell, QChar glyph, const QColor &color = Qt::black);
// Paints a text of glyphs side by side, each in a cell of the given width.
void paintText(QPainter &painter, const QRectF &box, const QString &text, qreal cellWidth,
               const QColor &color = Qt::black);

} // namespace SevenSegment
