#pragma once
// Small button pictures of our own: paging arrows and the record tool bar's glyphs.

#include <QIcon>

namespace ToolGlyphs {
enum class Arrow
{
    First,
    Previous,
    Next,
    Last
};
QIcon arrow(Arrow kind); // blue, 16 x 15
QIcon closeData();       // a sheet with a red cross
QIcon openFile();        // a folder
QIcon saveFile();        // a disk
QIcon print();           // a printer
QIcon picture();         // a small chart, for saving the chart picture
} // namespace ToolGlyphs
