#include "app/Application.h"
#include "app/RD7F.h"
#include "common/Frames.h"
#include "common/ScriptedPrompts.h"
#include "display/LcdPanel.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QtTest>

using TestFrames::live;

class tst_FrameHandler : public QObject
{
    Q_OBJECT

    static void send(TFCOMM &w, const QByteArray &data, quint8 id = 0)
    {
        w.HidDataReceived(nullptr, id, reinterpret_cast<const quint8 *>(data.constData()),
                          quint16(data.size()));
    }
    static void sendFrame(TFCOMM &w, const QString &frameText, int chunk = 9)
    {
        for (const QByteArray &r : TestFrames::reportsFor(frameText, chunk))
            send(w, r);
    }
    static QString panelDigits(const TFCOMM &w)
    {
        return w.Panel1->LcdD4->caption() + w.Panel1->LcdD3->caption() +
               w.Panel1->LcdD2->caption() + w.Panel1->LcdD1->caption();
    }

private slots:
    void startUpPanelReads3999()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        QCOMPARE(panelDigits(w), QStringLiteral("3999"));
        QVERIFY(!w.Panel1->LcdP0->isHidden());
        QVERIFY(w.Panel1->LcdP1->isHidden() && w.Panel1->LcdP2->isHidden());
        QVERIFY(w.Panel1->LCDC->isHidden() && w.Panel1->LCDF->isHidden());
    }

    void liveFramePaintsPanelAndReading_data()
    {
        QTest::addColumn<QString>("flags");
        QTest::addColumn<QString>("codes");
        QTest::addColumn<QString>("digits");
        QTest::addColumn<bool>("dot");
        QTest::addColumn<bool>("fahrenheit");
        QTest::newRow("23.5 C") << "1"
                                << "A235"
                                << " 235" << true << false;
        QTest::newRow("-12.3 F") << "3"
                                 << "B123"
                                 << "-123" << true << true;
        QTest::newRow("F no dot") << "2"
                                  << "1050"
                                  << "1050" << false << true;
        QTest::newRow("flags 0") << "0"
                                 << "A235"
                                 << " 235" << false << false;
        QTest::newRow("flags 7") << "7"
                                 << "A235"
                                 << " 235" << false << false;
        QTest::newRow("over range") << "1"
                                    << "A0FA"
                                    << " 0@ " << true << false;
        QTest::newRow("dashes") << "1"
                                << "BBBB"
                                << "----" << true << false;
    }
    void liveFramePaintsPanelAndReading()
    {
        QFETCH(QString, flags);
        QFETCH(QString, codes);
        QFETCH(QString, digits);
        QFETCH(bool, dot);
        QFETCH(bool, fahrenheit);
        ScriptedPrompts prompts;
        TFCOMM w;
        sendFrame(w, live(flags, codes));
        QCOMPARE(w.S.FrameText, live(flags, codes));
        QCOMPARE(w.USBtxt->text(), live(flags, codes));
        QCOMPARE(panelDigits(w), digits);
        QCOMPARE(!w.Panel1->LcdP2->isHidden(), dot);
        QVERIFY(w.Panel1->LcdP0->isHidden() && w.Panel1->LcdP1->isHidden());
        QCOMPARE(!w.Panel1->LCDF->isHidden(), fahrenheit);
        QCOMPARE(!w.Panel1->LCDC->isHidden(), !fahrenheit);
        QCOMPARE(w.S.UnitGlyph, fahrenheit ? QStringLiteral("?") : QStringLiteral("#"));
    }

    void readingFollowsFrames()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        w.S.DecimalSep = QStringLiteral(",");
        sendFrame(w, live("1", "A235"));
        QCOMPARE(w.S.ValueText, QStringLiteral(" 23,5"));
        QCOMPARE(w.S.ValueNum, 23.5f);
        // Dashes keep the last number.
        sendFrame(w, live("1", "BBBB"));
        QCOMPARE(w.S.ValueText, QStringLiteral("----"));
        QCOMPARE(w.S.ValueNum, 23.5f);
        // A frame without an integer value is painted but changes no number.
        sendFrame(w, live("1", "A2C5"));
        QCOMPARE(panelDigits(w), QStringLiteral(" 2C5"));
        QCOMPARE(w.S.ValueNum, 23.5f);
        // ... and the next frame is handled normally.
        sendFrame(w, live("0", "1050"));
        QCOMPARE(w.S.ValueNum, 1050.0f);
    }

    void indicatorFlipsPerFrameShown()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        w.show();
        w.S.ConTickCount = 2;
        for (int i = 1; i <= 5; ++i) {
            sendFrame(w, live("1", "A235"));
            QCOMPARE(w.CONok->isVisible(), i % 2 == 1);
            QCOMPARE(w.CONokN->isVisible(), i % 2 == 0);
            QCOMPARE(w.S.ConTickCount, 0);
        }
        // A frame that is not shown does not flip it.
        sendFrame(w, live("1", "A235", "07"));
        QVERIFY(w.CONok->isVisible());
    }

    void dispatchAndLogging()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        // Only reports with serial bytes are logged.
        send(w, QByteArray("\x02\x31\x32", 3), 0x05);
        send(w, TestFrames::idleReport(8));
        QCOMPARE(w.HistoryListBox->count(), 1);
        QCOMPARE(w.HistoryListBox->item(0)->text(), QStringLiteral("R 05  02 31 32 "));
        QCOMPARE(w.HistoryListBox->currentRow(), 0);

        // A download frame unchecks the sampling interval and shows only stored readings.
        w.RecallData->setChecked(true);
        sendFrame(w, live("1", "A111"));
        QVERIFY(!w.RecordSI->isChecked());
        QCOMPARE(panelDigits(w), QStringLiteral("3999"));
        sendFrame(w, live("1", "A222", "07"));
        QCOMPARE(panelDigits(w), QStringLiteral(" 222"));

        // While the preview runs nothing is shown, but identification still sets the range.
        w.RecallData->setChecked(false);
        w.S.PrintingNow = true;
        sendFrame(w, live("1", "A333"));
        QCOMPARE(panelDigits(w), QStringLiteral(" 222"));
        sendFrame(w, QStringLiteral("A08142") + "10" + "00" + "D");
        QCOMPARE(w.S.RangeMax, 1055);
        QCOMPARE(w.USBtxt1->text(), QStringLiteral("A0814210") + "00D");
        w.S.PrintingNow = false;
        sendFrame(w, live("1", "A0FA"));
        QCOMPARE(w.S.ValueNum, 1055.0f);
    }

    void malformedReportsNeverStopReception()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        send(w, QByteArray());              // size 0
        send(w, QByteArray("\x09\x31", 2)); // count beyond the bytes
        send(w, TestFrames::idleReport());
        send(w, QByteArray("\x03\x31\x32\x33", 4)); // short frame
        send(w, QByteArray());
        QByteArray longFrame = TestFrames::frameBytes(live("1", "A777")) + QByteArray(30, '\x35');
        for (int i = 0; i < longFrame.size(); i += 9)
            send(w, TestFrames::dataReport(longFrame.mid(i, 9)));
        send(w, TestFrames::idleReport());
        QCOMPARE(panelDigits(w), QStringLiteral(" 777"));
        sendFrame(w, live("1", "A888"), 1);
        QCOMPARE(panelDigits(w), QStringLiteral(" 888"));
        QCOMPARE(w.S.ValueNum, 88.8f);
    }

    void generalErrorHandlerReports()
    {
        ScriptedPrompts prompts;
        reportUncaughtError(QStringLiteral("'abc' is not a valid integer value"));
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages.first().kind, DialogKind::Error);
        QCOMPARE(prompts.messages.first().text,
                 QStringLiteral("'abc' is not a valid integer value"));
    }
};

QTEST_MAIN(tst_FrameHandler)
#include "tst_FrameHandler.moc"
