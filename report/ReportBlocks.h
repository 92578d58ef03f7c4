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
    // For a block whose lines wrap: its height at a width in the page's font (none: Height).
    std::function<double(const QFont &, double width)> Measure = {};
    // Kept on one page with the block after it (a heading never stands alone at the foot).
    bool KeepWithNext = false;
};

// A text as the lines a room of that width holds in that font: broken between words, and a
// word longer than the room within it; nothing is cut.
QStringList fitted(const QString &text, const QFont &font, double room);
// The blocks into pages, each block's height measured first: blocks never split, a heading
// goes with the block after it. Each page a list of blocks and their tops.
std::vector<std::vector<std::pair<const Block *, double>>>
paginate(std::vector<Block> &blocks, const QFont &font, double width, double height);

// A row of a table: cells at fractions of the width, each wrapped in the room up to the next.
Block row(const QStringList &cells, const QList<double> &at, bool bold = false);
Block heading(const QString &text);
Block text(const QString &line);
// A line of text, wrapped when the page is narrower than it.
// Lines in a box of their own (bold: what a reader must not miss), each wrapped.
Block box(const QStringList &lines, bool bold);
// A long text as text blocks, wrapped in the page's width.
void paragraph(std::vector<Block> &blocks, const QString &said);
// A line in a fixed-width font (a seal: no two letters drawn as one).
Block fixedWidth(const QString &line);

} // namespace ReportBlocks
