#include "recording/uCharControl.h"

#include <QRandomGenerator>
#include <QtTest>
#include <qcustomplot.h>

class tst_ChartControl : public QObject
{
    Q_OBJECT

    struct Fixture
    {
        QCustomPlot chart;
        TChartControl ctl{&chart, 100};
        Fixture()
        {
            TChartControl::ConfigureChart(&chart);
            ctl.SetMaxY(100);
            ctl.SetMinY(-50);
        }
        void add(int n)
        {
            for (int i = 0; i < n; ++i)
                ctl.AddValue(i % 50);
        }
        QPair<qint64, qint64> window() const { return {ctl.WindowMin(), ctl.WindowMax()}; }
        QCPRange axis() const { return chart.xAxis->range(); }
    };

private slots:
    // Many values at once end where the same values one by one end, whatever the page size
    // and however the user paged in between (randomised).
    void manyValuesAtOnceAsOneByOne()
    {
        QRandomGenerator rng(11);
        for (int round = 0; round < 40; ++round) {
            Fixture one, many;
            const int pageSize = 1 + int(rng.bounded(300));
            one.ctl.SetPageSize(pageSize);
            many.ctl.SetPageSize(pageSize);
            for (int step = 0; step < 12; ++step) {
                std::vector<double> batch(size_t(rng.bounded(2000)));
                for (double &v : batch)
                    v = rng.bounded(900) - 50;
                for (const double v : batch)
                    one.ctl.AddValue(v);
                QCOMPARE(many.ctl.AddValues(batch), one.ctl.Page());
                QCOMPARE(many.window(), one.window());
                QCOMPARE(many.ctl.PageCount(), one.ctl.PageCount());
                QCOMPARE(many.ctl.ValueCount(), one.ctl.ValueCount());
                QCOMPARE(many.ctl.Graph()->dataCount(), one.ctl.Graph()->dataCount());
                if (!batch.empty())
                    QCOMPARE(many.ctl.Graph()->data()->at(many.ctl.Graph()->dataCount() - 1)->key,
                             one.ctl.Graph()->data()->at(one.ctl.Graph()->dataCount() - 1)->key);
                if (rng.bounded(3) == 0) { // the user pages back, or forward to the end
                    const bool back = rng.bounded(2) == 0;
                    QCOMPARE(back ? many.ctl.PriorPage() : many.ctl.LastPage(),
                             back ? one.ctl.PriorPage() : one.ctl.LastPage());
                }
                QCOMPARE(many.ctl.Browsing(), one.ctl.Browsing());
            }
        }
    }

    void bottomLabelsGroupThousands()
    {
        QCOMPARE(TChartControl::measurementNoLabel(1020, QLocale(QLocale::English)), "1,020");
        QCOMPARE(TChartControl::measurementNoLabel(1234567, QLocale(QLocale::German)), "1.234.567");
        QCOMPARE(TChartControl::measurementNoLabel(999.6, QLocale(QLocale::English)), "1,000");
        QCOMPARE(TChartControl::measurementNoLabel(0, QLocale(QLocale::English)), QString());
        QLocale omitting(QLocale::English);
        omitting.setNumberOptions(QLocale::OmitGroupSeparator);
        QCOMPARE(TChartControl::measurementNoLabel(5000, omitting), "5,000");
    }

    void create()
    {
        Fixture f;
        QCOMPARE(f.ctl.Page(), 1);
        QCOMPARE(f.ctl.PageCount(), 1);
        QCOMPARE(f.ctl.PageSize(), 100);
        QCOMPARE(f.axis(), QCPRange(1, 100));
        QCOMPARE(f.ctl.Graph()->dataCount(), 1); // the origin point
        QCOMPARE(f.ctl.Graph()->data()->at(0)->key, 0.0);
        QCOMPARE(f.chart.yAxis->range(), QCPRange(-50, 100));
    }

    void hundredAndFirstValueTurnsThePage()
    {
        Fixture f;
        for (int i = 1; i <= 100; ++i)
            QCOMPARE(f.ctl.AddValue(i), 1);
        QCOMPARE(f.axis(), QCPRange(1, 100));
        QCOMPARE(f.ctl.AddValue(101), 2);
        QCOMPARE(f.axis(), QCPRange(101, 200));
        QCOMPARE(f.ctl.Graph()->data()->at(101)->key, 101.0);
    }

