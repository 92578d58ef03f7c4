#include "usb/ReportDescriptor.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

// One golden descriptor per run: the file named by TX9_DESCRIPTOR holds hex bytes and a line
// "# expect input=N output=N feature=N numbered=0|1 [valid=0|1]".
class tst_ReportDescriptor : public QObject
{
    Q_OBJECT

private slots:
    void golden()
    {
        const QString path = qEnvironmentVariable("TX9_DESCRIPTOR");
        QFile f(path);
        QVERIFY2(f.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(path));
        QByteArray bytes;
        QMap<QString, int> expect{{"valid", 1}};
        for (const QByteArray &raw : f.readAll().split('\n')) {
            const QString line = QString::fromLatin1(raw).trimmed();
            if (line.startsWith("# expect")) {
                const QRegularExpression kv("(\\w+)=(\\d+)");
                for (auto it = kv.globalMatch(line); it.hasNext();) {
                    const auto m = it.next();
                    expect[m.captured(1)] = m.captured(2).toInt();
                }
            } else if (!line.startsWith('#')) {
                bytes += QByteArray::fromHex(line.toLatin1());
            }
        }
        QVERIFY(expect.contains("input"));
        const ReportLengths l = parseReportDescriptor(bytes);
        QCOMPARE(l.Input, expect["input"]);
        QCOMPARE(l.Output, expect["output"]);
        QCOMPARE(l.Feature, expect["feature"]);
        QCOMPARE(int(l.Numbered), expect["numbered"]);
        QCOMPARE(int(l.Valid), expect["valid"]);
    }

    void emptyDescriptor()
    {
        const ReportLengths l = parseReportDescriptor(QByteArray());
        QCOMPARE(l.Input + l.Output + l.Feature, 0);
    }
};

QTEST_APPLESS_MAIN(tst_ReportDescriptor)
#include "tst_ReportDescriptor.moc"
