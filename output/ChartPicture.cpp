#include "output/ChartPicture.h"

#include <QFileInfo>
#include <QPainter>
#include <QSaveFile>
#include <qcustomplot.h>

namespace ChartPicture {

QImage render(QCustomPlot *chart)
{
    QImage picture(chart->size(), QImage::Format_RGB32);
    picture.fill(Qt::white);
    QCPPainter painter(&picture);
    chart->toPainter(&painter, chart->width(), chart->height());
    painter.end();
    return picture;
}

QPoint stampPosition(const QImage &picture)
{
    return QPoint(picture.width() - 130, 6);
}

void stamp(QImage &picture, const QString &dateText)
{
    QPainter painter(&picture);
    painter.setPen(QColor(0, 0, 255));
    // Transparent: the chart shows around the letters.
    painter.setBackgroundMode(Qt::TransparentMode);
    const QPoint at = stampPosition(picture);
    painter.drawText(QRect(at, QSize(picture.width(), picture.height())),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, dateText);
}

bool saveBmp(const QImage &picture, const QString &path)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        // A device or a pipe is written in place; replacing it would destroy the node.
        QFile device(path);
        return device.open(QIODevice::WriteOnly) && picture.save(&device, "BMP") && device.flush();
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (!picture.save(&file, "BMP")) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace ChartPicture
