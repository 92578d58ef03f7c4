#include "report/ReportBlocks.h"

#include "timeline/Timeline.h"

#include <QFontDatabase>
#include <QFontMetricsF>

namespace ReportBlocks {

QString when(qint64 ms)
{
    return Timeline::clockText(ms);
}

QString duration(double seconds)
{
    return Timeline::spanText(qint64(seconds * 1000));
}

QStringList fitted(const QString &text, const QFont &font, double room)
{
    const QFontMetricsF fm(font);
    room = qMax(room, fm.averageCharWidth() * 4);
    // Nearly every text fits: measured once, whole.
    if (!text.contains(QLatin1Char('\n')) && fm.horizontalAdvance(text) <= room)
        return {text};
    QStringList out;
    for (const QString &part : text.split(QLatin1Char('\n'))) {
        QString line;
        for (QString word : part.split(QLatin1Char(' '))) {
            const QString joined = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
            if (fm.horizontalAdvance(joined) <= room) {
                line = joined;
                continue;
            }
            if (!line.isEmpty())
                out << line;
            // A word wider than the room: as much of it on each line as the line holds.
            while (fm.horizontalAdvance(word) > room) {
                qsizetype n = 1;
                while (n < word.size() && fm.horizontalAdvance(word.left(n + 1)) <= room)
                    ++n;
                out << word.left(n);
                word = word.mid(n);
            }
            line = word;
        }
        out << line;
    }
    return out;
}

namespace {

// The room of each cell: up to the next one (the last: the page's edge), less a gap.
double roomOf(const QList<double> &at, qsizetype i, double width)
{
    return (i + 1 < at.size() ? at[i + 1] : 1.0) * width - at.value(i) * width - 4;
}

QFont weighted(QFont f, bool bold)
{
    f.setBold(bold);
    return f;
}

} // namespace

// A row of a table: cells at fractions of the width, each cell's lines below each other.
Block row(const QStringList &cells, const QList<double> &at, bool bold)
{
    Block b{Line, [cells, at, bold](QPainter &p, double width) {
                const QFont plain = p.font();
                const QFont f = weighted(plain, bold);
                p.setFont(f);
                for (qsizetype i = 0; i < cells.size(); ++i) {
                    const QStringList lines = fitted(cells[i], f, roomOf(at, i, width));
                    for (qsizetype k = 0; k < lines.size(); ++k)
                        p.drawText(QRectF(at.value(i) * width, Line * double(k), width, Line),
                                   Qt::AlignLeft | Qt::AlignVCenter, lines[k]);
                }
                p.setFont(plain);
            }};
    b.Measure = [cells, at, bold](const QFont &font, double width) {
        qsizetype most = 1;
        for (qsizetype i = 0; i < cells.size(); ++i)
            most = qMax(most, fitted(cells[i], weighted(font, bold), roomOf(at, i, width)).size());
        return Line * double(most);
    };
    return b;
}

std::vector<std::vector<std::pair<const Block *, double>>>
paginate(std::vector<Block> &blocks, const QFont &font, double width, double height)
{
    for (Block &b : blocks)
        if (b.Measure)
            b.Height = b.Measure(font, width);
    std::vector<std::vector<std::pair<const Block *, double>>> pages(1);
    double y = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const Block &b = blocks[i];
        double needed = b.Height;
        // A heading and what follows it: together, or on the next page.
        for (size_t k = i; k < blocks.size() && blocks[k].KeepWithNext && k + 1 < blocks.size();
             ++k)
            needed += blocks[k + 1].Height;
        if (y + needed > height && y > 0) {
            pages.emplace_back();
            y = 0;
        }
        pages.back().emplace_back(&b, y);
        y += b.Height;
    }
    return pages;
}

Block heading(const QString &text)
{
    Block b{Line * 2, [text](QPainter &p, double width) {
                QFont f = p.font();
                const QFont plain = f;
                f.setBold(true);
                f.setPixelSize(11);
                p.setFont(f);
                p.drawText(QRectF(0, Line * 0.5, width, Line * 1.5),
                           Qt::AlignLeft | Qt::AlignBottom, text);
                p.setFont(plain);
            }};
    b.KeepWithNext = true;
    return b;
}

Block text(const QString &line)
{
    return row({line}, {0}, false);
}

// Lines in a box of their own (bold: what a reader must not miss).
Block box(const QStringList &lines, bool bold)
{
    auto all = [lines, bold](const QFont &font, double width) {
        QStringList out;
        for (const QString &l : lines)
            out << fitted(l, weighted(font, bold), width - Line * 0.8 - 4);
        return out;
    };
    Block b{Line * (double(lines.size()) + 0.8), [all, bold](QPainter &p, double width) {
                const QFont plain = p.font();
                p.setFont(weighted(plain, bold));
                const QStringList shown = all(plain, width);
                p.drawRect(QRectF(0.5, 0.5, width - 1, Line * (double(shown.size()) + 0.6)));
                for (qsizetype i = 0; i < shown.size(); ++i)
                    p.drawText(
                        QRectF(Line * 0.4, Line * (0.3 + double(i)), width - Line * 0.8, Line),
                        Qt::AlignLeft | Qt::AlignVCenter, shown[i]);
                p.setFont(plain);
            }};
    b.Measure = [all](const QFont &font, double width) {
        return Line * (double(all(font, width).size()) + 0.8);
    };
    return b;
}

void paragraph(std::vector<Block> &blocks, const QString &said)
{
    blocks.push_back(text(said));
}

// A line in a fixed-width font (a seal: no two letters drawn as one), wrapped in the width.
Block fixedWidth(const QString &line)
{
    auto fixedOf = [](const QFont &plain) {
        QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        f.setPixelSize(plain.pixelSize() > 0 ? plain.pixelSize() : 9);
        f.setStyleStrategy(plain.styleStrategy());
        return f;
    };
    Block b{Line, [line, fixedOf](QPainter &p, double width) {
                const QFont plain = p.font();
                const QFont f = fixedOf(plain);
                p.setFont(f);
                const QStringList lines = fitted(line, f, width - 4);
                for (qsizetype k = 0; k < lines.size(); ++k)
                    p.drawText(QRectF(0, Line * double(k), width, Line),
                               Qt::AlignLeft | Qt::AlignVCenter, lines[k]);
                p.setFont(plain);
            }};
    b.Measure = [line, fixedOf](const QFont &font, double width) {
        return Line * double(fitted(line, fixedOf(font), width - 4).size());
    };
    return b;
}

} // namespace ReportBlocks
