#include "output/DataFiles.h"
#include "output/PacketReader.h"
#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace DataFiles;

// Both file formats, byte for byte, and what loading does with good and bad files.
class tst_DataFiles : public QObject
{
    Q_OBJECT

    static QByteArray golden(const QString &name)
    {
        QFile f(QStringLiteral(TX9_GOLDEN_DIR "/") + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void fill(MeasurementTable &t)
    {
        t.appendRow({1, "10:20:30", " 23.5", "#"});
        t.appendRow({2, "10:20:31", "----", "?"});
        t.appendRow({3, "", "", ""});
        t.appendRow({std::nullopt, "10:20:33", " 0L ", "#"});
        t.appendRow({-7, "<&>\"'\\", "x\ty\r\n", "#"});
    }
    static QList<MeasurementTable::Row> rows(const MeasurementTable &t)
    {
        QList<MeasurementTable::Row> out;
        for (qint64 r = 0; r < t.count(); ++r)
            out << t.row(r);
        return out;
    }
    static bool sameRows(const MeasurementTable &a, const MeasurementTable &b)
    {
        if (a.count() != b.count())
            return false;
        for (qint64 r = 0; r < a.count(); ++r) {
            const auto x = a.row(r), y = b.row(r);
            if (x.No != y.No || x.Time != y.Time || x.Value != y.Value || x.Unit != y.Unit)
                return false;
        }
        return true;
    }
    static QString write(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
        return path;
    }

    const QDate date{2026, 12, 8};

private slots:
    // Capture times as text: Qt's own reading of every text agrees, and the text reads back
    // to the same moment and offset; anything else is no time.
    void captureTimesAsText()
    {
        QRandomGenerator random(25);
        for (int i = 0; i < 20000; ++i) {
            const qint64 ms = qint64(random.bounded(Q_INT64_C(253370764800000))) -
                              Q_INT64_C(62135596800000) + 86400000 * 2;
            const int offset = (int(random.bounded(0, 109)) - 54) * 900;
            const QDateTime t = QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, offset);
            const qint64 packed = MeasurementTable::packTime(t);
            const QByteArray text = CaptureTime::text(packed);
            QCOMPARE(text.size(), CaptureTime::Length);
            QCOMPARE(QString::fromLatin1(text.left(23)), t.toString("yyyy-MM-ddTHH:mm:ss.zzz"));
            const QDateTime back =
                QDateTime::fromString(QString::fromLatin1(text), Qt::ISODateWithMs);
            QCOMPARE(back.toMSecsSinceEpoch(), ms);
            QCOMPARE(back.offsetFromUtc(), offset);
            QCOMPARE(CaptureTime::parse({text.constData(), size_t(text.size())}), packed);
        }
        for (const char *bad : {"2026-02-29T10:00:00.000+01:00", "2026-12-09T24:00:00.000+01:00",
                                "2026-12-09T10:00:00.000+01:07", "2026-12-09 10:00:00.000+01:00",
                                "2026-12-09T10:00:00.000+01", "x026-12-09T10:00:00.000+01:00"})
            QCOMPARE(CaptureTime::parse(bad), 0);
    }

    // The journal's fifth field comes back as the row's capture time; a text file without it
    // loads as before, and a fifth field that is not a time is still an error.
    // CSV: value is a number or nothing (a spreadsheet's column stays numeric), display is
    // what the panel showed; the same whether rows come one by one or many at once.
    void csvValueAndDisplay()
    {
        MeasurementTable table;
        const QDateTime t =
            QDateTime::fromString("2026-12-09T14:03:07.512+01:00", Qt::ISODateWithMs);
        const QStringList values{"23.5", "23,5", "----", " 0L", "-12.0", "1\"2,"};
        for (int i = 0; i < 300; ++i)
            table.appendRow({i + 1, "14:03:07", values[i % values.size()], i % 2 ? "?" : "#",
                             i == 5 ? std::nullopt : std::optional<QDateTime>(t)});
        QByteArray many = DataFiles::csvHeader(), few = DataFiles::csvHeader();
        DataFiles::appendCsvRows(many, table, 0, table.count() - 1);
        for (qint64 r = 0; r < table.count(); ++r)
            DataFiles::appendCsvRows(few, table, r, r);
        QCOMPARE(many, few);
        const QList<QByteArray> lines = many.split('\n');
        QCOMPARE(lines[0], "no,time,value,unit,display\r");
        QCOMPARE(lines[1], "1,2026-12-09T14:03:07.512+01:00,23.5,\u00B0C,23.5\r");
        QCOMPARE(lines[2], "2,2026-12-09T14:03:07.512+01:00,23.5,\u00B0F,\"23,5\"\r");
        QCOMPARE(lines[3], "3,2026-12-09T14:03:07.512+01:00,,\u00B0C,----\r");
        QCOMPARE(lines[4], "4,2026-12-09T14:03:07.512+01:00,,\u00B0F,0L\r");
        QCOMPARE(lines[5], "5,2026-12-09T14:03:07.512+01:00,-12.0,\u00B0C,-12.0\r");
        QCOMPARE(lines[6], "6,,,\u00B0F,\"1\"\"2,\"\r");
    }

    void captureTimesLoadBack()
    {
        MeasurementTable t;
        const QDateTime when =
            QDateTime::fromString("2026-12-09T23:59:59.512+01:00", Qt::ISODateWithMs);
        t.appendRow({1, "23:59:59", "23.5", "#", when});
        t.appendRow({2, "00:00:00", "23.6", "#"});
        QByteArray bytes = DataFiles::textFileHeader(QDate(2026, 12, 9));
        DataFiles::appendTextRows(bytes, t, 0, 1, true);
        QVERIFY(bytes.contains(
            "1\t23:59:59\t23.5\t#\t2026-12-09T23:59:59.512+01:00\r\n2\t00:00:00\t23.6\t#\r\n"));
        MeasurementTable back;
        QCOMPARE(DataFiles::loadBytes(bytes, false, back), DataFiles::LoadStatus::Ok);
        QCOMPARE(back.count(), 2);
        QCOMPARE(back.captured(0)->toMSecsSinceEpoch(), when.toMSecsSinceEpoch());
        QCOMPARE(back.captured(0)->offsetFromUtc(), 3600);
        QVERIFY(!back.captured(1));
        MeasurementTable wrong;
        QCOMPARE(
            DataFiles::loadBytes(bytes.replace("2026-12-09T23", "2026-12-09X23"), false, wrong),
            DataFiles::LoadStatus::Failed);
    }

    void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    // An export with notes, randomised: notes on readings (two on one, on readings without a
    // time, with commas, quotes and line-like text), and at moments before, between and after
    // the readings, come back where they were, and the readings come back as they were
    // exported without notes. Slices of 65,536 rows change nothing.
    void csvNotesRoundTrip()
    {
        QTemporaryDir dir;
        for (int seed = 1; seed <= 6; ++seed) {
            QRandomGenerator rng{quint32(seed)};
            MeasurementTable table;
            const int rows = seed == 6 ? 70000 : rng.bounded(1, 300);
            const QDateTime start =
                QDateTime::fromString("2026-12-09T10:00:00.000+01:00", Qt::ISODateWithMs);
            const QStringList texts{"23.5", "----", " 0L", "-1.2"};
            for (int r = 0; r < rows; ++r) {
                const bool timed = rng.bounded(10) != 0;
                table.appendRow(
                    {r + 1, "10:00:00", texts[rng.bounded(4)], "#",
                     timed ? std::optional(start.addMSecs(qint64(r) * 1500)) : std::nullopt});
            }
            std::vector<CsvNote> notes;
            const QStringList words{"door", "a, b", "say \"hi\"", "t\u00FCr", "x,\"y\""};
            for (int k = 0; k < 12; ++k) {
                const QString text = words[rng.bounded(words.size())] + QString::number(k);
                if (rng.bounded(2)) {
                    const qint64 row = rng.bounded(rows);
                    notes.push_back({row, 0, text});
                    if (k % 4 == 0)
                        notes.push_back({row, 0, text + "-again"});
                } else {
                    // A moment, anywhere from before the first to after the last reading.
                    const qint64 ms =
                        start.toMSecsSinceEpoch() - 5000 + qint64(rng.bounded(rows * 1500 + 10000));
                    notes.push_back({-1, ms, text});
                }
            }
            const QString path = dir.filePath(QStringLiteral("n%1.csv").arg(seed));
            QVERIFY(saveCsv(table, path, nullptr, nullptr, &notes));
            MeasurementTable back, plain;
            std::vector<CsvNote> read;
            QString why;
            QCOMPARE(loadCsv(path, back, &why, &read), LoadStatus::Ok);
            QVERIFY2(why.isEmpty(), qPrintable(why));
            const QString plainPath = dir.filePath(QStringLiteral("p%1.csv").arg(seed));
            QVERIFY(saveCsv(table, plainPath));
            QCOMPARE(loadCsv(plainPath, plain, &why), LoadStatus::Ok);
            QVERIFY(sameRows(back, plain));
            for (qint64 r = 0; r < rows; ++r)
                QCOMPARE(back.capturedPacked(r), plain.capturedPacked(r));
            // As (row, time of a moment, text), in any order.
            auto key = [](const CsvNote &n) {
                return QStringLiteral("%1|%2|%3")
                    .arg(n.Row)
                    .arg(n.Row >= 0 ? 0 : n.TimeMs)
                    .arg(n.Text);
            };
            QStringList want, got;
            for (const CsvNote &n : notes)
                want << key(n);
            for (const CsvNote &n : read)
                got << key(n);
            want.sort();
            got.sort();
            QCOMPARE(got, want);
        }
        // A header and lines by hand: a second note on reading 1, a moment, and an export
        // without the note column reads as before.
        const QString hand = write(dir, "hand.csv",
                                   "no,time,value,unit,display,note\r\n"
                                   "1,2026-12-09T10:00:00.000+01:00,23.5,\xC2\xB0"
                                   "C,23.5,first\r\n"
                                   "1,2026-12-09T10:00:00.000+01:00,,,,second\r\n"
                                   ",2026-12-09T10:00:01.000+01:00,,,,moment\r\n"
                                   "2,2026-12-09T10:00:02.000+01:00,23.6,\xC2\xB0"
                                   "C,23.6,\r\n");
        MeasurementTable t;
        std::vector<CsvNote> n;
        QString why;
        QCOMPARE(loadCsv(hand, t, &why, &n), LoadStatus::Ok);
        QCOMPARE(t.count(), 2);
        QCOMPARE(n.size(), size_t(3));
        QCOMPARE(n[0].Row, 0);
        QCOMPARE(n[1].Row, 0);
        QCOMPARE(n[1].Text, QStringLiteral("second"));
        QCOMPARE(n[2].Row, -1);
        QCOMPARE(
            QDateTime::fromMSecsSinceEpoch(n[2].TimeMs).toOffsetFromUtc(3600).toString(Qt::ISODate),
            QStringLiteral("2026-12-09T10:00:01+01:00"));
        const QString noTime =
            write(dir, "notime.csv", "no,time,value,unit,display,note\r\n,,,,,lost\r\n");
        QCOMPARE(loadCsv(noTime, t, &why, &n), LoadStatus::Failed);
        QVERIFY2(why.contains("line 2"), qPrintable(why));
    }

    static long peakKb()
    {
        QFile f("/proc/self/status");
        if (!f.open(QIODevice::ReadOnly))
            return 0;
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').first().toLong();
        return 0;
    }

    // A file is read a buffer at a time: lines across the buffer's edges, a CR at the very end
    // of a buffer with its LF in the next, long and multi-byte pieces, a line longer than the
    // buffer, and every line ending give the rows the whole file gives at once.
    void textFileReadInPiecesGivesTheSameRows()
    {
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo() << "seed" << seed;
        QRandomGenerator rng(seed);
        const char *endings[] = {"\r\n", "\n", "\r"};
        auto piece = [&] {
            static const QString letters = QStringLiteral("0123456789:. #?abc\u00E9\u00B0\u4E2D");
            QString t;
            for (int n = rng.bounded(rng.bounded(8) ? 10 : 40); n > 0; --n)
                t += letters[rng.bounded(int(letters.size()))];
            return t.toUtf8();
        };
        QByteArray bytes = "Report created on: 12/8/26\r\n\r\nNo\tTime\tValue\tUnit\r\n";
        auto addLine = [&](const QByteArray &ending, int padTo = -1) {
            QByteArray line = QByteArray::number(rng.bounded(2000000) - 1000000) + '\t' + piece() +
                              '\t' + piece() + '\t' + piece();
            if (padTo >= 0)
                line += QByteArray(qMax(0, padTo - int(bytes.size() + line.size())), 'x');
            bytes += line + ending;
        };
        // A CR as the last byte of the first buffer, its LF as the first of the next.
        while (bytes.size() < (1 << 20) - 200)
            addLine(endings[rng.bounded(3)]);
        addLine("\r\n", (1 << 20) - 1);
        QCOMPARE(bytes.at((1 << 20) - 1), '\r');
        while (bytes.size() < (3 << 20))
            addLine(endings[rng.bounded(3)]);
        // A line longer than the buffer.
        bytes += "7\t" + QByteArray(3 << 20, 'y') + "\t1\t#\r\n";
        for (int i = 0; i < 1000; ++i)
            addLine(endings[rng.bounded(3)]);
        bytes += "8\tlast\tline\twithout ending";

        QTemporaryDir dir;
        const QString path = write(dir, "pieces.txt", bytes);
        MeasurementTable whole, pieces;
        QCOMPARE(DataFiles::loadBytes(bytes, false, whole), DataFiles::LoadStatus::Ok);
        std::atomic<qint64> done{0};
        QCOMPARE(DataFiles::loadTable(path, pieces, false, &done), DataFiles::LoadStatus::Ok);
        QCOMPARE(done.load(), qint64(bytes.size()));
        QVERIFY(whole.count() > 50000);
        QCOMPARE(pieces.count(), whole.count());
        for (qint64 r = 0; r < whole.count(); ++r)
            for (int f = 0; f < MeasurementTable::FieldCount; ++f)
                QCOMPARE(pieces.cellText(r, f), whole.cellText(r, f));
        QCOMPARE(pieces.text(pieces.count() - 1, MeasurementTable::FieldUnit),
                 QStringLiteral("without ending"));
        // A bad line far into the file: the rows before it stay, the rest is not read.
        QByteArray bad = bytes;
        bad.insert(bytes.indexOf('\n', 2 << 20) + 1, "x\ty\tz\tw\r\n");
        const QString badPath = write(dir, "bad.txt", bad);
        MeasurementTable partWhole, partPieces;
        QCOMPARE(DataFiles::loadBytes(bad, false, partWhole), DataFiles::LoadStatus::Failed);
        QCOMPARE(DataFiles::loadTable(badPath, partPieces, false), DataFiles::LoadStatus::Failed);
        QCOMPARE(partPieces.count(), partWhole.count());
        QVERIFY(partPieces.count() > 0 && partPieces.count() < whole.count());
    }

    void goldenText()
    {
        MeasurementTable t;
        QCOMPARE(textFile(t, date), golden("empty.txt"));
        fill(t);
        QCOMPARE(textFile(t, date), golden("rows.txt"));
    }

    void goldenXml()
    {
        MeasurementTable t;
        QCOMPARE(xmlPacket(t), golden("empty.xml"));
        fill(t);
        QCOMPARE(xmlPacket(t), golden("rows.xml"));
    }

    void formatByExtension_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("xml");
        QTest::newRow("xml") << "a.xml" << true;
        QTest::newRow("XML capitals") << "a.XML" << true;
        QTest::newRow("xls") << "a.xls" << false;
        QTest::newRow("csv") << "a.csv" << false;
        QTest::newRow("no extension") << "data" << false;
        QTest::newRow("dot in folder") << "dir.xml/data" << false;
    }
    void formatByExtension()
    {
        QFETCH(QString, name);
        QFETCH(bool, xml);
        QTemporaryDir dir;
        if (name.contains('/'))
            QDir(dir.path()).mkpath(name.section('/', 0, 0));
        MeasurementTable t;
        fill(t);
        const QString path = dir.filePath(name);
        QVERIFY(saveTable(t, path, date));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), xml ? xmlPacket(t) : textFile(t, date));
    }

    void localesShapeTheDateLine_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::newRow("decimal point") << QLocale(QLocale::English, QLocale::UnitedStates);
        QTest::newRow("decimal comma") << QLocale(QLocale::German, QLocale::Germany);
        QTest::newRow("non-ASCII date") << QLocale(QLocale::Arabic, QLocale::Egypt);
    }
    void localesShapeTheDateLine()
    {
        QFETCH(QLocale, locale);
        QLocale::setDefault(locale);
        MeasurementTable t;
        t.appendRow({1, "10:20:30", " 23" + locale.decimalPoint() + "5", "#"});
        const QByteArray bytes = textFile(t, date);
        const QString expectedDate = locale.toString(date, QLocale::ShortFormat);
        QVERIFY(bytes.startsWith(("Report created on: " + expectedDate).toUtf8() + "\r\n\r\n"));
        QVERIFY(!bytes.startsWith("\xEF\xBB\xBF")); // no byte-order mark
        QVERIFY(bytes.endsWith(("\t23" + locale.decimalPoint() + "5\t#\r\n").toUtf8()));
        // And it reads back.
        QTemporaryDir dir;
        const QString path = write(dir, "l.txt", bytes);
        MeasurementTable back;
        QCOMPARE(loadTable(path, back, false), LoadStatus::Ok);
        QCOMPARE(back.text(0, MeasurementTable::FieldValue), "23" + locale.decimalPoint() + "5");
    }

    void splitting()
    {
        QStringList l{"old"};
        SplitByDelimiter("a\tb", '\t', l);
        QCOMPARE(l, QStringList({"a", "b"}));
        SplitByDelimiter("", '\t', l);
        QCOMPARE(l, QStringList({""}));
        SplitByDelimiter("a\t\tb\t", '\t', l);
        QCOMPARE(l, QStringList({"a", "", "b", ""}));
        SplitByDelimiter("abc", '\t', l);
        QCOMPARE(l, QStringList({"abc"}));
    }

    void roundTrips()
    {
        QTemporaryDir dir;
        MeasurementTable t;
        t.appendRow({1, "10:20:30", " 23.5", "#"});
        t.appendRow({2, "10:20:31", "", "?"});
        // XML keeps everything as it was.
        const QString xmlPath = dir.filePath("t.xml");
        QVERIFY(saveTable(t, xmlPath, date));
        MeasurementTable fromXml;
        QCOMPARE(loadTable(xmlPath, fromXml, false), LoadStatus::Ok);
        QVERIFY(sameRows(t, fromXml));
        QCOMPARE(xmlPacket(fromXml), xmlPacket(t));
        // Text trims, and "NULL" comes back as those letters and is saved again as such.
        const QString txtPath = dir.filePath("t.txt");
        QVERIFY(saveTable(t, txtPath, date));
        MeasurementTable fromText;
        QCOMPARE(loadTable(txtPath, fromText, false), LoadStatus::Ok);
        QCOMPARE(fromText.text(0, MeasurementTable::FieldValue), QStringLiteral("23.5"));
        QCOMPARE(fromText.text(1, MeasurementTable::FieldValue), QStringLiteral("NULL"));
        QCOMPARE(textFile(fromText, date), textFile(t, date));
        // Loading twice appends twice.
        QCOMPARE(loadTable(txtPath, fromText, false), LoadStatus::Ok);
        QCOMPARE(fromText.count(), 4);
        QCOMPARE(loadTable(txtPath, fromText, true), LoadStatus::Ok);
        QCOMPARE(fromText.count(), 2);
    }

    void textLoadingRules()
    {
        QTemporaryDir dir;
        MeasurementTable t;
        // Three lines or fewer: nothing, and no failure.
        QCOMPARE(loadTable(write(dir, "3.txt", "a\r\nb\r\nc\r\n"), t, false), LoadStatus::Ok);
        QCOMPARE(t.count(), 0);
        // Any line ending; a final break makes no empty line; the first three lines are skipped.
        QCOMPARE(
            loadTable(write(dir, "e.txt", "x\ny\rz\r\n5\t1:2\n6\r\n\t\r7\tt\tv\tu\n"), t, false),
            LoadStatus::Ok);
        QCOMPARE(t.count(), 4);
        QCOMPARE(t.row(0).No.value(), 5);
        QCOMPARE(t.row(0).Time, QStringLiteral("1:2"));
        QCOMPARE(t.row(0).Value, QString());
        QCOMPARE(t.row(1).No.value(), 6);
        QVERIFY(!t.row(2).No.has_value()); // an empty No before a TAB
        QCOMPARE(t.row(3).Unit, QStringLiteral("u"));
        // An empty line has no whole number for its No: the load ends there, and no blank row
        // is left behind.
        t.clear();
        QCOMPARE(loadTable(write(dir, "blank.txt", "x\ny\nz\n5\t1:2\n\r\n6\t1:3\n"), t, false),
                 LoadStatus::Failed);
        QCOMPARE(t.count(), 1);
        // Texts are cut to 20 characters.
        t.clear();
        QCOMPARE(loadTable(write(dir, "l.txt", "\n\n\n1\t" + QByteArray(30, 'x')), t, false),
                 LoadStatus::Ok);
        QCOMPARE(t.row(0).Time.size(), 20);
    }

    void loadFailuresKeepEarlierRows_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("kept");
        const QByteArray head = "d\r\n\r\nNo\tTime\tValue\tUnit\r\n1\ta\tb\tc\r\n2\ta\tb\tc\r\n";
        QTest::newRow("five pieces") << "f.txt" << head + "3\ta\tb\tc\td\r\n4\ta\tb\tc\r\n" << 2;
        QTest::newRow("No 12a") << "n.txt" << head + "12a\ta\r\n" << 2;
        QTest::newRow("No NULL") << "n2.txt" << head + "NULL\ta\r\n" << 2;
        QTest::newRow("No out of range") << "n3.txt" << head + "2147483648\ta\r\n" << 2;
        const QByteArray xmlHead =
            "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA>"
            "<FIELDS><FIELD attrname=\"No\" fieldtype=\"i4\"/><FIELD attrname=\"Time\" "
            "fieldtype=\"string\" WIDTH=\"20\"/></FIELDS><PARAMS/></METADATA><ROWDATA>";
        QTest::newRow("truncated packet")
            << "t.xml" << xmlHead + "<ROW RowState=\"4\" No=\"1\"/><RO" << 0;
        QTest::newRow("bad No in packet")
            << "b.xml"
            << xmlHead + "<ROW No=\"1\"/><ROW No=\"x\"/><ROW No=\"3\"/></ROWDATA></DATAPACKET>"
            << 1;
        QTest::newRow("other order")
            << "o.xml"
            << QByteArray("<?xml version=\"1.0\"?><DATAPACKET><METADATA><FIELDS>"
                          "<FIELD attrname=\"Time\"/><FIELD attrname=\"No\"/></FIELDS></METADATA>"
                          "<ROWDATA><ROW Time=\"10:00:00\" No=\"1\"/></ROWDATA></DATAPACKET>")
            << 0;
        QTest::newRow("five fields")
            << "5.xml"
            << QByteArray(
                   "<DATAPACKET><METADATA><FIELDS><FIELD attrname=\"a\"/><FIELD attrname=\"b\"/>"
                   "<FIELD attrname=\"c\"/><FIELD attrname=\"d\"/><FIELD attrname=\"e\"/>"
                   "</FIELDS></METADATA><ROWDATA><ROW a=\"1\"/></ROWDATA></DATAPACKET>")
            << 0;
        QTest::newRow("entity expansion")
            << "e.xml"
            << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\">"
                          "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><DATAPACKET><METADATA>"
                          "<FIELDS><FIELD attrname=\"No\"/><FIELD attrname=\"Time\"/></FIELDS>"
                          "</METADATA><ROWDATA><ROW No=\"1\" Time=\"&b;\"/></ROWDATA></DATAPACKET>")
            << 0;
        QTest::newRow("not xml") << "x.xml" << QByteArray("\x00\x01garbage", 9) << 0;
    }
    void loadFailuresKeepEarlierRows()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(int, kept);
        QTemporaryDir dir;
        MeasurementTable t;
        t.appendRow({99, "before", "", ""});
        QCOMPARE(loadTable(write(dir, name, content), t, false), LoadStatus::Failed);
        QCOMPARE(t.count(), 1 + kept);
        QCOMPARE(t.row(0).No.value(), 99);
    }

    // The packet reader is an XML reader of its own: what XML forbids fails (and adds nothing),
    // what XML allows reads as it should.
    void packetReaderKeepsToXml_data()
    {
        QTest::addColumn<QByteArray>("rows"); // between <ROWDATA> and </ROWDATA>
        QTest::addColumn<QByteArray>("tail"); // after </DATAPACKET>
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("time"); // the first row's Time, when ok
        QTest::newRow("plain") << QByteArray("<ROW No=\"1\" Time=\"a\"/>") << QByteArray() << true
                               << "a";
        QTest::newRow("single quotes, spaces")
            << QByteArray("<ROW  No = '1'\n Time='b\"'  />") << QByteArray("\r\n") << true << "b\"";
        QTest::newRow("references")
            << QByteArray("<ROW No=\"1\" Time=\"&lt;&amp;&#65;&#x42;&#009;&quot;\"/>")
            << QByteArray() << true << "<&AB\t\"";
        QTest::newRow("white space in a value")
            << QByteArray("<ROW No=\"1\" Time=\"x\r\ny\tz\nw\"/>") << QByteArray() << true
            << "x y z w";
        QTest::newRow("comment, PI, CDATA")
            << QByteArray("<!-- a > b -- --><?pi x?><![CDATA[<ROW>]]><ROW No=\"1\" Time=\"c\">"
                          "</ROW >")
            << QByteArray("<!--end-->") << true << "c";
        QTest::newRow("end tag mismatch")
            << QByteArray("<ROW No=\"1\"></RAW>") << QByteArray() << false << "";
        QTest::newRow("unquoted") << QByteArray("<ROW No=1/>") << QByteArray() << false << "";
        QTest::newRow("twice") << QByteArray("<ROW No=\"1\" No=\"2\"/>") << QByteArray() << false
                               << "";
        QTest::newRow("no space between")
            << QByteArray("<ROW No=\"1\"Time=\"a\"/>") << QByteArray() << false << "";
        QTest::newRow("unknown entity")
            << QByteArray("<ROW No=\"1\" Time=\"&nbsp;\"/>") << QByteArray() << false << "";
        QTest::newRow("reference to NUL")
            << QByteArray("<ROW No=\"1\" Time=\"&#0;\"/>") << QByteArray() << false << "";
        QTest::newRow("< in a value")
            << QByteArray("<ROW No=\"1\" Time=\"<\"/>") << QByteArray() << false << "";
        QTest::newRow("control byte")
            << QByteArray("<ROW No=\"1\" Time=\"\x01\"/>") << QByteArray() << false << "";
        QTest::newRow("text after the root")
            << QByteArray("<ROW No=\"1\"/>") << QByteArray("x") << false << "";
        QTest::newRow("second root")
            << QByteArray("<ROW No=\"1\"/>") << QByteArray("<a/>") << false << "";
        QTest::newRow("unclosed") << QByteArray("<ROW No=\"1\">") << QByteArray() << false << "";
        QTest::newRow("unclosed comment")
            << QByteArray("<ROW No=\"1\"/>") << QByteArray("<!-- ") << false << "";
        QByteArray bomb = "<ROW No=\"1\"";
        for (int i = 0; i < 80000; ++i)
            bomb += " a" + QByteArray::number(i) + "=\"\"";
        bomb += "/>";
        QTest::newRow("80,000 attributes") << bomb << QByteArray() << false << "";
    }
    void packetReaderKeepsToXml()
    {
        QFETCH(QByteArray, rows);
        QFETCH(QByteArray, tail);
        QFETCH(bool, ok);
        QFETCH(QString, time);
        const QByteArray packet =
            "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<DATAPACKET><METADATA><FIELDS>"
            "<FIELD attrname=\"No\"/><FIELD attrname=\"Time\"/></FIELDS><PARAMS CHANGE_LOG=\"1 0 "
            "4\"/></METADATA><ROWDATA>" +
            rows + "</ROWDATA></DATAPACKET>" + tail;
        // Whole, and a byte at a time as if every byte were the end of a buffer.
        for (const bool byByte : {false, true}) {
            MeasurementTable t;
            LoadStatus status = LoadStatus::Failed;
            if (byByte) {
                PacketReader reader;
                bool good = true;
                for (qsizetype i = 0; i < packet.size() && good; ++i)
                    good = reader.feed(packet.constData() + i, 1);
                status = reader.takeInto(t, good && reader.finish());
            } else {
                status = loadBytes(packet, true, t);
            }
            QCOMPARE(status, ok ? LoadStatus::Ok : LoadStatus::Failed);
            QCOMPARE(t.count(), ok ? 1 : 0);
            if (ok) {
                QCOMPARE(t.row(0).No.value(), 1);
                QCOMPARE(t.row(0).Time, time);
            }
        }
    }

    // Huge files of nothing (2 GB of zeros, sparse on disk) fail at once in little memory;
    // a cancelled load keeps the rows read until then.
    void hugeAndCancelledLoads()
    {
        QTemporaryDir dir;
        for (const char *name : {"sparse.txt", "sparse.xml"}) {
            const QString path = dir.filePath(name);
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(qint64(2) << 30));
            f.close();
            const long before = peakKb();
            MeasurementTable t;
            QCOMPARE(loadTable(path, t, false), LoadStatus::Failed);
            QCOMPARE(t.count(), 0);
            QVERIFY2(peakKb() - before < 100 * 1024,
                     qPrintable(QStringLiteral("%1 kB more").arg(peakKb() - before)));
            QFile::remove(path);
        }
        MeasurementTable big;
        fill(big);
        for (const char *name : {"c.txt", "c.xml"}) {
            const QString path = dir.filePath(name);
            QVERIFY(saveTable(big, path, date));
            std::atomic<bool> cancel{true};
            MeasurementTable t;
            t.appendRow({99, "before", "", ""});
            QCOMPARE(loadTable(path, t, false, nullptr, &cancel), LoadStatus::Cancelled);
            QCOMPARE(t.row(0).No.value(), 99);
            for (qint64 r = 1; r < t.count(); ++r)
                QCOMPARE(t.row(r).No, big.row(r - 1).No);
        }
    }

    void packetByPosition()
    {
        QTemporaryDir dir;
        const QByteArray packet =
            "<DATAPACKET><METADATA><FIELDS><FIELD attrname=\"N\"/><FIELD attrname=\"V\"/>"
            "<FIELD attrname=\"T\"/></FIELDS></METADATA><ROWDATA><ROW T=\"t\" V=\"v\" N=\"4\"/>"
            "</ROWDATA></DATAPACKET>";
        MeasurementTable t;
        QCOMPARE(loadTable(write(dir, "p.xml", packet), t, false), LoadStatus::Ok);
        QCOMPARE(t.row(0).No.value(), 4);
        QCOMPARE(t.row(0).Time, QStringLiteral("v")); // the second field goes into Time
        QCOMPARE(t.row(0).Value, QStringLiteral("t"));
    }

    void missingAndUnreadableFiles()
    {
        QTemporaryDir dir;
        MeasurementTable t;
        QCOMPARE(loadTable(dir.filePath("none.txt"), t, false), LoadStatus::Failed);
        const QString path = write(dir, "u.txt", "a\nb\nc\n1\n");
        QFile::setPermissions(path, QFileDevice::Permissions());
        if (::geteuid() != 0) // root reads anything
            QCOMPARE(loadTable(path, t, false), LoadStatus::Failed);
        QCOMPARE(loadTable(dir.path(), t, false), LoadStatus::Failed); // a folder
    }

    // Whatever is saved loads back to the rows the file holds, in both formats, with fields
    // holding controls, separators, markup and text that XML cannot carry.
    void hostileFieldsRoundTrip()
    {
        QTemporaryDir dir;
        MeasurementTable t;
        const QString nul(QChar(0));
        const QString loneHigh(QChar(0xD800));
        t.appendRow({1, "a\tb", "c\rd\ne", "\t#"});
        t.appendRow(
            {2, nul + "x" + QChar(0x1F), QStringLiteral("\u00b0C ") + QChar(0xFFFF), loneHigh});
        t.appendRow({3, "<&>\"'\\", QString::fromUtf8("\xf0\x9f\x8c\xa1 ok"), "?"});
        for (const char *name : {"r.txt", "r.xml"}) {
            const QString path = dir.filePath(name);
            QVERIFY(saveTable(t, path, date));
            MeasurementTable back;
            QCOMPARE(loadTable(path, back, false), LoadStatus::Ok);
            QCOMPARE(back.count(), t.count());
            // Saving what was loaded writes the same file again: nothing was lost on the way.
            const QString again = dir.filePath(QStringLiteral("again-") + name);
            QVERIFY(saveTable(back, again, date));
            QFile a(path), b(again);
            QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
            QCOMPARE(b.readAll(), a.readAll());
            const bool xml = QString(name).endsWith(".xml");
            if (xml) {
                // XML keeps TAB, CR and LF; what it cannot hold becomes U+FFFD.
                QCOMPARE(back.row(0).Value, QStringLiteral("c\rd\ne"));
                QCOMPARE(back.row(0).Unit, QStringLiteral("\t#"));
                QCOMPARE(back.row(1).Time, QString(QChar(0xFFFD)) + "x" + QChar(0xFFFD));
                QCOMPARE(back.row(1).Value, QStringLiteral("\u00b0C ") + QChar(0xFFFD));
                QCOMPARE(back.row(1).Unit, QString(QChar(0xFFFD)));
            } else {
                // Text turns them into blanks, then trims as always.
                QCOMPARE(back.row(0).Time, QStringLiteral("a b"));
                QCOMPARE(back.row(0).Value, QStringLiteral("c d e"));
                QCOMPARE(back.row(0).Unit, QStringLiteral("#"));
            }
            QCOMPARE(back.row(2).Time, QStringLiteral("<&>\"'\\"));
            QCOMPARE(back.row(2).Value, QString::fromUtf8("\xf0\x9f\x8c\xa1 ok"));
        }
    }

    // Only regular files are read and written: a pipe, a device or /dev/zero fails at once
    // instead of hanging the window or filling the memory, and nothing is left behind.
    void onlyRegularFiles()
    {
        QTemporaryDir dir;
        const QString fifo = dir.filePath("pipe.txt");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        MeasurementTable t;
        fill(t);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(loadTable(fifo, t, false), LoadStatus::Failed);
        QCOMPARE(loadTable("/dev/zero", t, false), LoadStatus::Failed);
        QVERIFY(!saveTable(t, fifo, date));
        QVERIFY(!saveTable(t, "/dev/null", date));
        QVERIFY(clock.elapsed() < 5000); // would have blocked for ever
        QCOMPARE(t.count(), 5);
        QVERIFY(QFileInfo::exists(fifo) && !QFileInfo(fifo).isFile()); // still the pipe
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::System).size(), 1);
        // A link to a regular file is that file.
        const QString real = dir.filePath("real.txt");
        QVERIFY(saveTable(t, real, date));
        QVERIFY(QFile::link(real, dir.filePath("link.txt")));
        MeasurementTable back;
        QCOMPARE(loadTable(dir.filePath("link.txt"), back, false), LoadStatus::Ok);
        QCOMPARE(back.count(), 5);
    }

    void packetWithoutFieldsFails()
    {
        MeasurementTable t;
        const QByteArray noFields = "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET "
                                    "Version=\"2.0\"><METADATA><PARAMS/></METADATA><ROWDATA>"
                                    "<ROW RowState=\"4\" No=\"1\" Time=\"t\"/></ROWDATA>"
                                    "</DATAPACKET>";
        QCOMPARE(loadBytes(noFields, true, t), LoadStatus::Failed);
        QByteArray emptyFields = noFields;
        emptyFields.replace("<METADATA>", "<METADATA><FIELDS></FIELDS>");
        QCOMPARE(loadBytes(emptyFields, true, t), LoadStatus::Failed);
        QCOMPARE(t.count(), 0);
    }

    void failedSavesLeaveTheOldFile()
    {
        QTemporaryDir dir;
        MeasurementTable t;
        fill(t);
        QVERIFY(!saveTable(t, dir.filePath("missing/folder/a.txt"), date));
        QVERIFY(!saveTable(t, "/dev/full", date));
        QVERIFY(!saveTable(t, "/proc/version.xml", date));
        // A read-only folder: the old file stays as it was.
        const QString sub = dir.filePath("ro");
        QDir().mkpath(sub);
        const QString old = write(dir, "ro/keep.txt", "precious");
        QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        if (::geteuid() != 0)
            QVERIFY(!saveTable(t, old, date));
        QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ExeOwner);
        QFile f(old);
        QVERIFY(f.open(QIODevice::ReadOnly));
        if (::geteuid() != 0)
            QCOMPARE(f.readAll(), QByteArray("precious"));
    }
};

QTEST_MAIN(tst_DataFiles)
#include "tst_DataFiles.moc"
