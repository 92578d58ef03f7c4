#pragma once
// The chart as a picture: rendered at its on-screen size on white, with the date stamped in
// blue 130 pixels left of the right edge and 6 pixels below the top.

#include <QImage>
#include <QString>

class QCustomPlot;

namespace ChartPicture {
// The chart alone, as the chart component hands it over.
QImage render(QCustomPlot *chart);
// The date stamp drawn onto a picture.
void stamp(QImage &picture, const QString &dateText);
QPoint stampPosition(const QImage &picture);
// Writes the picture as BMP, replacing path only when the whole file was written.
bool saveBmp(const QImage &picture, const QString &path, QString *reason = nullptr);
} // namespace ChartPicture
