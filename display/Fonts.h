#pragma once
// Fonts chosen by name so that text measures the same everywhere, offscreen included.
// Liberation Sans has Arial's metrics and stands in for both Arial and MS Sans Serif.

#include <QFont>

namespace Fonts {
inline QFont arial(int pixelSize, bool bold = false)
{
    QFont f(QStringLiteral("Liberation Sans"));
    f.setPixelSize(pixelSize);
    // Set explicitly, or a parent's bold font would be inherited.
    f.setWeight(bold ? QFont::Bold : QFont::Normal);
    f.setStyleHint(QFont::SansSerif);
    return f;
}
inline QFont arialPoints(double points)
{
    QFont f = arial(12);
    f.setPointSizeF(points);
    return f;
}
inline QFont msSansSerif(int pixelSize, bool bold = false)
{
    return arial(pixelSize, bold);
}
} // namespace Fonts
