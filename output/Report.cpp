#include "output/Report.h"

#include "display/Fonts.h"
#include "display/SevenSegment.h"
#include "output/SafeFile.h"
#include "recording/LocaleInfo.h"
#include "recording/MeasurementTable.h"

#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <QPrinter>
#include <cmath>

namespace Report {

namespace {

constexpr double PrintableHeightMm = PageHeightMm - 2 * MarginMm;

} // namespace

int rowsPerPage()
{
    // The footer's space is kept free on every page: whether a page is the last one is known
    // only after its rows have been placed.
    const double room = PrintableHeightMm - PageHeaderMm - ColumnHeaderMm - PageFooterMm;
    return int(std::floor(room / DetailMm + 1e-9));
}

QList<Page> layout(qint64 rows)
{
    QList<Page> pages;
    const int perPage = rowsPerPage();
    for (qint64 first = 0; first < rows; first += perPage) {
        Page page;
        double top = 0;
        page.Bands << Band{BandKind::PageHeader, top, PageHeaderMm};
        top += PageHeaderMm;
        page.Bands << Band{BandKind::ColumnHeader, top, ColumnHeaderMm};
        top += ColumnHeaderMm;
        const qint64 last = std::min<qint64>(rows, first + perPage);
        for (qint64 r = first; r < last; ++r) {
            page.Bands << Band{BandKind::Detail, top, DetailMm, r};
            top += DetailMm;
        }
        if (last < rows)
            page.Bands << Band{BandKind::PageFooter, PrintableHeightMm - PageFooterMm,
                               PageFooterMm};
        pages << page;
    }
    return pages;
}

QList<Item> itemsOf(const Band &band, const MeasurementTable &table, const QDate &date)
{
    switch (band.Kind) {
    case BandKind::PageHeader:
        return {{QStringLiteral("Test Data"), (BandWidthMm - 35.45) / 2, 2.12, 35.45, false},
                {QStringLiteral("Date:"), 2.12, 10.58, 0, false},
                {LocaleInfo::shortDate(date), 10.58, 10.58, 0, false}};
    case BandKind::ColumnHeader:
        return {{QStringLiteral("No"), 8.47, 4.23, 0, false},
                {QStringLiteral("Time"), 33.87, 4.23, 0, false},
                {QStringLiteral("Value"), 99.48, 4.23, 0, false},
                {QStringLiteral("Unit"), 132.29, 4.23, 0, false}};
    case BandKind::Detail:
        return {{table.cellText(band.Row, MeasurementTable::FieldNo), 8.47, 2.12, 0, false},
                {table.text(band.Row, MeasurementTable::FieldTime), 33.87, 2.12, 0, false},
                {table.text(band.Row, MeasurementTable::FieldValue), 99.48, 2.12, 0, false},
                {table.text(band.Row, MeasurementTable::FieldUnit), 131.23, 2.12, 0, true}};
    case BandKind::PageFooter:
        return {{QStringLiteral("The Data Print Foot"), 8.47, 4.23, 0, false}};
    }
    return {};
}

void preparePrinter(QPrinter *printer)
{
    printer->setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                       QMarginsF(MarginMm, MarginMm, MarginMm, MarginMm),
                                       QPageLayout::Millimeter));
    printer->setCopyCount(1);
    printer->setDuplex(QPrinter::DuplexNone);
    printer->setPrintRange(QPrinter::AllPages);
}

bool paint(QPagedPaintDevice *printer, const MeasurementTable &table, const QDate &date,
           std::atomic<qint64> *pagesDone)
{
    const QList<Page> pages = layout(table.count());
    if (pages.isEmpty())
        return true; // an empty table prints nothing, not even the headers
    QPainter p;
    if (!p.begin(printer))
        return false;
    // The painter's origin is the top-left corner of the margins.
    const double px = printer->logicalDpiY() / 25.4;
    p.setFont(Fonts::arialPoints(10));
    const QFontMetricsF fm(p.font(), printer);
    const double glyphHeight = fm.ascent();
    for (int i = 0; i < pages.size(); ++i) {
        if (i > 0)
            printer->newPage();
        for (const Band &band : pages[i].Bands) {
            for (const Item &item : itemsOf(band, table, date)) {
                const QPointF at(item.LeftMm * px, (band.TopMm + item.TopMm) * px);
                if (item.ReportFont) {
                    // The unit glyph prints as the degree sign it stands for.
                    SevenSegment::paintText(
                        p, QRectF(at, QSizeF(glyphHeight * 0.75 * item.Text.size(), glyphHeight)),
                        item.Text, glyphHeight * 0.75, Qt::black);
                } else if (item.WidthMm > 0) {
                    p.drawText(QRectF(at, QSizeF(item.WidthMm * px, fm.height())),
                               Qt::AlignHCenter | Qt::AlignTop, item.Text);
                } else {
                    p.drawText(at + QPointF(0, fm.ascent()), item.Text);
                }
            }
        }
        if (pagesDone)
            pagesDone->store(i + 1, std::memory_order_relaxed);
    }
    return p.end();
}

bool writePdf(const QString &path, const QPageLayout &pageLayout, int resolution,
              const MeasurementTable &table, const QDate &date, std::atomic<qint64> *pagesDone,
              QString *reason)
{
    SafeFileDevice file(path);
    bool written = file.open(QIODevice::WriteOnly);
    if (written) {
        QPdfWriter pdf(&file);
        pdf.setPageLayout(pageLayout);
        pdf.setResolution(resolution);
        pdf.setCreator(QStringLiteral("TX-9 Logger"));
        written = paint(&pdf, table, date, pagesDone);
    }
    // The writer's own failures leave the device short of its pages: only what commits counts.
    written = written && file.commit();
    if (!written && reason)
        *reason = file.file().error() ? file.file().errorString()
                                      : QStringLiteral("the report could not be drawn");
    return written;
}

} // namespace Report
