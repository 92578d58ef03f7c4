#include "app/RD7F.h"
#include "common/Frames.h"
#include "common/ScriptedPrompts.h"
#include "recording/MeasurementGrid.h"
#include "recording/MeasurementTable.h"
#include "recording/uCharControl.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <qcustomplot.h>

using TestFrames::live;

// Readings through the main window into the table, the grid and the chart.
class tst_Recording : public QObject
{
    Q_OBJECT

    static void sendFrame(TFCOMM &w, const QString &frameText)
    {
        for (const QByteArray &r : TestFrames::reportsFor(frameText))
            w.HidDataReceived(nullptr, 0, reinterpret_cast<const quint8 *>(r.constData()),
                              quint16(r.size()));
    }
    static QString digits(int tenths)
    {
        // Four digit codes for a value in tenths, blank-padded.
        QString s = QString::number(tenths);
        while (s.size() < 4)
            s.prepend('A');
        return s;
    }
    static void prepare(TFCOMM &w) { w.RecordSI->setChecked(false); }

private slots:
    void readingsBecomeRows()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        prepare(w);
        w.S.DecimalSep = ".";
        sendFrame(w, live("1", "A235"));
        sendFrame(w, live("3", "B123"));
        sendFrame(w, live("1", "BBBB"));
        QCOMPARE(w.cds1->count(), 3);
        QCOMPARE(w.cds1->row(0).No.value(), 1);
        QCOMPARE(w.cds1->text(0, MeasurementTable::FieldValue), QStringLiteral(" 23.5"));
        QCOMPARE(w.cds1->text(1, MeasurementTable::FieldUnit), QStringLiteral("?"));
        QCOMPARE(w.cds1->text(2, MeasurementTable::FieldValue), QStringLiteral("----"));
        const QString time = w.cds1->text(0, MeasurementTable::FieldTime);
        QVERIFY2(QRegularExpression("^\\d\\d\\D\\d\\d\\D\\d\\d$").match(time).hasMatch(),
                 qPrintable(time));
        QCOMPARE(w.DBGrid1->currentRow(), 2);
        // The dash row is plotted with the value left in place.
        QCOMPARE(w.ChartCtl->ValueCount(), 3);
        QCOMPARE(w.ChartCtl->Graph()->data()->at(3)->value, -12.3f);
        QCOMPARE(w.S.PeakValue, double(23.5f));
        QCOMPARE(w.ChartCtl->MaxY(), 100.0);
    }

    void peakRaisesAxisAndNegativeNever()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        prepare(w);
        sendFrame(w, live("1", "B500"));
        QCOMPARE(w.ChartCtl->MaxY(), 100.0);
        QCOMPARE(w.ChartCtl->MinY(), -50.0);
        sendFrame(w, live("1", digits(2505)));
        QCOMPARE(w.ChartCtl->MaxY(), 300.0);
        sendFrame(w, live("0", "8550"));
        QCOMPARE(w.ChartCtl->MaxY(), 8600.0);
    }

    void pageLabelFollowsRecording()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        prepare(w);
        for (int i = 0; i < 101; ++i)
            sendFrame(w, live("1", digits(100 + i)));
        QCOMPARE(w.Bt10->text(), QStringLiteral("2"));
        w.BTPrevious->click();
        QCOMPARE(w.Bt10->text(), QStringLiteral("1"));
        w.BtNext->click();
        QCOMPARE(w.Bt10->text(), QStringLiteral("2"));
        w.BtFirst->click();
        QCOMPARE(w.Bt10->text(), QStringLiteral("1"));
        w.BTlast->click();
        QCOMPARE(w.Bt10->text(), QStringLiteral("2"));
    }

    void pageSizeAppliedOnceAfterTyping()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        prepare(w);
        for (int i = 0; i < 120; ++i)
            sendFrame(w, live("1", digits(100 + i)));
        w.Maxrecord->setText("5");
        w.Maxrecord->setText("50");
        QVERIFY(w.Timer1->isActive());
        QCOMPARE(w.ChartCtl->PageSize(), 100);
        QTRY_VERIFY_WITH_TIMEOUT(!w.Timer1->isActive(), 2000);
        QCOMPARE(w.ChartCtl->PageSize(), 50);
        QCOMPARE(w.Bt10->text(), QStringLiteral("3"));
        QCOMPARE(w.ChartCtl->WindowMin(), 101);
        // Empty and "0" keep the page size, stop the timer, raise nothing.
        for (const QString &text : {QString(), QStringLiteral("0")}) {
            w.Maxrecord->setText(text);
            w.Timer1Timer();
            QVERIFY(!w.Timer1->isActive());
            QCOMPARE(w.ChartCtl->PageSize(), 50);
        }
        QVERIFY(prompts.messages.isEmpty());
    }

    void limitMessageOnceThenSaveOrCancel()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        prepare(w);
        w.N10001->trigger();
        QCOMPARE(w.S.RecordLimit, 1000);
        QVERIFY(w.N10001->isChecked() && !w.N100001->isChecked());
        w.S.RecordLimit = 3; // the same rule at a size a test can reach
        prompts.questionAnswers.enqueue(QMessageBox::Cancel);
        for (int i = 0; i < 6; ++i)
            sendFrame(w, live("1", digits(100 + i)));
        QCOMPARE(w.cds1->count(), 3);
        QCOMPARE(prompts.questions.size(), 1);
        const AskedQuestion q = prompts.questions.first();
        QCOMPARE(q.caption, QStringLiteral("Norvane TX-9"));
        QCOMPARE(q.text, QStringLiteral("Measurement data exceeds 3 sets!Save and remove on-screen "
                                        "data before proceeding next measurement."));
        QCOMPARE(q.buttons, QMessageBox::Ok | QMessageBox::Cancel);
        QCOMPARE(q.icon, QMessageBox::Question);
        QCOMPARE(w.S.StoredRowCount, 4);
    }

    void limitMenuEntries()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        const QList<QPair<QAction *, int>> entries = {{w.N10001, 1000},     {w.N50001, 5000},
                                                      {w.N100001, 10000},   {w.N500001, 50000},
                                                      {w.N1000001, 100000}, {w.limitess, 10000000}};
        for (const auto &[entry, limit] : entries) {
            entry->trigger();
            QCOMPARE(w.S.RecordLimit, limit);
            for (const auto &other : entries)
                QCOMPARE(other.first->isChecked(), other.first == entry);
        }
    }

    void closeData()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        prepare(w);
        w.RepeatSet->setChecked(false);
        for (int i = 0; i < 150; ++i)
            sendFrame(w, live("1", digits(1000 + i)));
        w.BTPrevious->click();
        prompts.questionAnswers.enqueue(QMessageBox::No);
        w.RecordNew->click();
        QCOMPARE(w.cds1->count(), 150);
        prompts.questionAnswers.enqueue(QMessageBox::Yes);
        w.RecordNew->click();
        QCOMPARE(prompts.questions.last().text,
                 QStringLiteral("Do you want to remove on-screen data and create new data?"));
        QCOMPARE(prompts.questions.last().buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(w.cds1->count(), 0);
        QCOMPARE(w.S.NextRecordNo, 1);
        QCOMPARE(w.S.StoredRowCount, 0);
        QCOMPARE(w.Bt10->text(), QStringLiteral("1"));
        QCOMPARE(w.ChartCtl->ValueCount(), 0);
        QCOMPARE(w.ChartCtl->MaxY(), 200.0);
        // The last key survives: the same reading again is filtered and uses number 1.
        sendFrame(w, live("1", digits(1149)));
        QCOMPARE(w.cds1->count(), 0);
        sendFrame(w, live("1", digits(1)));
        QCOMPARE(w.cds1->row(0).No.value(), 2);
    }

    void intervalThroughTheWindow()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        w.RecordSITime->setText("2");
        QCOMPARE(w.S.SampleCountdown, 2);
        w.RecordSITime->setText("0");
        sendFrame(w, live("1", digits(1)));
        sendFrame(w, live("1", digits(2)));
        QCOMPARE(w.cds1->count(), 2);
        w.RecordSITime->setText("1");
        sendFrame(w, live("1", digits(3)));
        QCOMPARE(w.cds1->count(), 2);
        w.TrecordTimer();
        sendFrame(w, live("1", digits(4)));
        QCOMPARE(w.cds1->count(), 3);
        QCOMPARE(w.cds1->row(2).No.value(), 3);
    }

    void windowWithReadings()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        prepare(w);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        for (int i = 0; i < 300; ++i) {
            const int tenths = 235 + int(40 * std::sin(i / 15.0)) + i / 3;
            sendFrame(w, live(i % 50 == 49 ? "3" : "1", digits(tenths)));
        }
        QTest::qWait(50);
        QCOMPARE(w.Bt10->text(), QStringLiteral("3"));
        const QImage img = w.grab().toImage();
        const QString dir = qEnvironmentVariable("TX9_SCREENSHOT_DIR");
        if (!dir.isEmpty())
            img.save(dir + "/recording.png");
        // The chart paints its line in blue inside the plot area.
        const QRect plot = w.Chtshow->axisRect()->rect().translated(w.Chtshow->mapTo(&w, QPoint()));
        int blue = 0;
        for (int y = plot.top(); y < plot.bottom(); ++y)
            for (int x = plot.left(); x < plot.right(); ++x) {
                const QColor c = img.pixelColor(x, y);
                blue += c.blue() > 200 && c.red() < 80 && c.green() < 80;
            }
        QVERIFY(blue > 100);
    }
};

QTEST_MAIN(tst_Recording)
#include "tst_Recording.moc"
