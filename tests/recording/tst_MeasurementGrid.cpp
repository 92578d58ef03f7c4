#include "recording/MeasurementGrid.h"
#include "recording/MeasurementTable.h"

#include <QHeaderView>
#include <QRandomGenerator>
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

    // Random appends of every kind, snapshots, copies between tables and emptying, across
    // the boundaries of the table's row blocks, against a plain list of rows. A snapshot
    // keeps the rows of its moment however its table goes on.
    void randomGrowthAgreesWithAPlainList()
    {
        using Row = MeasurementTable::Row;
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo() << "seed" << seed;
        QRandomGenerator rng(seed);
        auto randomRow = [&](qint64 i) {
            Row r;
            if (rng.bounded(50) != 0)
                r.No = qint32(i) * (rng.bounded(2) ? 1 : -1);
            r.Time = QStringLiteral("%1").arg(rng.bounded(3000));
            r.Value = rng.bounded(10) ? QString::number(rng.bounded(400) / 10.0) : QString();
            r.Unit = rng.bounded(2) ? QStringLiteral("#") : QStringLiteral("?");
            return r;
        };
        auto same = [](const MeasurementTable &t, const std::vector<Row> &model) {
            if (t.count() != qint64(model.size()))
                return false;
            for (qint64 i = 0; i < t.count(); ++i) {
                const Row r = t.row(i);
                const Row &m = model[size_t(i)];
                if (r.No != m.No || r.Time != m.Time || r.Value != m.Value || r.Unit != m.Unit)
                    return false;
            }
            return true;
        };
        MeasurementTable table;
        std::vector<Row> model;
        std::vector<std::pair<std::unique_ptr<MeasurementTable>, std::vector<Row>>> snapshots;
        for (int step = 0; step < 60; ++step) {
            switch (rng.bounded(6)) {
            case 0: { // single rows
                for (int n = rng.bounded(200); n > 0; --n) {
                    model.push_back(randomRow(qint64(model.size())));
                    table.appendRow(model.back());
                }
                break;
            }
            case 1: { // a batch, often larger than a block
                std::vector<Row> batch;
                for (int n = rng.bounded(90000); n > 0; --n)
                    batch.push_back(randomRow(qint64(model.size() + batch.size())));
                table.appendRows(batch);
                model.insert(model.end(), batch.begin(), batch.end());
                break;
            }
            case 2: { // interned rows
                std::vector<MeasurementTable::IdRow> batch;
                for (int n = rng.bounded(70000); n > 0; --n) {
                    const Row r = randomRow(qint64(model.size()));
                    batch.push_back({r.No, table.internText(r.Time), table.internText(r.Value),
                                     table.internText(r.Unit)});
                    model.push_back(r);
                }
                table.appendRows(batch);
                break;
            }
            case 3: { // a table read elsewhere, appended whole
                MeasurementTable other;
                std::vector<Row> rows;
                for (int n = rng.bounded(80000); n > 0; --n)
                    rows.push_back(randomRow(qint64(model.size() + rows.size())));
                other.appendRows(rows);
                if (rng.bounded(2)) {
                    table.appendFrom(std::move(other)); // taken over when the table is empty
                    QCOMPARE(other.count(), 0);
                } else {
                    table.appendFrom(other);
                }
                model.insert(model.end(), rows.begin(), rows.end());
                break;
            }
            case 4:
                snapshots.emplace_back(table.snapshot(), model);
                break;
            case 5:
                if (rng.bounded(4) == 0) {
                    table.clear();
                    model.clear();
                }
                break;
            }
        }
        QVERIFY(same(table, model));
        for (const auto &[snap, rows] : snapshots)
            QVERIFY(same(*snap, rows));
        // A snapshot can grow on its own without touching its table.
        if (!snapshots.empty()) {
            auto &[snap, rows] = snapshots.back();
            for (int n = 0; n < 70000; ++n) {
                rows.push_back(randomRow(n));
                snap->appendRow(rows.back());
            }
            QVERIFY(same(*snap, rows));
            QVERIFY(same(table, model));
        }
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
