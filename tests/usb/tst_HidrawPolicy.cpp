#include "usb/ReportDescriptor.h"

#include <QtTest>

// The hidraw backend's decisions that are not system calls: HID_ID, where report bytes go,
// and how long a report is when it goes out.
class tst_HidrawPolicy : public QObject
{
    Q_OBJECT

    static QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

private slots:
    void hidId_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("vendor");
        QTest::addColumn<int>("product");
        QTest::newRow("usb cable") << "0003:00001A86:0000E008" << true << 0x1A86 << 0xE008;
        QTest::newRow("bluetooth") << "0005:0000046D:0000B33D" << true << 0x046D << 0xB33D;
        QTest::newRow("short fields") << "3:1a86:e008" << true << 0x1A86 << 0xE008;
        QTest::newRow("two fields") << "0003:00001A86" << false << 0 << 0;
        QTest::newRow("not hex") << "0003:XYZ:0000E008" << false << 0 << 0;
        QTest::newRow("too wide") << "0003:00011A86:0000E008" << false << 0 << 0;
        QTest::newRow("empty") << "" << false << 0 << 0;
    }
    void hidId()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        const auto id = parseHidId(text);
        QCOMPARE(id.has_value(), ok);
        if (ok) {
            QTEST(int(id->Vendor), "vendor");
            QTEST(int(id->Product), "product");
        }
    }

    void reportIdOffsetFollowsNumbering()
    {
        QCOMPARE(reportIdOffset(false), 1);
        QCOMPARE(reportIdOffset(true), 0);
    }

    // Unnumbered: one length per kind. Numbered: the length of the report with that ID, and
    // 0 (sent as given) for an ID the descriptor does not have.
    void lengthRule()
    {
        // Vendor page; 8 input, 8 output and 5 feature bytes, no report IDs.
        const ReportLengths cable = parseReportDescriptor(
            hex("0600FF0901A10115002600FF750895080901810295080902910295050903B102C0"));
        QCOMPARE(reportLengthFor(cable, HidReportKind::Feature, 0), 6);
        QCOMPARE(reportLengthFor(cable, HidReportKind::Output, 0), 9);
        // IDs 1 (output 2 bytes) and 2 (feature 4 bytes, output 1 byte).
        const ReportLengths numbered = parseReportDescriptor(
            hex("0600FF0901A1018501750895029102850275089504B10295019102C0"));
        QVERIFY(numbered.Numbered);
        QCOMPARE(reportLengthFor(numbered, HidReportKind::Output, 1), 3);
        QCOMPARE(reportLengthFor(numbered, HidReportKind::Output, 2), 2);
        QCOMPARE(reportLengthFor(numbered, HidReportKind::Feature, 2), 5);
        QCOMPARE(reportLengthFor(numbered, HidReportKind::Feature, 1), 0);
        QCOMPARE(reportLengthFor(numbered, HidReportKind::Feature, 9), 0);
    }

    void fitting()
    {
        const QByteArray ten = hex("00600900000300000000");
        QCOMPARE(fitReport(ten, 6), hex("006009000003"));
        QCOMPARE(fitReport(ten, 12), ten + QByteArray(2, '\0'));
        QCOMPARE(fitReport(ten, 10), ten);
        QCOMPARE(fitReport(ten, 0), ten); // no such report in the descriptor: as given
    }
};

QTEST_MAIN(tst_HidrawPolicy)
#include "tst_HidrawPolicy.moc"
