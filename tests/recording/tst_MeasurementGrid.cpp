#include "recording/MeasurementGrid.h"
#include "recording/MeasurementTable.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QSignalSpy>
#include <QtTest>

class tst_MeasurementGrid : public QObject
{
    Q_OBJECT

private slots:
    void tableStoresRowsCompactly()
    {
        MeasurementTable t;
        QSignalSpy inserted(&t, &QAbstractItemModel::rowsInserted);
        t.appendRow({1, "10:00:00", " 23.5", "#"});
        t.appendRow({std::nullopt, "", QString(30, 'x'), "?"});
        QCOMPARE(t.count(), 2);
        QCOMPARE(inserted.count(), 2);
        QCOMPARE(t.no(0).value(), 1);
        QVERIFY(!t.no(1).has_value());
        QCOMPARE(t.text(0, MeasurementTable::FieldValue), QStringLiteral(" 23.5"));
        QCOMPARE(t.text(1, MeasurementTable::FieldValue), QString(20, 'x'));
        QCOMPARE(t.cellText(1, MeasurementTable::FieldNo), QString());
        QCOMPARE(t.data(t.index(0, 0), Qt::DisplayRole).toInt(), 1);
        QCOMPARE(t.data(t.index(0, 2), Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
        QVERIFY(!(t.flags(t.index(0, 0)) & Qt::ItemIsEditable));
        // Negative and extreme numbers survive.
        t.appendRow({std::numeric_limits<qint32>::min(), "a", "b", "c"});
        QCOMPARE(t.no(2).value(), std::numeric_limits<qint32>::min());
        t.clear();
        QCOMPARE(t.count(), 0);
        t.appendRow({5, "t", "v", "u"});
        QCOMPARE(t.text(0, MeasurementTable::FieldUnit), QStringLiteral("u"));
    }

    void gridColumns()
    {
        MeasurementTable t;
        MeasurementGrid g(&t);
        QHeaderView *h = g.header();
        QStringList titles;
        for (int c = 0; c < 4; ++c)
            titles << t.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        QCOMPARE(titles, QStringList({"Measurement No.", "Time", "Value", "Unit"}));
        QCOMPARE(h->sectionSize(0), 106);
        QCOMPARE(h->sectionSize(1), 74);
        QCOMPARE(h->sectionSize(2), 80);
        QCOMPARE(h->sectionSize(3), 49);
        QCOMPARE(h->sectionResizeMode(0), QHeaderView::Interactive);
        QCOMPARE(g.font().family(), QStringLiteral("Liberation Sans"));
        QCOMPARE(g.font().pixelSize(), 12);
        QCOMPARE(h->font().pixelSize(), 11);
    }

    void currentRowFollowsAppends()
    {
        MeasurementTable t;
        MeasurementGrid g(&t);
        g.resize(337, 375);
        g.show();
        QVERIFY(QTest::qWaitForWindowExposed(&g));
        QCOMPARE(g.currentRow(), -1);
        for (int i = 1; i <= 500; ++i) {
            t.appendRow({i, "10:00:00", QString::number(i), "#"});
            QCOMPARE(g.currentRow(), qint64(i - 1));
            QVERIFY(g.isRowVisible(i - 1));
        }
        QVERIFY(g.topRow() > 0);
        // The user can move the cursor; a new row takes it back to the end.
        QTest::keyClick(&g, Qt::Key_Home);
        QCOMPARE(g.currentRow(), 0);
        QCOMPARE(g.topRow(), 0);
        t.appendRow({501, "10:00:00", "501", "#"});
        QCOMPARE(g.currentRow(), 500);
        QVERIFY(g.isRowVisible(500));
        t.clear();
        QCOMPARE(g.currentRow(), -1);
        QCOMPARE(g.verticalScrollBar()->maximum(), 0);
    }

    void unitColumnIsPaintedAsGlyphs()
    {
        MeasurementTable t;
        MeasurementGrid g(&t);
        g.resize(337, 200);
        t.appendRow({1, "10:00:00", "20.0", "#"});
        t.appendRow({2, "10:00:01", "68.0", "?"});
        t.appendRow({3, "10:00:02", "", ""});
        g.setCurrentRow(2);
        const QImage img = g.viewport()->grab().toImage();
        auto darkIn = [&](const QRect &r) {
            int n = 0;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    n += qGray(img.pixel(x, y)) < 100;
            return n;
        };
        const QRect c = g.cellRect(0, 3).adjusted(1, 1, -2, -2);
        const QRect f = g.cellRect(1, 3).adjusted(1, 1, -2, -2);
        QVERIFY(darkIn(c) > 5);
        QVERIFY(darkIn(f) > 5);
        // The two signs differ.
        QVERIFY(img.copy(c) != img.copy(f));
    }
};

QTEST_MAIN(tst_MeasurementGrid)
#include "tst_MeasurementGrid.moc"
