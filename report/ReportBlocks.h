#pragma once
// The pieces a report's pages are made of: blocks of a height that paint themselves (a line
// of text, a row of a table, a heading, a box), laid out one below the other by the report.

#include <QPainter>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace ReportBlocks {

constexpr double Line = 13; // points a line of the tables takes
constexpr double Gap = 10;  // between blocks

// A moment and a span of time as the report writes them.
QString when(qint64 ms);
QString duration(double seconds);

// A block of the report: its height, and how it paints itself with its top-left at the
// origin, width wide.
struct Block
{
    double Height;
    std::function<void(QPainter &, double width)> Paint;
};

// A row of a table: cells at fractions of the width, each cut to the room up to the next.
Block row(const QStringList &cells, const QList<double> &at, bool bold = false);
Block heading(const QString &text);
Block text(const QString &line);
// Lines in a box of their own (bold: what a reader must not miss).
Block box(const QStringList &lines, bool bold);
// A long text as lines the page's width holds (width characters), broken between words.
QStringList wrapped(const QString &said, qsizetype width = 100);
// A long text as lines of text blocks.
void paragraph(std::vector<Block> &blocks, const QString &said);
// A line in a fixed-width font (a seal: no two letters drawn as one).
Block fixedWidth(const QString &line);

} // namespace ReportBlocks
