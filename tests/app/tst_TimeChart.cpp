// The time chart through the real window: opened with Ctrl+T, following readings, an
// over-range reading kept off the value axis, rows loaded from a file dated from it, the
// record limit said, the picture saved while its dialog runs a loop of its own; and the chart
// on its own: keys, buttons, a box zoom, the readout, gaps and the clock's labels.

#include "alarms/Statistics.h"
#include "app/RD7F.h"
#include "common/Frames.h"
#include "common/LocalBroker.h"
#include "common/ModalPrompts.h"
#include "mqtt/MqttOptions.h"
#include "output/DataFiles.h"
#include "outputs/Outputs.h"
#include "recording/MeasurementTable.h"
#include "report/SummaryReport.h"
#include "session/Journal.h"
#include "timechart/TimeChart.h"
#include "timechart/TimeChartPlot.h"
#include "timeline/Timeline.h"

#include <QApplication>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <ctime>
#include <qcustomplot.h>

class tst_TimeChart : public QObject
{
    Q_OBJECT

    static void sendFrame(TFCOMM &w, const QString &digits)
    {
        for (const QByteArray &r : TestFrames::reportsFor(TestFrames::live("1", digits)))
            w.HidDataReceived(nullptr, 0, reinterpret_cast<const quint8 *>(r.constData()),
                              quint16(r.size()));
    }
    static void shot(QWidget *w, const char *name)
    {
        const QString dir = qEnvironmentVariable("TX9_SCREENSHOTS");
        if (!dir.isEmpty())
            w->grab().save(dir + '/' + name + ".png");
    }

private slots:
    void inTheWindow()
    {
        ModalPrompts prompts;
        QTemporaryDir dir;
        TFCOMM w;
        w.show();
        w.RecordSI->setChecked(false);
        w.S.RecordLimit = 8;
        QCOMPARE(w.TimeChartEntry->shortcut(), QKeySequence(QStringLiteral("Ctrl+T")));
        w.TimeChartEntry->trigger();
        TimeChart *chart = w.timeChart();
        QVERIFY(chart && chart->isVisible() && chart->isWindow());
        QCOMPARE(chart->windowTitle(), QStringLiteral("Time Chart"));

        // An over-range reading between ordinary ones: a mark, not a value.
        for (const char *v : {"A235", "A241", "A0FA", "A252", "A248"})
            sendFrame(w, v);
        chart->replotNow();
        QCOMPARE(w.cds1->count(), 5);
        const QCPRange values = chart->plot()->yAxis->range();
        QVERIFY2(values.upper < 40 && values.lower > 15,
                 qPrintable(QStringLiteral("%1..%2").arg(values.lower).arg(values.upper)));
        QVERIFY(chart->viewText().startsWith(QStringLiteral("In view: 4 readings, min 23.5, max "
                                                            "25.2, mean 24.40 \u00B0C")));
        QVERIFY(chart->viewText().contains(QStringLiteral("beyond the range")));
        const TimeSeries &series = w.Out->timeline()->series();
        QVERIFY(std::isinf(series.value(2)) && series.value(2) > 0);
        QVERIFY(chart->readingText(2).contains(QStringLiteral("above range")));
        QVERIFY(chart->readingText(3).contains(QStringLiteral("25.2 \u00B0C   No 4")));

        // A file of yesterday's times: dated from its own date, drawn apart.
        const QString file = dir.filePath("old.txt");
        {
            MeasurementTable rows;
            rows.appendRow({1, "23:59:58", "20.0", "#"});
            rows.appendRow({2, "00:00:03", "21.0", "#"});
            QVERIFY(DataFiles::saveTable(rows, file, QDate(2026, 12, 7)));
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.setFileTime(QDateTime(QDate(2026, 12, 8), QTime(0, 5)),
                                  QFileDevice::FileModificationTime));
        }
        w.LoadTableFromFile(file, w.cds1, false);
        QCOMPARE(series.rows(), qint64(7));
        QCOMPARE(QDateTime::fromMSecsSinceEpoch(series.timeMs(5)),
                 QDateTime(QDate(2026, 12, 7), QTime(23, 59, 58)));
        QCOMPARE(int(series.runs().back().Tag), int(Timeline::FromFile));
        QVERIFY(chart->statusText().contains(QStringLiteral("Dates of 2 readings from files are "
                                                            "assumed")));
        QVERIFY(chart->readingAt(double(series.timeMs(6)) / 1000)
                    .contains(QStringLiteral("00:00:03   21.0 \u00B0C   No 2   (date assumed")));

