#include "common/Frames.h"
#include "decode/FrameDecoder.h"
#include "decode/Protocol.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace Decode;

class tst_FrameDecoding : public QObject
{
    Q_OBJECT

    static ReportResult feed(AssemblyState &st, const QByteArray &data, quint8 id = 0)
    {
        return assembleReport(st, id, reinterpret_cast<const quint8 *>(data.constData()),
                              quint16(data.size()));
    }

private slots:
    // Reports decoded from their bytes give what decoding their log line's text gave (the
    // way it was first written, kept here): the same log lines, frames and Readings, for
    // random reports of random sizes, counts and bytes.
    void bytesDecodeAsTheLogTextDid()
    {
        auto fromLogText = [](AssemblyState &state, quint8 id, const quint8 *data, quint16 size) {
            ReportResult r;
            r.LogLine = reportLogLine(id, data, size);
            const QChar c = r.LogLine.size() >= 8 ? r.LogLine.at(7) : QChar();
            if (!c.isNull())
                ++state.IdleReportCount;
            if (c >= QLatin1Char('1') && c <= QLatin1Char('9')) {
                state.IdleReportCount = 0;
                state.FramePending = true;
                for (int k = 1; k <= c.unicode() - '0'; ++k) {
                    const int hi = 9 + 3 * (k - 1);
                    if (hi + 1 >= r.LogLine.size())
                        break;
                    if (state.HidAccum.size() + 2 <= MaxAccumChars)
                        state.HidAccum.append(r.LogLine.mid(hi, 2));
                }
                r.CarriedSerial = true;
                return r;
            }
            if (state.FramePending) {
                r.FrameCompleted = true;
                r.FrameText = frameTextFromAccum(state.HidAccum);
                state.HidAccum.clear();
            }
            state.FramePending = false;
            return r;
        };
        QRandomGenerator random(3108);
        AssemblyState oldState, newState;
        int frames = 0;
        for (int i = 0; i < 200000; ++i) {
            quint8 data[24];
            const quint16 size = quint16(random.bounded(i % 7 == 0 ? 24 : 10));
            for (quint8 &b : data)
                b = quint8(random.bounded(256));
            // Mostly what the cable sends: counts 0..9 and frame-like nibbles.
            if (size > 0 && random.bounded(4) != 0)
                data[0] = quint8((data[0] & 0xF0) | random.bounded(i % 3 == 0 ? 10 : 3));
            const ReportResult a = fromLogText(oldState, 0, data, size);
            const ReportResult b = assembleReport(newState, 0, data, size);
            QCOMPARE(b.LogLine, a.LogLine);
            QCOMPARE(b.CarriedSerial, a.CarriedSerial);
            QCOMPARE(b.FrameCompleted, a.FrameCompleted);
            QCOMPARE(b.FrameText, a.FrameText);
            QCOMPARE(newState.HidAccum, oldState.HidAccum);
            QCOMPARE(newState.IdleReportCount, oldState.IdleReportCount);
            QCOMPARE(newState.FramePending, oldState.FramePending);
            if (b.FrameCompleted) {
                ++frames;
                const DerivedReading x = deriveReading(a.FrameText, ".", 855, -50);
                const DerivedReading y = deriveReading(b.FrameText, ".", 855, -50);
                QCOMPARE(y.ValueText, x.ValueText);
                QCOMPARE(y.UnitGlyph, x.UnitGlyph);
                QCOMPARE(int(y.Kind), int(x.Kind));
            }
        }
        QVERIFY(frames > 1000);
    }

