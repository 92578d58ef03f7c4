#pragma once
// Fonts chosen by name so that text measures the same everywhere, offscreen included.
// Liberation Sans has Arial's metrics and stands in for both Arial and MS Sans Serif.

#include <QFont>

namespace Fonts {
inline QFont arial(int pixelSize, bool bold = false)
{
    QFont f(QStringLiteral("Liberation Sans"));
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    f.setStyleHint(QFont::SansSerif);
    return f;
}
inline QFont msSansSerif(int pixelSize, bool bold = false)
{
    return arial(pixelSize, bold);
}
} // namespace Fonts