    void browsingWhileValuesArrive()
    {
        Fixture f;
        f.add(300);
        QCOMPARE(f.ctl.Page(), 3);
        QCOMPARE(f.ctl.PriorPage(), 2);
        QVERIFY(f.ctl.Browsing());
        f.add(150);
        QCOMPARE(f.ctl.Page(), 2);
        QCOMPARE(f.ctl.PageCount(), 5);
        QCOMPARE(f.window(), qMakePair(qint64(101), qint64(200)));
        QCOMPARE(f.ctl.LastPage(), 5);
        QVERIFY(!f.ctl.Browsing());
        QCOMPARE(f.window(), qMakePair(qint64(401), qint64(500)));
        f.add(51);
        QCOMPARE(f.ctl.Page(), 6);
    }

    void nextToLastPageResumesFollowing()
    {
        Fixture f;
        f.add(250);
        QCOMPARE(f.ctl.FirstPage(), 1);
        QVERIFY(f.ctl.Browsing());
        QCOMPARE(f.ctl.NextPage(), 2);
        QVERIFY(f.ctl.Browsing());
        QCOMPARE(f.ctl.NextPage(), 3);
        QVERIFY(!f.ctl.Browsing());
        QCOMPARE(f.window(), qMakePair(qint64(201), qint64(300)));
    }

    void buttonsAtTheEndsChangeNothing()
    {
        Fixture f;
        f.add(50);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(f.ctl.FirstPage(), 1);
            QCOMPARE(f.ctl.PriorPage(), 1);
            QCOMPARE(f.ctl.NextPage(), 1);
            QCOMPARE(f.ctl.LastPage(), 1);
            QVERIFY(!f.ctl.Browsing());
        }
        f.add(200);
        QCOMPARE(f.ctl.NextPage(), 3);
        QCOMPARE(f.window(), qMakePair(qint64(201), qint64(300)));
        f.ctl.FirstPage();
        QCOMPARE(f.ctl.PriorPage(), 1);
        QCOMPARE(f.window(), qMakePair(qint64(1), qint64(100)));
    }

    void pageSizeChangeShowsLastPage()
    {
        Fixture f;
        f.add(120);
        f.ctl.FirstPage();
        f.ctl.SetPageSize(50);
        QCOMPARE(f.ctl.Page(), 3);
        QCOMPARE(f.ctl.PageCount(), 3);
        QVERIFY(!f.ctl.Browsing());
        QCOMPARE(f.window(), qMakePair(qint64(101), qint64(150)));
        // The same size again changes nothing.
        f.ctl.PriorPage();
        f.ctl.SetPageSize(50);
        QCOMPARE(f.ctl.Page(), 2);
        // A page of one still shows a range.
        f.ctl.SetPageSize(1);
        QCOMPARE(f.ctl.Page(), 120);
        QCOMPARE(f.window(), qMakePair(qint64(120), qint64(120)));
        QVERIFY(f.axis().lower < 120 && f.axis().upper > 120);
    }

    void axisBounds()
    {
        Fixture f;
        f.ctl.SetMaxY(200);
        QCOMPARE(f.ctl.MaxY(), 200.0);
        QCOMPARE(f.chart.yAxis->range().upper, 200.0);
        f.chart.yAxis->setRangeUpper(123); // an equal value is not applied again
        f.ctl.SetMaxY(200);
        QCOMPARE(f.chart.yAxis->range().upper, 123.0);
        QCOMPARE(f.chart.yAxis->range().lower, -50.0);
    }

    void clearKeepsAxisAndPageSize()
    {
        Fixture f;
        f.add(350);
        f.ctl.SetMaxY(300);
        f.ctl.PriorPage();
        QCOMPARE(f.ctl.Clear(), 1);
        QCOMPARE(f.ctl.PageCount(), 1);
        QVERIFY(!f.ctl.Browsing());
        QCOMPARE(f.ctl.ValueCount(), 0);
        QCOMPARE(f.ctl.Graph()->dataCount(), 1);
        QCOMPARE(f.window(), qMakePair(qint64(1), qint64(100)));
        QCOMPARE(f.ctl.MaxY(), 300.0);
        QCOMPARE(f.ctl.PageSize(), 100);
        QCOMPARE(f.ctl.NextPage(), 1);
        f.add(101);
        QCOMPARE(f.ctl.Page(), 2);
        QCOMPARE(f.ctl.Graph()->data()->at(1)->key, 1.0);
    }

    void pagingNeverRebuildsData()
    {
        Fixture f;
        f.add(1000);
        const QCPGraphData *before = &*f.ctl.Graph()->data()->constBegin();
        f.ctl.FirstPage();
        f.ctl.NextPage();
        f.ctl.LastPage();
        QCOMPARE(&*f.ctl.Graph()->data()->constBegin(), before);
        QCOMPARE(f.ctl.Graph()->dataCount(), 1001);
    }
};

QTEST_MAIN(tst_ChartControl)
#include "tst_ChartControl.moc"
