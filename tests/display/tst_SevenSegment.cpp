#include "display/SevenSegment.h"

#include <QImage>
#include <QPainter>
#include <QtTest>

// Renders glyphs and reads their segments back by pixels, so a broken painter fails.
class tst_SevenSegment : public QObject
{
    Q_OBJECT

    static QImage render(QChar glyph, const QSize &size)
    {
        QImage img(size, QImage::Format_RGB32);
        img.fill(Qt::white);
        QPainter p(&img);
        SevenSegment::paint(p, QRectF(QPointF(0, 0), QSizeF(size)), glyph, Qt::black);
        return img;
    }

    static bool dark(const QImage &img, QPointF at) { return qGray(img.pixel(at.toPoint())) < 128; }

    // The segments that the picture actually lights.
    static quint8 litSegments(QChar glyph, const QSize &size)
    {
        const QImage img = render(glyph, size);
        const QRectF cell(QPointF(0, 0), QSizeF(size));
        quint8 lit = 0;
        for (auto s : {SevenSegment::A, SevenSegment::B, SevenSegment::C, SevenSegment::D,
                       SevenSegment::E, SevenSegment::F, SevenSegment::G}) {
            if (dark(img, SevenSegment::segmentBox(cell, glyph, s).center()))
                lit |= s;
        }
        if (SevenSegment::isUnitSign(glyph)) {
            const QRectF ring = SevenSegment::segmentBox(cell, glyph, SevenSegment::Degree);
            // The ring's outline is dark somewhere in its upper quarter, its middle is not.
            bool outline = false;
            for (qreal y = ring.top(); y < ring.top() + ring.height() / 4 + 1; y += 0.5)
                outline = outline || dark(img, QPointF(ring.center().x(), y));
            if (outline && !dark(img, ring.center()))
                lit |= SevenSegment::Degree;
        }
        return lit;
    }

private slots:
    void glyphsLightTheirSegments_data()
    {
        QTest::addColumn<QChar>("glyph");
        QTest::addColumn<int>("count");
        QTest::newRow("8") << QChar('8') << 7;
        QTest::newRow("1") << QChar('1') << 2;
        QTest::newRow("0") << QChar('0') << 6;
        QTest::newRow("7") << QChar('7') << 3;
        QTest::newRow("minus") << QChar('-') << 1;
        QTest::newRow("blank") << QChar(' ') << 0;
        QTest::newRow("L") << QChar('@') << 3;
        QTest::newRow("degC") << QChar('#') << 5;
        QTest::newRow("degF") << QChar('?') << 5;
    }
    void glyphsLightTheirSegments()
    {
        QFETCH(QChar, glyph);
        QFETCH(int, count);
        for (const QSize size : {QSize(43, 113), QSize(24, 32)}) {
            const quint8 lit = litSegments(glyph, size);
            QCOMPARE(lit, SevenSegment::segmentsFor(glyph));
            QCOMPARE(std::popcount(lit), count);
        }
    }

    void everyDigitDiffers()
    {
        QSet<quint8> seen;
        for (char c = '0'; c <= '9'; ++c)
            seen.insert(litSegments(QChar(c), QSize(43, 113)));
        QCOMPARE(seen.size(), 10);
    }

    void celsiusAndFahrenheitDiffer()
    {
        QVERIFY(render('#', QSize(24, 36)) != render('?', QSize(24, 36)));
        const quint8 c = litSegments('#', QSize(24, 36)), f = litSegments('?', QSize(24, 36));
        QVERIFY(c & SevenSegment::D); // the C closes at the bottom
        QVERIFY(f & SevenSegment::G); // the F has its middle bar
        QVERIFY(!(f & SevenSegment::D));
    }

    void smallCellsStillPaint()
    {
        // The grid's Unit column is 12 pixels high.
        const QImage img = render('#', QSize(10, 12));
        int darkPixels = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                darkPixels += qGray(img.pixel(x, y)) < 160;
        QVERIFY(darkPixels > 10);
    }
};

QTEST_MAIN(tst_SevenSegment)
#include "tst_SevenSegment.moc"
