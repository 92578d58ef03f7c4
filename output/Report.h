#pragma once
// The "Test Data" report of the measurement table: a banded report on A4 portrait with 10 mm
// margins. The layout (band positions in millimetres and the pagination) is computed apart from
// painting, so it can be checked without a printer.

#include <QDate>
#include <QList>
#include <QPageLayout>
#include <QRectF>
#include <QString>
#include <atomic>

class MeasurementTable;
class QPainter;
class QPrinter;

class QPagedPaintDevice;

namespace Report {

constexpr double PageWidthMm = 210.0, PageHeightMm = 297.0, MarginMm = 10.0;
constexpr double BandWidthMm = 189.97;
constexpr double PageHeaderMm = 19.84, ColumnHeaderMm = 10.58, DetailMm = 6.61,
                 PageFooterMm = 10.58;

enum class BandKind
{
    PageHeader,
    ColumnHeader,
    Detail,
    PageFooter
};

// A band on a page; top is in millimetres from the top margin.
struct Band
{
    BandKind Kind;
    double TopMm;
    double HeightMm;
    qint64 Row = -1; // the table row of a detail band
};

struct Page
{
    QList<Band> Bands;
};

// Rows that fit between the headers and the footer space of one page.
int rowsPerPage();
// The pages for a table of `rows` rows; no pages for an empty table.
QList<Page> layout(qint64 rows);

// An item of a band: text, left and top in millimetres from the band's top-left corner.
struct Item
{
    QString Text;
    double LeftMm;
    double TopMm;
    double WidthMm;  // for centred items: the box the text is centred in; 0 for left-aligned
    bool ReportFont; // drawn with the seven-segment glyph painter
};
QList<Item> itemsOf(const Band &band, const MeasurementTable &table, const QDate &date);

// Paints every page through the printer (or a PDF writer); pagesDone, when given, counts the
// pages painted (for a progress display). May run on a thread of its own. False when the
// device would not take the pages.
bool paint(QPagedPaintDevice *printer, const MeasurementTable &table, const QDate &date,
           std::atomic<qint64> *pagesDone = nullptr);
// The report as a PDF file at path, written through a checked temporary copy: a file that
// cannot be written completely leaves the old one as it was, and reason says why.
bool writePdf(const QString &path, const QPageLayout &pageLayout, int resolution,
              const MeasurementTable &table, const QDate &date,
              std::atomic<qint64> *pagesDone = nullptr, QString *reason = nullptr);
// Sets up a printer as the report wants it: A4 portrait, 10 mm margins, one copy.
void preparePrinter(QPrinter *printer);

} // namespace Report