    // The reports that go to the cable, byte for byte as the cable expects them.
    void protocolReports()
    {
        auto hex = [](const auto &bytes) {
            QByteArray b(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
            return b.toHex(' ');
        };
        QCOMPARE(hex(Protocol::baudRateReport(2400)), "00 60 09 00 00 03 00 00 00 00");
        QCOMPARE(hex(Protocol::baudRateReport(4800)), "00 c0 12 00 00 03 00 00 00 00");
        QCOMPARE(hex(Protocol::baudRateReport(9600)), "00 80 25 00 00 03 00 00 00 00");
        QCOMPARE(hex(Protocol::baudRateReport(1200)), "00 00 00 00 00 03 00 00 00 00");
        QCOMPARE(Protocol::commandReport(Protocol::ReportKind::Start,
                                         Decode::code(Decode::MeterCommand::Live), 9)
                     .toHex(' '),
                 "00 02 5a 00 00 00 00 00 00");
        QCOMPARE(Protocol::commandReport(Protocol::ReportKind::Command,
                                         Decode::code(Decode::MeterCommand::Stop), 0)
                     .toHex(' '),
                 "00 01 5b");
    }

    // The device's side of the wire (what stands in for the cable) and the host's side read
    // each other: the rate a feature report sets and the command an output report carries come
    // back; a feature report is told from a command by its first byte; random frames cut into
    // input reports at random places come back as the same frame text.
    void deviceSideReadsAsTheHostWrites()
    {
        for (const int baud : {2400, 4800, 9600}) {
            const auto r = Protocol::baudRateReport(baud);
            const QByteArray report(reinterpret_cast<const char *>(r.data()), qsizetype(r.size()));
            QCOMPARE(Protocol::baudOf(report), std::optional<int>(baud));
            QVERIFY(Protocol::isFeatureReport(report.mid(1)));
        }
        QCOMPARE(Protocol::baudOf(QByteArray(5, '\0')), std::nullopt);
        for (const auto kind : {Protocol::ReportKind::Command, Protocol::ReportKind::Start})
            for (const auto command : {Decode::MeterCommand::Live, Decode::MeterCommand::Download,
                                       Decode::MeterCommand::Stop}) {
                const QByteArray report = Protocol::commandReport(kind, Decode::code(command), 9);
                QCOMPARE(Protocol::commandOf(report), std::optional<quint8>(Decode::code(command)));
                QVERIFY(!Protocol::isFeatureReport(report.mid(1)));
            }
        QCOMPARE(Protocol::commandOf(QByteArray(2, '\0')), std::nullopt);
        QRandomGenerator random(11);
        const QString hex = QStringLiteral("0123456789ABCDEF");
        for (int round = 0; round < 500; ++round) {
            QString text = QStringLiteral("A");
            for (int i = 0; i < 9; ++i)
                text += hex[random.bounded(16)];
            text += QLatin1Char('D');
            const QByteArray bytes = Protocol::frameBytes(text);
            QCOMPARE(bytes.size(), 11);
            AssemblyState st;
            for (qsizetype at = 0; at < bytes.size();) {
                const int n = 1 + random.bounded(9);
                const QByteArray report = Protocol::inputReport(bytes.mid(at, n));
                QCOMPARE(report.size(), 11);
                QVERIFY(!feed(st, report.mid(1)).FrameCompleted);
                at += n;
            }
            const ReportResult end = feed(st, Protocol::inputReport({}).mid(1));
            QVERIFY(end.FrameCompleted);
            QCOMPARE(end.FrameText, text);
        }
    }

    void logLine()
    {
        const quint8 data[] = {0x02, 0xA1, 0x0f};
        QCOMPARE(reportLogLine(0x3c, data, 3), QStringLiteral("R 3C  02 A1 0F "));
        QCOMPARE(reportLogLine(0, data, 0), QStringLiteral("R 00  "));
    }

    void countNibble_data()
    {
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<bool>("serial");
        QTest::addColumn<int>("idleDelta"); // change of IdleReportCount from 5
        QTest::addColumn<QString>("accum");
        QTest::newRow("0 is idle") << QByteArray("\x00\x31", 2) << false << 6 << "";
        QTest::newRow("1 byte") << QByteArray("\x01\x31\x32", 3) << true << 0 << "31";
        QTest::newRow("9 bytes") << QByteArray("\x09\x31\x32\x33\x34\x35\x36\x37\x38\x39", 10)
                                 << true << 0 << "313233343536373839";
        QTest::newRow("high nibble ignored")
            << QByteArray("\xF5\x01\x02\x03\x04\x05", 6) << true << 0 << "0102030405";
        QTest::newRow("10 is idle") << QByteArray("\x0A\x31", 2) << false << 6 << "";
        QTest::newRow("0xFA is idle") << QByteArray("\xFA\x31", 2) << false << 6 << "";
        QTest::newRow("15 is idle") << QByteArray("\x0F", 1) << false << 6 << "";
        QTest::newRow("size 0 not counted") << QByteArray() << false << 5 << "";
        QTest::newRow("count beyond bytes") << QByteArray("\x05\x41\x42", 3) << true << 0 << "4142";
        QTest::newRow("count with no bytes") << QByteArray("\x03", 1) << true << 0 << "";
    }
    void countNibble()
    {
        QFETCH(QByteArray, report);
        QFETCH(bool, serial);
        QFETCH(int, idleDelta);
        QFETCH(QString, accum);
        AssemblyState st;
        st.IdleReportCount = 5;
        const ReportResult r = feed(st, report);
        QCOMPARE(r.CarriedSerial, serial);
        QCOMPARE(st.FramePending, serial);
        QCOMPARE(st.IdleReportCount, serial ? 0 : idleDelta);
        QCOMPARE(st.HidAccum, accum);
        QVERIFY(!r.FrameCompleted);
    }

    void oneByteReportsMakeOneFrame()
    {
        AssemblyState st;
        const QString text = TestFrames::live("1", "A235");
        const QByteArray bytes = TestFrames::frameBytes(text);
        for (char b : bytes)
            QVERIFY(!feed(st, TestFrames::dataReport(QByteArray(1, b))).FrameCompleted);
        const ReportResult end = feed(st, TestFrames::idleReport());
        QVERIFY(end.FrameCompleted);
        QCOMPARE(end.FrameText, text);
        QCOMPARE(st.HidAccum, QString());
        QCOMPARE(st.IdleReportCount, 1);
        // A second idle report right after does nothing.
        const ReportResult again = feed(st, TestFrames::idleReport());
        QVERIFY(!again.FrameCompleted);
        QCOMPARE(st.IdleReportCount, 2);
    }

    void sizeZeroEndsPendingFrame()
    {
        AssemblyState st;
        feed(st,
             TestFrames::dataReport(TestFrames::frameBytes(TestFrames::live("1", "A235")).left(9)));
        const ReportResult r = feed(st, QByteArray());
        QVERIFY(r.FrameCompleted);
        QCOMPARE(r.FrameText.size(), 9); // short frame: no line-feed character, 9 values
        QCOMPARE(st.IdleReportCount, 0);
    }

    void longFramesUseFirstElevenBytes()
    {
        AssemblyState st;
        const QString text = TestFrames::live("3", "B123");
        QByteArray bytes = TestFrames::frameBytes(text);
        bytes += QByteArray(40, '\x07'); // far more than a frame
        for (int i = 0; i < bytes.size(); i += 9)
            feed(st, TestFrames::dataReport(bytes.mid(i, 9)));
        QVERIFY(st.HidAccum.size() <= MaxAccumChars);
        const ReportResult r = feed(st, TestFrames::idleReport());
        QCOMPARE(r.FrameText, text);
    }

    void frameText_data()
    {
        QTest::addColumn<QString>("accum");
        QTest::addColumn<QString>("frameText");
        QTest::newRow("eleven bytes") << "3132333435363738393D0A"
                                      << "A123456789D";
        QTest::newRow("twelve bytes") << "3132333435363738393D0A3F"
                                      << "A123456789D";
        QTest::newRow("three bytes") << "0A3135"
                                     << "A15";
        QTest::newRow("empty") << ""
                               << "";
    }
    void frameText()
    {
        QFETCH(QString, accum);
        QTEST(frameTextFromAccum(accum), "frameText");
    }

    void frameType()
    {
        QCOMPARE(frameTypeOf(TestFrames::live("1", "A235")), QStringLiteral("AD01"));
        QCOMPARE(frameTypeOf(TestFrames::live("1", "A235", "07")), QStringLiteral("AD07"));
        QCOMPARE(frameTypeOf(QStringLiteral("A12")), QStringLiteral("A"));
    }

    void dispatch_data()
    {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<bool>("recall");
        QTest::addColumn<bool>("printing");
        QTest::addColumn<bool>("show");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<bool>("uncheck");
        QTest::addColumn<bool>("usbtxt1");
        using namespace TestFrames;
        QTest::newRow("live shown")
            << live("1", "A235") << false << false << true << false << false << false;
        QTest::newRow("stored not live")
            << live("1", "A235", "07") << false << false << false << false << false << false;
        QTest::newRow("stored in download")
            << live("1", "A235", "07") << true << false << true << false << true << false;
        QTest::newRow("live in download")
            << live("1", "A235") << true << false << false << false << true << false;
        QTest::newRow("marker on stored")
            << live("1", "A235", "07", "99") << true << false << true << true << true << false;
        QTest::newRow("marker on any frame")
            << live("1", "A235", "55", "99") << true << false << false << true << true << false;
        QTest::newRow("marker outside download")
            << live("1", "A235", "01", "99") << false << false << true << false << false << false;
        QTest::newRow("printing drops live")
            << live("1", "A235") << false << true << false << false << false << false;
        QTest::newRow("printing drops download")
            << live("1", "A235", "07", "99") << true << true << false << false << false << false;
        QTest::newRow("100 at 3..5")
            << live("1", "1005") << false << false << true << false << false << true;
        QTest::newRow("short") << QString("A1A2") << false << false << false << false << false
                               << false;
    }
    void dispatch()
    {
        QFETCH(QString, frame);
        QFETCH(bool, recall);
        QFETCH(bool, printing);
        const FrameDispatch d = dispatchFrame(frame, recall, printing);
        QTEST(d.Show, "show");
        QTEST(d.SendStop, "stop");
        QTEST(d.UncheckRecordSI, "uncheck");
        QTEST(d.Identification, "usbtxt1");
        QVERIFY(!d.RangeMax);
    }

    void identification_data()
    {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<int>("range"); // -1: no match
        // The code sits at positions 3..6 or 2..5; the type is "10".
        auto id = [](const QString &p2to6) { return "A" + p2to6 + "10" + "00" + "D"; };
        QTest::newRow("8141 at 3") << id("08141") << 855;
        QTest::newRow("8142 at 3") << id("08142") << 1055;
        QTest::newRow("8251 at 2") << id("82510") << 1055;
        QTest::newRow("8143 at 3") << id("08143") << 1255;
        QTest::newRow("8252 at 2") << id("82520") << 1255;
        QTest::newRow("8361 at 2") << id("83610") << 1255;
        QTest::newRow("8253 at 3") << id("08253") << 1555;
        QTest::newRow("8362 at 2") << id("83620") << 1555;
        QTest::newRow("8363 at 3") << id("08363") << 1855;
        // 8 2 5 3 at 3..6 with 8 at 2: "88253" holds 8825 at 2 (no row) and 8253 at 3 -> 1555.
        QTest::newRow("later row overrides") << id("82521") << 1255;
        QTest::newRow("row 4 over row 3") << id("88253") << 1555;
        QTest::newRow("8252 at 2 and 8363 at 3") << id("88363") << 1855;
        QTest::newRow("unknown") << id("01234") << -1;
    }
    void identification()
    {
        QFETCH(QString, frame);
        QFETCH(int, range);
        const FrameDispatch d = dispatchFrame(frame, false, true);
        QVERIFY(d.Identification);
        QVERIFY(!d.Show);
        QCOMPARE(d.RangeMax.value_or(-1), range);
    }

    void reading_data()
    {
        QTest::addColumn<QString>("flags");
        QTest::addColumn<QString>("codes");
        QTest::addColumn<QString>("valueText");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<int>("kind");
        QTest::addColumn<float>("value");
        QTest::addColumn<bool>("dot");
        const int N = int(ValueKind::Number), K = int(ValueKind::KeepPrevious),
                  X = int(ValueKind::NoValue);
        QTest::newRow("23.5 C") << "1"
                                << "A235"
                                << " 23.5"
                                << "#" << N << 23.5f << true;
        QTest::newRow("-12.3 F") << "3"
                                 << "B123"
                                 << "-12.3"
                                 << "?" << N << -12.3f << true;
        QTest::newRow("F no dot") << "2"
                                  << "1050"
                                  << "1050"
                                  << "?" << N << 1050.0f << false;
        QTest::newRow("C no dot") << "0"
                                  << "A105"
                                  << " 105"
                                  << "#" << N << 105.0f << false;
        QTest::newRow("flags 4") << "4"
                                 << "A235"
                                 << " 235"
                                 << "#" << N << 235.0f << false;
        QTest::newRow("flags F") << "F"
                                 << "A235"
                                 << " 235"
                                 << "#" << N << 235.0f << false;
        QTest::newRow("over high") << "1"
                                   << "A0FA"
                                   << " 0L "
                                   << "#" << N << 855.0f << true;
        QTest::newRow("over low") << "1"
                                  << "B0FA"
                                  << "-0L "
                                  << "#" << N << -50.0f << true;
        QTest::newRow("dashes") << "1"
                                << "BBBB"
                                << "----"
                                << "#" << K << 0.0f << true;
        QTest::newRow("dash in 2") << "1"
                                   << "A1B5"
                                   << " 1-.5"
                                   << "#" << K << 0.0f << true;
        QTest::newRow("dash in 1") << "1"
                                   << "A12B"
                                   << " 12.-"
                                   << "#" << K << 0.0f << true;
        QTest::newRow("code C") << "1"
                                << "A2C5"
                                << " 2C.5"
                                << "#" << X << 0.0f << true;
        QTest::newRow("L elsewhere") << "1"
                                     << "F235"
                                     << "@23.5"
                                     << "#" << X << 0.0f << true;
        QTest::newRow("L pattern off") << "1"
                                       << "10FA"
                                       << "10L "
                                       << "#" << X << 0.0f << true;
        QTest::newRow("blank between") << "1"
                                       << "2A35"
                                       << "2 3.5"
                                       << "#" << X << 0.0f << true;
        QTest::newRow("all blank") << "1"
                                   << "AAAA"
                                   << "   . "
                                   << "#" << X << 0.0f << true;
        QTest::newRow("leading blanks") << "1"
                                        << "AAA5"
                                        << "   .5"
                                        << "#" << N << 0.5f << true;
        QTest::newRow("minus after blank") << "1"
                                           << "AB25"
                                           << " -2.5"
                                           << "#" << N << -2.5f << true;
    }
    void reading()
    {
        QFETCH(QString, flags);
        QFETCH(QString, codes);
        QFETCH(float, value);
        const DerivedReading r =
            deriveReading(TestFrames::live(flags, codes), QStringLiteral("."), 855, -50);
        QTEST(r.ValueText, "valueText");
        QTEST(r.UnitGlyph, "unit");
        QTEST(int(r.Kind), "kind");
        QTEST(r.DotLit, "dot");
        if (r.Kind == ValueKind::Number)
            QCOMPARE(r.Value, value);
    }

    void readingUsesLocaleSeparatorAndRange()
    {
        const DerivedReading comma =
            deriveReading(TestFrames::live("1", "A235"), QStringLiteral(","), 855, -50);
        QCOMPARE(comma.ValueText, QStringLiteral(" 23,5"));
        const DerivedReading noSep =
            deriveReading(TestFrames::live("1", "A235"), QString(), 855, -50);
        QCOMPARE(noSep.ValueText, QStringLiteral(" 235"));
        QCOMPARE(noSep.Value, 23.5f);
        const DerivedReading high =
            deriveReading(TestFrames::live("1", "A0FA"), QStringLiteral("."), 1255, -50);
        QCOMPARE(high.Value, 1255.0f);
    }

    void shortFrameHasNoValue()
    {
        const DerivedReading r =
            deriveReading(QStringLiteral("A1A2"), QStringLiteral("."), 855, -50);
        QCOMPARE(r.Digits[0], QStringLiteral(" "));
        QCOMPARE(r.Digits[1], QStringLiteral("2"));
        QCOMPARE(r.Digits[2], QString());
        QCOMPARE(r.Kind, ValueKind::NoValue);
    }
};

QTEST_APPLESS_MAIN(tst_FrameDecoding)
#include "tst_FrameDecoding.moc"
