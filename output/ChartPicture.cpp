#include "output/ChartPicture.h"

#include "output/SafeFile.h"

#include <QFileInfo>
#include <QPainter>
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

bool saveBmp(const QImage &picture, const QString &path, QString *reason)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        // A device or a pipe is written in place; replacing it would destroy the node.
        QFile device(path);
        const bool written =
            device.open(QIODevice::WriteOnly) && picture.save(&device, "BMP") && device.flush();
        if (!written && reason)
            *reason = device.errorString();
        return written;
    }
    SafeFileDevice file(path);
    const bool saved =
        file.open(QIODevice::WriteOnly) && picture.save(&file, "BMP") && file.commit();
    if (!saved && reason)
        *reason = file.file().error() ? file.file().errorString()
                                      : QStringLiteral("the picture could not be encoded");
    return saved;
}

} // namespace ChartPicture
