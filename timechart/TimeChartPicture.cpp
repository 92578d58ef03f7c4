// The time chart as a picture to hand on: PNG or PDF, with a title line and the legend.

#include "output/SafeFile.h"
#include "timechart/TimeChart.h"
#include "timechart/TimeChartPlot.h"
#include "timeline/Timeline.h"

#include <QBuffer>
#include <QPdfWriter>
#include <qcustomplot.h>

QString TimeChart::pictureTitle() const
{
    const QCPRange v = view();
    const qint64 from = qint64(v.lower * 1000), to = qint64(v.upper * 1000);
    const QString cable = !m_cable.isEmpty() ? m_cable : m_lastCable;
    return QStringLiteral("TX-9 Logger%1: %2 to %3, local time %4")
        .arg(cable.isEmpty() ? QString() : QStringLiteral(", cable %1").arg(cable),
             Timeline::clockText(from), Timeline::clockText(to), Timeline::zoneText(from, to));
}

QByteArray TimeChart::picture(bool pdf, const QSize &size)
{
    replotNow();
    // Which cable, day and zone it shows above the chart, what its marks mean below it: a
    // picture handed on is read without the window.
    constexpr int Title = 24, Legend = 20;
    const QSize whole(size.width(), size.height() + Title + Legend);
    const QString title = pictureTitle();
    auto paint = [&](QCPPainter &p) {
        QFont f = p.font();
        f.setPixelSize(12);
        f.setBold(true);
        p.setFont(f);
        p.setPen(Qt::black);
        p.drawText(QRectF(8, 0, size.width() - 16, Title), Qt::AlignLeft | Qt::AlignVCenter, title);
        f.setBold(false);
        f.setPixelSize(10);
        p.setFont(f);
        p.save();
        p.translate(0, Title);
        m_plot->toPainter(&p, size.width(), size.height());
        p.restore();
        p.save();
        p.translate(8, Title + size.height());
        p.setFont(f);
        paintChartLegend(p, Legend);
        p.restore();
    };
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!pdf) {
        QPixmap pixmap(whole);
        pixmap.fill(Qt::white);
        QCPPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        paint(painter);
        painter.end();
        pixmap.save(&buffer, "PNG");
        return bytes;
    }
    QPdfWriter writer(&buffer);
    writer.setCreator(QStringLiteral("TX-9 Logger"));
    writer.setTitle(title);
    writer.setResolution(72);
    writer.setPageSize(QPageSize(QSizeF(whole), QPageSize::Point));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    QCPPainter painter;
    if (!painter.begin(&writer))
        return {};
    painter.setMode(QCPPainter::pmVectorized);
    painter.setMode(QCPPainter::pmNoCaching);
    paint(painter);
    painter.end();
    return bytes;
}

bool TimeChart::savePicture(const QString &path, QString *reason)
{
    const bool pdf = path.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive);
    const QByteArray bytes = picture(pdf, m_plot->size());
    if (bytes.isEmpty()) {
        *reason = QStringLiteral("the picture could not be drawn");
        return false;
    }
    return SafeFile::writeWhole(path, bytes, reason);
}
