// Drives the recorder through the real main window offscreen with "limitless" recording and
// prints the cost per reading at the start, after a million rows and at the end, the memory
// per stored row, and the cost of page moves and replots at the end.
//   bench_recording [--readings N]      (default 10,000,000)

#include "BenchUtil.h"
#include "QuietPrompts.h"
#include "app/Application.h"
#include "app/RD7F.h"
#include "recording/MeasurementTable.h"
#include "recording/uCharControl.h"

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <qcustomplot.h>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    Tx9Application app(argc, argv);
    qint64 readings = 10'000'000;
    for (int i = 1; i + 1 < argc; ++i)
        if (QByteArray(argv[i]) == "--readings")
            readings = QByteArray(argv[i + 1]).toLongLong();

    // "limitless" is ten million rows: the limit question comes at the last reading.
    QuietPrompts prompts;
    Prompts::install(&prompts);
    TFCOMM w;
    w.show();
    w.RecordSI->setChecked(false);
    w.RepeatSet->setChecked(true);
    w.limitess->trigger();
    QCoreApplication::processEvents();

    QRandomGenerator rng(42);
    int tenths = 235;
    const qint64 midStart = std::min<qint64>(1'000'000, readings / 2);
    const qint64 window = std::min<qint64>(10'000, readings / 10);
    double first = 0, mid = 0, last = 0;
    QElapsedTimer chunk;
    const long rssBefore = Bench::statusKb("VmRSS");
    const double cpuBefore = Bench::cpuSeconds();
    QElapsedTimer total;
    total.start();

    for (qint64 i = 0; i < readings; ++i) {
        if (i == 0 || i == midStart || i == readings - window)
            chunk.start();
        // A temperature walk in tenths of a degree, now and then a dash display.
        tenths = std::clamp(tenths + int(rng.bounded(7)) - 3, -400, 8500);
        if (i % 5000 == 4999) {
            w.S.ValueText = QStringLiteral("----");
        } else {
            w.S.ValueText = QString::number(tenths / 10) + w.S.DecimalSep +
                            QString::number(std::abs(tenths % 10));
            w.S.ValueNum = float(tenths * 0.1);
        }
        w.S.UnitGlyph = QStringLiteral("#");
        w.INDataToTable();
        if (i % 100 == 99)
            QCoreApplication::processEvents();
        if (i == window - 1)
            first = double(chunk.nsecsElapsed()) / window;
        if (i == midStart + window - 1)
            mid = double(chunk.nsecsElapsed()) / window;
        if (i == readings - 1)
            last = double(chunk.nsecsElapsed()) / window;
    }
    QCoreApplication::processEvents();
    const long rssAfter = Bench::statusKb("VmRSS");
    const qint64 rows = w.cds1->count();

    Bench::print("readings", double(readings), "");
    Bench::print("rows stored", double(rows), "");
    Bench::print("limit questions answered", prompts.questions, "");
    Bench::print("total wall time", total.elapsed() / 1000.0, "s");
    Bench::print("total cpu time", Bench::cpuSeconds() - cpuBefore, "s");
    Bench::print("cost per reading, first 10k", first / 1000.0, "us");
    Bench::print("cost per reading, from 1M", mid / 1000.0, "us");
    Bench::print("cost per reading, last 10k", last / 1000.0, "us");
    Bench::print("last / first", last / first, "x (target <= 1.5)");
    Bench::print("memory growth per row", (rssAfter - rssBefore) * 1024.0 / double(rows),
                 "bytes (target <= 64)");
    Bench::print("peak resident memory", Bench::statusKb("VmHWM") / 1024.0, "MiB");

    // Page moves and replots with every point in the graph.
    std::vector<double> moves, pageReplots, fullReplots;
    QElapsedTimer t;
    for (int k = 0; k < 21; ++k) {
        t.start();
        w.BTPreviousClick();
        w.Chtshow->replot(QCustomPlot::rpImmediateRefresh);
        moves.push_back(t.nsecsElapsed() / 1e6);
    }
    for (int k = 0; k < 21; ++k) {
        t.start();
        w.Chtshow->replot(QCustomPlot::rpImmediateRefresh);
        pageReplots.push_back(t.nsecsElapsed() / 1e6);
    }
    w.Chtshow->xAxis->setRange(0, double(rows));
    for (int k = 0; k < 11; ++k) {
        t.start();
        w.Chtshow->replot(QCustomPlot::rpImmediateRefresh);
        fullReplots.push_back(t.nsecsElapsed() / 1e6);
    }
    Bench::print("page move with repaint, median", Bench::median(moves), "ms (target <= 5)");
    Bench::print("replot of a page, median", Bench::median(pageReplots), "ms (target <= 50)");
    Bench::print("replot of every point, median", Bench::median(fullReplots), "ms");
    return 0;
}