        // The record limit: what the main window says in a message stays said here.
        prompts.questionAnswers.enqueue(QMessageBox::Cancel);
        for (const char *v : {"A250", "A251", "A252"})
            sendFrame(w, v);
        QTRY_VERIFY(chart->statusText().contains(
            QStringLiteral("Recording stopped: the record limit (8) is reached.")));
        chart->showAll();
        chart->replotNow();
        shot(chart, "time-chart-window");

        // The picture, PNG and PDF, through the checked write; the dialog runs a loop of its
        // own, and the chart may be gone when it returns.
        prompts.fileAnswers.enqueue(dir.filePath("chart.png"));
        emit chart->savePictureRequested();
        // A title line above the chart (its cable, the span in view with the time zone) and
        // the legend below it: a picture handed on says which day and room it shows.
        QImage png(dir.filePath("chart.png"));
        QCOMPARE(png.size(), chart->plot()->size() + QSize(0, 44));
        if (const QString shots = qEnvironmentVariable("TX9_SCREENSHOTS"); !shots.isEmpty())
            png.save(shots + QStringLiteral("/time-chart-picture.png"));
        const QString title = chart->pictureTitle();
        QVERIFY2(title.startsWith(QStringLiteral("TX-9 Logger")) &&
                     QRegularExpression(QStringLiteral(": 20\\d\\d-\\d\\d-\\d\\d "
                                                       "\\d\\d:\\d\\d:\\d\\d to 20.*, local "
                                                       "time \\S+ \\(UTC[+-]\\d\\d:\\d\\d\\)$"))
                         .match(title)
                         .hasMatch(),
                 qPrintable(title));
        prompts.fileAnswers.enqueue(dir.filePath("chart.pdf"));
        emit chart->savePictureRequested();
        QFile pdf(dir.filePath("chart.pdf"));
        QVERIFY(pdf.open(QIODevice::ReadOnly));
        QVERIFY(pdf.read(5) == "%PDF-");
        QProcess text;
        text.start(QStringLiteral("pdftotext"), {dir.filePath("chart.pdf"), QStringLiteral("-")});
        QVERIFY(text.waitForFinished(30000));
        const QString said = QString::fromUtf8(text.readAllStandardOutput()).simplified();
        QVERIFY2(said.contains(title) && said.contains(QStringLiteral("readings from")) &&
                     said.contains(QStringLiteral("alarm gap note beyond the range limit")),
                 qPrintable(said));
        const int messages = prompts.messages.size();
        prompts.fileAnswers.enqueue(dir.filePath("no-such-folder/chart.png"));
        prompts.messageAnswers.enqueue(int(DialogButton::OK));
        emit chart->savePictureRequested();
        QCOMPARE(prompts.messages.size(), messages + 1);
        QVERIFY(prompts.messages.last().text.startsWith(QStringLiteral("Could not save the "
                                                                       "picture to")));
        prompts.fileAnswers.enqueue(dir.filePath("gone.png"));
        prompts.duringModal.enqueue([&w] { delete w.timeChart(); });
        QMetaObject::invokeMethod(&w, [&w] { w.saveTimeChartPicture(); });
        QTRY_VERIFY(!w.timeChart());
        QTest::qWait(100);
        QVERIFY(!QFile::exists(dir.filePath("gone.png")));
        // Opened again, it shows the recording as it stands.
        w.TimeChartEntry->trigger();
        QVERIFY(w.timeChart() && w.timeChart()->isVisible());
        w.cds1->clear();
        QCOMPARE(series.rows(), qint64(0));
    }

    void notes()
    {
        // A note on a reading, made while its question runs a loop of its own (readings go on
        // meanwhile); edited, listed, journaled, in the report; and one removed.
        // A journal of its own: no orphan of an earlier window holds it back.
        QTemporaryDir state;
        qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
        ModalPrompts prompts;
        TFCOMM w;
        w.show();
        w.RecordSI->setChecked(false);
        for (const char *v : {"A235", "A241", "A252"}) {
            sendFrame(w, v);
            QTest::qWait(30); // each at a time of its own
        }
        w.TimeChartEntry->trigger();
        TimeChart *chart = w.timeChart();
        const TimeSeries &series = w.Out->timeline()->series();
        Notes &notes = w.Out->timeline()->notes();
        prompts.textAnswers.enqueue(QStringLiteral("door opened\there"));
        prompts.duringModal.enqueue([&w] { sendFrame(w, "A260"); });
        emit chart->noteRequested(double(series.timeMs(1)) / 1000);
        QCOMPARE(w.cds1->count(), 4); // the reading that came meanwhile is stored
        QCOMPARE(notes.all().size(), size_t(1));
        const Notes::Note n = notes.all().front();
        QCOMPARE(n.Text, QStringLiteral("door opened here")); // one line
        QCOMPARE(n.Row, qint64(1));
        QCOMPARE(n.No, std::optional<qint32>(2));
        QVERIFY(prompts.textLabels.last().startsWith(QStringLiteral("A note on reading No 2")));
        auto *list = chart->findChild<QListWidget *>(QStringLiteral("notes"));
        QCOMPARE(list->count(), 1);
        QVERIFY(list->item(0)->text().endsWith(QStringLiteral("No 2   door opened here")));
        // A moment without a reading: N with no reading near (an hour after the last one).
        prompts.textAnswers.enqueue(QStringLiteral("power cut"));
        emit chart->noteRequested(double(series.timeMs(3)) / 1000 + 3600);
        QCOMPARE(notes.all().size(), size_t(2));
        QCOMPARE(notes.all()[1].Row, qint64(-1));
        // Edited, and cancelled questions change nothing.
        list->setCurrentRow(0);
        prompts.textAnswers.enqueue(QStringLiteral("door left open"));
        chart->findChild<QPushButton *>(QStringLiteral("Edit note..."))->click();
        QCOMPARE(notes.all()[0].Text, QStringLiteral("door left open"));
        chart->findChild<QPushButton *>(QStringLiteral("Edit note..."))->click();
        QCOMPARE(notes.all()[0].Text, QStringLiteral("door left open"));
        // In the journal, so that a crash keeps them.
        w.RecoveryJournal->flush();
        QFile journal(w.RecoveryJournal->path());
        QVERIFY(journal.open(QIODevice::ReadOnly));
        const QByteArray j = journal.readAll();
        QVERIFY2(j.contains("#note\t1\t") && j.contains("\tdoor left open\r\n"), j.constData());
        // In the report.
        const QByteArray pdf = SummaryReport::pdf(w.summaryInput());
        QTemporaryDir dir;
        QFile out(dir.filePath("r.pdf"));
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(pdf) == pdf.size());
        out.close();
        QProcess text;
        text.start(QStringLiteral("pdftotext"), {dir.filePath("r.pdf"), QStringLiteral("-")});
        QVERIFY(text.waitForFinished(30000));
        const QString said = QString::fromUtf8(text.readAllStandardOutput());
        QVERIFY2(said.contains(QStringLiteral("door left open")) &&
                     said.contains(QStringLiteral("power cut")),
                 qPrintable(said));
        chart->replotNow();
        shot(chart, "time-chart-notes");
        // Beside a saved file, the file itself as it always was; and back with it.
        const QString saved = dir.filePath("with-notes.txt");
        prompts.messageAnswers.enqueue(int(DialogButton::OK));
        w.SaveTableToFile(w.cds1, saved);
        QFile beside(saved + ".notes.csv");
        QVERIFY(beside.open(QIODevice::ReadOnly));
        QVERIFY(beside.readAll().startsWith("time,no,note\r\n"));
        QFile file(saved);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains("door"));
        w.cds1->clear();
        QVERIFY(notes.all().empty());
        w.LoadTableFromFile(saved, w.cds1, false);
        QCOMPARE(notes.all().size(), size_t(2));
        QCOMPARE(notes.all()[0].Row, qint64(1)); // on its reading again, No 2
        QCOMPARE(notes.all()[0].Text, QStringLiteral("door left open"));
        QCOMPARE(notes.all()[1].Row, qint64(-1));
        // Damaged notes beside a file: the readings and the other notes load, and the damage
        // is said.
        QVERIFY(QFile::copy(saved, dir.filePath("damaged.txt")));
        QFile damaged(dir.filePath("damaged.txt.notes.csv"));
        QVERIFY(damaged.open(QIODevice::WriteOnly) &&
                damaged.write("time,no,note\r\nnot a time,1,x\r\n") > 0);
        damaged.close();
        const qint64 rowsBefore = w.cds1->count();
        const int messagesBefore = int(prompts.messages.size());
        prompts.messageAnswers.enqueue(int(DialogButton::OK));
        w.LoadTableFromFile(dir.filePath("damaged.txt"), w.cds1, false);
        QCOMPARE(w.cds1->count(), rowsBefore * 2);
        QCOMPARE(int(prompts.messages.size()), messagesBefore + 1);
        QVERIFY2(prompts.messages.last().text.contains(QStringLiteral("left out: 1.")),
                 qPrintable(prompts.messages.last().text));
        QCOMPARE(notes.all().size(), size_t(2));
        // Removed.
        list->setCurrentRow(1);
        const qint64 removed = list->item(1)->data(Qt::UserRole).toLongLong();
        chart->findChild<QPushButton *>(QStringLiteral("Remove note"))->click();
        QCOMPARE(notes.all().size(), size_t(1));
        QCOMPARE(list->count(), 1);
        QVERIFY(!notes.find(removed));
        w.RecoveryJournal->flush();
        QFile again(w.RecoveryJournal->path()); // the emptied table started it anew
        QVERIFY(again.open(QIODevice::ReadOnly));
        QVERIFY(again.readAll().contains("#note-removed\t" + QByteArray::number(removed) + "\r\n"));
    }

    // Notes go out as rows do: to the broker at <prefix>/note with the seq their reading was
    // published with (made, changed, removed), and into the CSV export's last column.
    void notesGoOutLikeRows()
    {
        QTemporaryDir state;
        qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
        LocalBroker broker(state.filePath("broker"));
        QVERIFY(broker.start());
        QProcess sub;
        sub.start("stdbuf", {"-oL", "mosquitto_sub", "-h", "127.0.0.1", "-p",
                             QString::number(broker.port), "-q", "1", "-t", "nt/note", "-t",
                             "nt/reading", "-F", "%t %p", "-C", "7", "-W", "60"});
        QVERIFY(sub.waitForStarted());
        QTest::qWait(300);
        ScriptedPrompts prompts;
        TFCOMM w;
        Mqtt::Options options;
        options.Url = broker.url();
        options.Host = QStringLiteral("127.0.0.1");
        options.Port = broker.port;
        options.TopicPrefix = QStringLiteral("nt");
        options.Id = QStringLiteral("nt-1");
        QString error;
        QVERIFY2(w.Out->startPublishing(options, QString(), &error), qPrintable(error));
        w.RecordSI->setChecked(false);
        for (const char *v : {"A235", "A241", "A252"}) {
            sendFrame(w, v);
            QTest::qWait(20);
        }
        w.TimeChartEntry->trigger();
        TimeChart *chart = w.timeChart();
        const TimeSeries &series = w.Out->timeline()->series();
        Notes &notes = w.Out->timeline()->notes();
        prompts.textAnswers.enqueue(QStringLiteral("door opened"));
        emit chart->noteRequested(double(series.timeMs(1)) / 1000);
        prompts.textAnswers.enqueue(QStringLiteral("power cut, \"short\""));
        emit chart->noteRequested(double(series.timeMs(2)) / 1000 + 3600);
        QCOMPARE(notes.all().size(), size_t(2));
        QVERIFY(notes.edit(notes.all()[0].Id, QStringLiteral("door left open")));
        // The export: the note on its reading, the moment on a line of its own after it.
        const QString csv = state.filePath("export.csv");
        prompts.fileAnswers.enqueue(csv);
        prompts.messageAnswers.enqueue(int(DialogButton::OK));
        w.exportCsvClick();
        QFile f(csv);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().split('\n');
        QCOMPARE(lines.size(), 6); // header, 3 readings, the moment, and after the last break
        QCOMPARE(lines[0], "no,time,value,unit,display,note\r");
        QVERIFY(lines[1].startsWith("1,") && lines[1].endsWith(",23.5,\r"));
        QVERIFY2(lines[2].startsWith("2,") && lines[2].endsWith(",24.1,door left open\r"),
                 lines[2].constData());
        QVERIFY2(lines[4].startsWith(",") &&
                     lines[4].endsWith(",,,,\"power cut, \"\"short\"\"\"\r"),
                 lines[4].constData());
        QVERIFY(notes.remove(notes.all()[1].Id));
        QVERIFY(sub.waitForFinished(30000));
        QMap<QString, QList<QJsonObject>> got;
        for (const QByteArray &line : sub.readAllStandardOutput().split('\n'))
            if (const qsizetype sp = line.indexOf(' '); sp > 0)
                got[QString::fromUtf8(line.left(sp))]
                    << QJsonDocument::fromJson(line.mid(sp + 1)).object();
        QCOMPARE(got["nt/reading"].size(), 3);
        const QList<QJsonObject> &noted = got["nt/note"];
        QCOMPARE(noted.size(), 4); // made, made, changed, removed
        QCOMPARE(noted[0].value("note").toString(), QStringLiteral("door opened"));
        QCOMPARE(noted[0].value("no").toInt(), 2);
        QCOMPARE(noted[0].value("seq"), got["nt/reading"][1].value("seq"));
        QVERIFY(noted[0].value("time").toString().startsWith(
            QDateTime::currentDateTime().toString("yyyy-MM-ddT")));
        QVERIFY(noted[1].value("seq").isNull() && noted[1].value("no").isNull());
        QCOMPARE(noted[2].value("note_id"), noted[0].value("note_id"));
        QCOMPARE(noted[2].value("note").toString(), QStringLiteral("door left open"));
        QCOMPARE(noted[2].value("removed").toBool(), false);
        QCOMPARE(noted[3].value("note_id"), noted[1].value("note_id"));
        QCOMPARE(noted[3].value("removed").toBool(), true);
    }

    void navigation()
    {
        // Two hours of a reading every 2 s, disconnected for ten minutes in the middle.
        MeasurementTable table;
        Timeline timeline;
        timeline.follow(&table);
        const QDateTime start(QDate(2026, 12, 9), QTime(8, 0));
        int no = 0;
        for (int s = 0; s <= 7200; s += 2) {
            if (s >= 3600 && s < 4200)
                continue;
            if (s == 4200) {
                timeline.breakNext(Timeline::Why::Disconnected);
            }
            timeline.readingArrived(qint64(s) * 1000);
            table.appendRow({++no, start.addSecs(s).toString("HH:mm:ss"),
                             QString::number(20 + (s % 600) / 60.0, 'f', 1), "#", start.addSecs(s),
                             qint64(s) * 1000});
        }
        // Notes there before the chart opens (restored, loaded), made out of time order: listed
        // at once, in time order.
        timeline.notes().add(start.addSecs(5000).toMSecsSinceEpoch(), -1, std::nullopt, "later",
                             Notes::Origin::Brought);
        timeline.notes().add(start.addSecs(100).toMSecsSinceEpoch(), -1, std::nullopt, "earlier",
                             Notes::Origin::Brought);
        TimeChart chart(timeline);
        chart.resize(1000, 600);
        chart.show();
        QVERIFY(QTest::qWaitForWindowExposed(&chart));
        auto *list = chart.findChild<QListWidget *>(QStringLiteral("notes"));
        QCOMPARE(list->count(), 2);
        QVERIFY(list->item(0)->text().endsWith("earlier") &&
                list->item(1)->text().endsWith("later"));
        const double first = double(start.toMSecsSinceEpoch()) / 1000, last = first + 7200;
        QVERIFY(chart.view().contains(first) && chart.view().contains(last)); // all, at first
        QVERIFY(chart.following());

        chart.findChild<QPushButton *>("Hour")->click();
        QCOMPARE(qRound(chart.view().size()), 3600);
        QVERIFY(chart.view().contains(last));
        QTest::keyClick(chart.plot(), Qt::Key_Plus);
        QCOMPARE(qRound(chart.view().size()), 1800);
        QVERIFY(chart.view().contains(last)); // following: the newest stays in view
        QTest::keyClick(chart.plot(), Qt::Key_Minus);
        QCOMPARE(qRound(chart.view().size()), 3600);
        QTest::keyClick(chart.plot(), Qt::Key_Left);
        QVERIFY(!chart.following()); // a pan ends following
        QVERIFY(!chart.view().contains(last));
        QTest::keyClick(chart.plot(), Qt::Key_End);
        QVERIFY(chart.following() && chart.view().contains(last));
        // Panning stops at the data's ends, a margin at most beyond them.
        for (int i = 0; i < 20; ++i)
            QTest::keyClick(chart.plot(), Qt::Key_Right);
        QVERIFY(chart.view().contains(last));
        QVERIFY(chart.view().upper <= last + chart.view().size() * 0.05 + 1);
        QTest::keyClick(chart.plot(), Qt::Key_Home);
        QVERIFY(chart.view().contains(first) && !chart.following());
        for (int i = 0; i < 20; ++i)
            QTest::keyClick(chart.plot(), Qt::Key_Left);
        QVERIFY(chart.view().contains(first));
        QVERIFY(chart.view().lower >= first - chart.view().size() * 0.05 - 1);
        QTest::keyClick(chart.plot(), Qt::Key_0);
        QVERIFY(chart.view().contains(first) && chart.view().contains(last));
        // The mean kinetic temperature of the view, from the statistics' sums: all of it, then
        // the first hour (its rows, from the view's start to its end), in the "In view" line.
        TableStatistics stats(table);
        stats.setKinetics(TableStatistics::DefaultActivationKJ, 10);
        QVERIFY(!chart.viewMkt());
        chart.setStatistics(&stats);
        QCOMPARE(*chart.viewMkt(), *stats.whole().MktCelsius);
        chart.setView(first - 1, first + 3599);
        const qint64 hour = 1800; // rows 0..1799: 08:00:00 to 08:59:58
        QCOMPARE(*chart.viewMkt(), *stats.range(0, hour - 1).MktCelsius);
        QVERIFY(*chart.viewMkt() != *stats.whole().MktCelsius);
        chart.replotNow();
        QVERIFY2(chart.viewText().contains(
                     "MKT " + TableStatistics::mktText(*stats.range(0, hour - 1).MktCelsius, "°C")),
                 qPrintable(chart.viewText()));
        chart.setStatistics(nullptr); // the figures below are those of the series alone
        QTest::keyClick(chart.plot(), Qt::Key_0);

        // Shift and a drag: a box to zoom to.
        QCustomPlot *plot = chart.plot();
        const QRect area = plot->axisRect()->rect();
        const QPoint from(area.left() + area.width() / 4, area.center().y());
        const QPoint to(area.left() + area.width() / 2, area.center().y() + 40);
        const double boxFrom = plot->xAxis->pixelToCoord(from.x());
        const double boxTo = plot->xAxis->pixelToCoord(to.x());
        QTest::mousePress(plot, Qt::LeftButton, Qt::ShiftModifier, from);
        QTest::mouseMove(plot, to);
        QTest::mouseRelease(plot, Qt::LeftButton, Qt::ShiftModifier, to);
        QVERIFY2(qAbs(chart.view().lower - boxFrom) < 30 && qAbs(chart.view().upper - boxTo) < 30,
                 qPrintable(QStringLiteral("%1..%2 for %3..%4")
                                .arg(chart.view().lower, 0, 'f')
                                .arg(chart.view().upper, 0, 'f')
                                .arg(boxFrom, 0, 'f')
                                .arg(boxTo, 0, 'f')));

        // The readout reads the reading nearest the cursor and marks it; panned (or followed)
        // under a still cursor, it reads what is under the cursor then; N notes that reading,
        // however far from the cursor it is in pixels.
        chart.setView(first + 600, first + 660); // a minute: a reading every 16 pixels or so
        chart.replotNow();
        QCPItemTracer *mark = nullptr;
        const int x = plot->axisRect()->left() + plot->axisRect()->width() / 3;
        auto under = [&] {
            return timeline.series().nearest(qint64(plot->xAxis->pixelToCoord(x) * 1000));
        };
        QTest::mouseMove(plot, QPoint(x, area.center().y()));
        QTRY_VERIFY(chart.readoutRow() >= 0);
        for (int step = 0; step < 3; ++step) {
            const qint64 row = chart.readoutRow();
            QCOMPARE(row, under());
            QCOMPARE(chart.cursorText(), chart.readingText(row));
            mark = plot->findChild<QCPItemTracer *>();
            QVERIFY(mark && mark->visible());
            QCOMPARE(qint64(std::llround(mark->position->key() * 1000)),
                     timeline.series().timeMs(row));
            QCOMPARE(float(mark->position->value()), timeline.series().value(row));
            QTest::keyClick(chart.plot(), Qt::Key_Right); // the data moves; the cursor does not
            QVERIFY(chart.readoutRow() != row);
        }
        // 0.9 s past a reading (one every 2 s): some 15 pixels from it, the readout reads it.
        const qint64 read = chart.readoutRow();
        const double beside = double(timeline.series().timeMs(read)) / 1000 + 0.9;
        QTest::mouseMove(plot, QPoint(int(plot->xAxis->coordToPixel(beside)), area.center().y()));
        QTRY_COMPARE(chart.readoutRow(), read);
        QVERIFY(plot->xAxis->coordToPixel(beside) -
                    plot->xAxis->coordToPixel(double(timeline.series().timeMs(read)) / 1000) >
                10);
        QList<double> noted;
        connect(&chart, &TimeChart::noteRequested, this, [&](double at) { noted << at; });
        QTest::keyClick(chart.plot(), Qt::Key_N);
        QCOMPARE(noted.size(), 1);
        QCOMPARE(chart.noteTarget(noted[0]).second, read);
        // Away from the chart: no reading is read, none marked, N notes the newest.
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(plot, &leave);
        QCOMPARE(chart.readoutRow(), qint64(-1));
        QVERIFY(!mark->visible());
        QTest::keyClick(chart.plot(), Qt::Key_N);
        QCOMPARE(noted.last(), last);

        // The readout: the nearest reading, and the gap with its reason and span.
        QVERIFY(chart.readingAt(first + 61).contains(QStringLiteral("08:01:00   21.0 \u00B0C")));
        QCOMPARE(timeline.gaps().size(), size_t(1));
        QCOMPARE(chart.gapAt(first + 3900),
                 QStringLiteral("No readings from 2026-12-09 08:59:58 to 2026-12-09 09:10:00 "
                                "(10 min 2 s): disconnected"));
        QVERIFY(chart.gapAt(first + 100).isEmpty());
        chart.setView(first + 3000, first + 4800);
        chart.replotNow();
        shot(&chart, "time-chart-gap");
        // What is in view, from the level of detail, as the rows say.
        double sum = 0, lo = 1e9, hi = -1e9;
        int count = 0;
        for (qint64 r = 0; r < table.count(); ++r) {
            const double t = double(timeline.series().timeMs(r)) / 1000;
            if (t < chart.view().lower || t >= chart.view().upper)
                continue;
            const double v = table.text(r, MeasurementTable::FieldValue).toDouble();
            sum += v;
            lo = qMin(lo, v);
            hi = qMax(hi, v);
            ++count;
        }
        QCOMPARE(chart.viewText(), QStringLiteral("In view: %1 readings, min %2, max %3, mean %4 "
                                                  "\u00B0C")
                                       .arg(count)
                                       .arg(lo, 0, 'f', 1)
                                       .arg(hi, 0, 'f', 1)
                                       .arg(sum / count, 0, 'f', 2));
    }

    // Notes' marks never overlap nor leave the chart: twenty notes a few pixels apart, notes
    // at both edges, and random sets; every mark is placed where there is room for it.
    void noteMarksNeverOverlap()
    {
        const QRectF area(40, 10, 700, 250);
        QRandomGenerator rng(3);
        for (int round = 0; round < 200; ++round) {
            std::vector<double> xs, widths;
            const int n = round == 0 ? 20 : 1 + int(rng.bounded(40));
            for (int i = 0; i < n; ++i) {
                xs.push_back(round == 0   ? 400 + i * 1.5
                             : round == 1 ? (i % 2 ? area.right() : area.left())
                                          : area.left() + rng.bounded(area.width()));
                widths.push_back(10 + rng.bounded(12.0));
            }
            std::sort(xs.begin(), xs.end());
            const std::vector<QRectF> boxes = placeNoteMarks(xs, widths, 14, area);
            QCOMPARE(boxes.size(), xs.size());
            for (size_t i = 0; i < boxes.size(); ++i) {
                QVERIFY2(!boxes[i].isEmpty(), qPrintable(QStringLiteral("round %1").arg(round)));
                QVERIFY(area.contains(boxes[i]));
                for (size_t j = 0; j < i; ++j)
                    QVERIFY2(
                        !boxes[i].intersects(boxes[j]),
                        qPrintable(QStringLiteral("round %1: %2 and %3").arg(round).arg(i).arg(j)));
            }
        }
    }

    void clockLabels_data()
    {
        QTest::addColumn<QDateTime>("at");
        QTest::addColumn<double>("step");
        QTest::addColumn<bool>("crossesMidnight");
        QTest::addColumn<QString>("label");
        const QDateTime day(QDate(2026, 12, 9), QTime(14, 3, 7));
        QTest::newRow("seconds") << day << 5.0 << false << "14:03:07";
        QTest::newRow("minutes") << day << 300.0 << false << "14:03";
        QTest::newRow("across midnight")
            << day << 3600.0 << true << QStringLiteral("14:03\nWed 9 Dec");
        QTest::newRow("days") << day << 86400.0 << false << "Wed 9 Dec";
        QTest::newRow("months") << day << 2419200.0 << false << "9 Dec 2026";
        QTest::newRow("days of another year")
            << day.addYears(-1) << 86400.0 << false << "Tue 9 Dec 2025";
        QTest::newRow("across midnight, another year")
            << day.addYears(-1) << 3600.0 << true << QStringLiteral("14:03\nTue 9 Dec 2025");
        // 25 October 2026: 02:30 comes twice, first at +02:00, then at +01:00.
        const qint64 firstRound =
            QDateTime(QDate(2026, 10, 25), QTime(0, 30), Qt::UTC).toMSecsSinceEpoch();
        QTest::newRow("clocks back, first")
            << QDateTime::fromMSecsSinceEpoch(firstRound) << 600.0 << false << "02:30 UTC+02:00";
        QTest::newRow("clocks back, second") << QDateTime::fromMSecsSinceEpoch(firstRound + 3600000)
                                             << 600.0 << false << "02:30 UTC+01:00";
        QTest::newRow("an hour later, unambiguous")
            << QDateTime::fromMSecsSinceEpoch(firstRound + 7200000) << 600.0 << false << "03:30";
    }

    void clockLabels()
    {
        QFETCH(QDateTime, at);
        QFETCH(double, step);
        QFETCH(bool, crossesMidnight);
        QFETCH(QString, label);
        QCOMPARE(
            ClockTicker::label(double(at.toMSecsSinceEpoch()) / 1000, step, crossesMidnight, 2026),
            label);
    }
};

int main(int argc, char **argv)
{
    // Summer time both ways, whatever the machine's zone; English day names.
    qputenv("TZ", "Europe/Berlin");
    tzset();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QApplication app(argc, argv);
    tst_TimeChart test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_TimeChart.moc"
