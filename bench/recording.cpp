// Drives the recorder through the real main window offscreen with "limitless" recording and
// prints the cost per reading, in windows of 100,000 readings (wall and CPU time: these
// machines are shared, and CPU time shows what a busy neighbour does to the wall clock), the
// memory per stored row, and the cost of page moves and replots at the end.
// With --alarms, the same with the statistics and the alarm rules following every row (limits
// that the walk crosses now and then, a hold time, the alarm log on disk) and without them.
//   bench_recording [--readings N] [--journal on|off|both] [--alarms on|off|both]
//   (default 10,000,000 readings, journal both, alarms on)

#include "BenchUtil.h"
#include "QuietPrompts.h"
#include "alarms/AlarmMonitor.h"
#include "alarms/Statistics.h"
#include "app/Application.h"
#include "app/RD7F.h"
#include "recording/MeasurementTable.h"
#include "recording/uCharControl.h"
#include "session/Journal.h"

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <qcustomplot.h>

namespace {

void run(qint64 readings, bool journal, bool alarms)
{
    const QByteArray tag = QByteArray(journal ? "journal on" : "journal off") +
                           (alarms ? ", alarms on: " : ", alarms off: ");
    // "limitless" is ten million rows: the limit question comes at the last reading.
    QuietPrompts prompts;
    Prompts::install(&prompts);
    TFCOMM w;
    if (!journal) {
        delete w.RecoveryJournal;
        w.RecoveryJournal = nullptr;
    }
    if (alarms) {
        AlarmSettings a;
        a.High = 60;
        a.Low = 10;
        a.HoldSeconds = 5;
        a.Hysteresis = 0.5;
        w.setAlarmSettings(a, false);
    } else {
        delete w.Alarms;
        w.Alarms = nullptr;
        delete w.Stats;
        w.Stats = nullptr;
    }
    w.show();
    w.RecordSI->setChecked(false);
    w.RepeatSet->setChecked(true);
    w.limitess->trigger();
    QCoreApplication::processEvents();

    QRandomGenerator rng(42);
    int tenths = 235;
    const qint64 window = std::max<qint64>(1, std::min<qint64>(100'000, readings / 5));
    std::vector<double> wall, cpu; // per reading, in each window
    QElapsedTimer chunk;
    double chunkCpu = 0;
    const long rssBefore = Bench::statusKb("VmRSS");
    const double cpuBefore = Bench::cpuSeconds();
    QElapsedTimer total;
    total.start();

    for (qint64 i = 0; i < readings; ++i) {
        if (i % window == 0) {
            chunk.start();
            chunkCpu = Bench::cpuSeconds();
        }
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
        if (i % window == window - 1) {
            wall.push_back(double(chunk.nsecsElapsed()) / 1000.0 / double(window));
            cpu.push_back((Bench::cpuSeconds() - chunkCpu) * 1e6 / double(window));
        }
    }
    QCoreApplication::processEvents();
    const long rssAfter = Bench::statusKb("VmRSS");
    const qint64 rows = w.cds1->count();

    Bench::print(tag + "readings", double(readings), "");
    Bench::print(tag + "rows stored", double(rows), "");
    Bench::print(tag + "limit questions answered", prompts.questions, "");
    Bench::print(tag + "total wall time", total.elapsed() / 1000.0, "s");
    Bench::print(tag + "total cpu time", Bench::cpuSeconds() - cpuBefore, "s");
    // The first and the last few windows, each side's median: one slow window (a neighbour's
    // burst) moves neither.
    const size_t side = std::max<size_t>(1, std::min<size_t>(3, wall.size() / 3));
    auto medianOf = [](const std::vector<double> &v, size_t from, size_t n) {
        return Bench::median(
            std::vector<double>(v.begin() + long(from), v.begin() + long(from + n)));
    };
    const double firstWall = medianOf(wall, 0, side),
                 lastWall = medianOf(wall, wall.size() - side, side);
    const double firstCpu = medianOf(cpu, 0, side),
                 lastCpu = medianOf(cpu, cpu.size() - side, side);
    Bench::print(tag + "windows of readings", double(wall.size()), "");
    Bench::print(tag + "cost per reading, median of all windows, wall", Bench::median(wall), "us");
    Bench::print(tag + "cost per reading, median of all windows, cpu", Bench::median(cpu), "us");
    Bench::print(tag + "cost per reading, first windows, wall", firstWall, "us");
    Bench::print(tag + "cost per reading, first windows, cpu", firstCpu, "us");
    Bench::print(tag + "cost per reading, last windows, wall", lastWall, "us");
    Bench::print(tag + "cost per reading, last windows, cpu", lastCpu, "us");
    Bench::print(tag + "last / first, wall", lastWall / firstWall, "x (target <= 1.5)");
    Bench::print(tag + "last / first, cpu", lastCpu / firstCpu, "x (target <= 1.5)");
    Bench::print(tag + "memory growth per row", (rssAfter - rssBefore) * 1024.0 / double(rows),
                 "bytes (target <= 64)");
    Bench::print(tag + "peak resident memory", Bench::statusKb("VmHWM") / 1024.0, "MiB");

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
    Bench::print(tag + "page move with repaint, median", Bench::median(moves), "ms (target <= 5)");
    Bench::print(tag + "replot of a page, median", Bench::median(pageReplots), "ms (target <= 50)");
    Bench::print(tag + "replot of every point, median", Bench::median(fullReplots), "ms");
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The journal goes to a folder of its own, not the user's.
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    Tx9Application app(argc, argv);
    qint64 readings = 10'000'000;
    QByteArray journal = "both", alarms = "on";
    for (int i = 1; i + 1 < argc; ++i) {
        if (QByteArray(argv[i]) == "--alarms")
            alarms = argv[i + 1];
        if (QByteArray(argv[i]) == "--readings")
            readings = QByteArray(argv[i + 1]).toLongLong();
        if (QByteArray(argv[i]) == "--journal")
            journal = argv[i + 1];
    }
    // The same run without and with the journal (and the alarms), so that they compare on the
    // same machine.
    for (const bool a : {false, true}) {
        if ((a && alarms == "off") || (!a && alarms == "on"))
            continue;
        if (journal != "on")
            run(readings, false, a);
        if (journal != "off")
            run(readings, true, a);
    }
    return 0;
}
