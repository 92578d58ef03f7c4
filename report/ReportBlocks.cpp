#include "report/ReportBlocks.h"

#include "timeline/Timeline.h"

#include <QFontDatabase>

namespace ReportBlocks {

QString when(qint64 ms)
{
    return Timeline::clockText(ms);
}

QString duration(double seconds)
{
    return Timeline::spanText(qint64(seconds * 1000));
}

// A row of a table: cells at fractions of the width.
Block row(const QStringList &cells, const QList<double> &at, bool bold)
{
    return {Line, [cells, at, bold](QPainter &p, double width) {
                QFont f = p.font();
                f.setBold(bold);
                p.setFont(f);
                for (qsizetype i = 0; i < cells.size(); ++i) {
                    // Each cell in the room up to the next one (the last: the page's edge).
                    const double room =
                        (i + 1 < at.size() ? at[i + 1] : 1.0) * width - at.value(i) * width;
                    p.drawText(QRectF(at.value(i) * width, 0, width, Line),
                               Qt::AlignLeft | Qt::AlignVCenter,
                               p.fontMetrics().elidedText(cells[i], Qt::ElideRight, int(room)));
                }
                f.setBold(false);
                p.setFont(f);
            }};
}

Block heading(const QString &text)
{
    return {Line * 2, [text](QPainter &p, double width) {
                QFont f = p.font();
                const QFont plain = f;
                f.setBold(true);
                f.setPixelSize(11);
                p.setFont(f);
                p.drawText(QRectF(0, Line * 0.5, width, Line * 1.5),
                           Qt::AlignLeft | Qt::AlignBottom, text);
                p.setFont(plain);
            }};
}

Block text(const QString &line)
{
    return {Line, [line](QPainter &p, double width) {
                p.drawText(QRectF(0, 0, width, Line), Qt::AlignLeft | Qt::AlignVCenter, line);
            }};
}

// Lines in a box of their own (bold: what a reader must not miss).
Block box(const QStringList &lines, bool bold)
{
    return {
        Line * (double(lines.size()) + 0.8), [lines, bold](QPainter &p, double width) {
            const QFont plain = p.font();
            QFont f = plain;
            f.setBold(bold);
            p.setFont(f);
            p.drawRect(QRectF(0.5, 0.5, width - 1, Line * (double(lines.size()) + 0.6)));
            for (qsizetype i = 0; i < lines.size(); ++i)
                p.drawText(
                    QRectF(Line * 0.4, Line * (0.3 + double(i)), width - Line * 0.8, Line),
                    Qt::AlignLeft | Qt::AlignVCenter,
                    p.fontMetrics().elidedText(lines[i], Qt::ElideMiddle, int(width - Line * 0.8)));
            p.setFont(plain);
        }};
}

// A long text as lines the page's width holds, broken between words.
QStringList wrapped(const QString &said, qsizetype width)
{
    QStringList out;
    QString line;
    for (const QString &word : said.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
            out << line;
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty())
        out << line;
    return out;
}

// A long text as lines of text blocks.
void paragraph(std::vector<Block> &blocks, const QString &said)
{
    for (const QString &line : wrapped(said))
        blocks.push_back(text(line));
}

// A line in a fixed-width font (a seal: no two letters drawn as one).
Block fixedWidth(const QString &line)
{
    return {Line, [line](QPainter &p, double width) {
                const QFont plain = p.font();
                QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
                f.setPixelSize(plain.pixelSize() > 0 ? plain.pixelSize() : 9);
                p.setFont(f);
                p.drawText(QRectF(0, 0, width, Line), Qt::AlignLeft | Qt::AlignVCenter, line);
                p.setFont(plain);
            }};
}

} // namespace ReportBlocks
