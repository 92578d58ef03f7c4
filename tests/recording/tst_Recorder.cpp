#include "recording/Recorder.h"

#include <QtTest>

// The recorder's rules, reading by reading.
class tst_Recorder : public QObject
{
    Q_OBJECT

    struct Step
    {
        QString value;
        bool recordSI = false;
        bool repeat = true;
        QString interval = "0";
    };
    static QList<qint32> run(RecordingState &st, const QList<Step> &steps)
    {
        QList<qint32> stored;
        for (const Step &s : steps) {
            const auto d = Recorder::offer(st, s.value, "#", s.recordSI, s.repeat, s.interval);
            if (d.Store)
                stored << d.No;
            if (Recorder::limitMessageDue(st))
                Recorder::limitAnswered(st);
        }
        return stored;
    }

private slots:
    void repeatFilterLeavesGaps()
    {
        RecordingState st;
        const QList<qint32> nos = run(st, {{"20.0", false, false},
                                           {"20.0", false, false},
                                           {"20.0", false, false},
                                           {"21.0", false, false},
                                           {"21.0", false, true},
                                           {"21.0", false, false}});
        // Equal readings are skipped but use up their numbers.
        QCOMPARE(nos, QList<qint32>({1, 4, 5}));
        QCOMPARE(st.NextRecordNo, 7);
        QCOMPARE(st.StoredRowCount, 3);
        QCOMPARE(st.LastStoredKey, QStringLiteral("21.0#"));
    }

    void repeatCheckedStillUpdatesKey()
    {
        RecordingState st;
        run(st, {{"5.0"}, {"5.0"}});
        QCOMPARE(st.LastStoredKey, QStringLiteral("5.0#"));
        // Unchecking later compares against the last stored row.
        QCOMPARE(run(st, {{"5.0", false, false}}), QList<qint32>());
        QCOMPARE(st.NextRecordNo, 4);
    }

    void intervalGateLeavesNoGaps()
    {
        RecordingState st;
        QList<qint32> nos =
            run(st, {{"1", true, true, "2"}, {"2", true, true, "2"}, {"3", true, true, "2"}});
        QCOMPARE(nos, QList<qint32>({1}));
        QCOMPARE(st.SampleCountdown, 2);
        Recorder::tick(st, true);
        QCOMPARE(run(st, {{"4", true, true, "2"}}), QList<qint32>());
        Recorder::tick(st, true);
        QCOMPARE(run(st, {{"5", true, true, "2"}}), QList<qint32>({2}));
    }

    void countdownStandsStillWhileUnchecked()
    {
        RecordingState st;
        st.SampleCountdown = 3;
        Recorder::tick(st, false);
        QCOMPARE(st.SampleCountdown, 3);
        // Unchecked, every reading is stored.
        QCOMPARE(run(st, {{"1", false, true, "3"}, {"2", false, true, "3"}}),
                 QList<qint32>({1, 2}));
    }

    void negativeCountdownBlocksUntilChanged()
    {
        RecordingState st;
        st.SampleCountdown = -2;
        Recorder::tick(st, true);
        QCOMPARE(st.SampleCountdown, -2);
        QCOMPARE(run(st, {{"1", true, true, "0"}}), QList<qint32>());
    }

    void intervalText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value"); // -999: not a whole number
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("minus") << "-" << 0;
        QTest::newRow("plus") << "+" << 0;
        QTest::newRow("5") << "5" << 5;
        QTest::newRow("-3") << "-3" << -3;
        QTest::newRow("text") << "1a" << -999;
    }
    void intervalText()
    {
        QFETCH(QString, text);
        QFETCH(int, value);
        QCOMPARE(Recorder::parseInterval(text).value_or(-999), value);
    }

    void limitGateAndMessageOnce()
    {
        RecordingState st;
        st.RecordLimit = 3;
        int messages = 0;
        QList<qint32> stored;
        for (int i = 0; i < 6; ++i) {
            const auto d = Recorder::offer(st, QString::number(i), "#", false, true, "0");
            if (d.Store)
                stored << d.No;
            if (Recorder::limitMessageDue(st)) {
                ++messages;
                Recorder::limitAnswered(st);
            }
        }
        QCOMPARE(stored, QList<qint32>({1, 2, 3}));
        QCOMPARE(messages, 1);
        QCOMPARE(st.StoredRowCount, 4);
        QCOMPARE(st.NextRecordNo, 4); // the limit gate leaves no gap
    }

    void limitChosenAtOrBelowCount()
    {
        RecordingState st;
        run(st, {{"1"}, {"2"}, {"3"}});
        st.RecordLimit = 3; // equal: the message comes at the next reading
        const auto d = Recorder::offer(st, "4", "#", false, true, "0");
        QVERIFY(!d.Store);
        QVERIFY(Recorder::limitMessageDue(st));
        RecordingState below;
        run(below, {{"1"}, {"2"}, {"3"}});
        below.RecordLimit = 2; // below: recording stops, no message
        QVERIFY(!Recorder::offer(below, "4", "#", false, true, "0").Store);
        QVERIFY(!Recorder::limitMessageDue(below));
    }

    void resetKeepsKeyCountdownAndPeak()
    {
        RecordingState st;
        st.SampleCountdown = 0;
        run(st, {{"7", false, false, "4"}});
        Recorder::raisePeak(st, 150.0f);
        Recorder::reset(st);
        QCOMPARE(st.NextRecordNo, 1);
        QCOMPARE(st.StoredRowCount, 0);
        QCOMPARE(st.LastStoredKey, QStringLiteral("7#"));
        QCOMPARE(st.SampleCountdown, 4);
        QCOMPARE(st.PeakValue, 150.0);
        // The first reading after the reset is still compared with the last one before it.
        QCOMPARE(run(st, {{"7", false, false, "4"}}), QList<qint32>());
        QCOMPARE(st.NextRecordNo, 2);
    }

    void axisMax_data()
    {
        QTest::addColumn<double>("peak");
        QTest::addColumn<double>("axis");
        QTest::newRow("23.5") << 23.5 << 100.0;
        QTest::newRow("99.5") << 99.5 << 200.0;
        QTest::newRow("99.6") << 99.6 << 200.0;
        QTest::newRow("100") << 100.0 << 200.0;
        QTest::newRow("150") << 150.0 << 200.0;
        QTest::newRow("250.5 to even") << 250.5 << 300.0;
        QTest::newRow("249.5 to even") << 249.5 << 300.0;
        QTest::newRow("199.5 to even") << 199.5 << 300.0;
        QTest::newRow("855") << 855.0 << 900.0;
    }
    void axisMax()
    {
        QFETCH(double, peak);
        QTEST(Recorder::axisMaxFor(peak), "axis");
    }

    void peakOnlyRises()
    {
        RecordingState st;
        QVERIFY(!Recorder::raisePeak(st, -20.0f));
        QCOMPARE(st.PeakValue, 0.0);
        QCOMPARE(Recorder::raisePeak(st, 23.5f).value_or(-1), 100.0);
        QVERIFY(!Recorder::raisePeak(st, 10.0f));
        QCOMPARE(Recorder::raisePeak(st, 250.5f).value_or(-1), 300.0);
    }
};

QTEST_APPLESS_MAIN(tst_Recorder)
#include "tst_Recorder.moc"
