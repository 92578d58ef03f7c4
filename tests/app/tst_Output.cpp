#include "app/RD7F.h"
#include "common/Frames.h"
#include "common/ModalPrompts.h"
#include "common/ScriptedPrompts.h"
#include "common/Wait.h"
#include "output/ChartPicture.h"
#include "output/DataFiles.h"
#include "output/Report.h"
#include "output/SafeFile.h"
#include "recording/MeasurementGrid.h"
#include "recording/MeasurementTable.h"
#include "recording/uCharControl.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <cerrno>
#include <cstring>
#include <qcustomplot.h>

// The data-file, picture and report commands of the main window.
class tst_Output : public QObject
{
    Q_OBJECT

    static void sendFrame(TFCOMM &w, const QString &frameText)
    {
        for (const QByteArray &r : TestFrames::reportsFor(frameText))
            w.HidDataReceived(nullptr, 0, reinterpret_cast<const quint8 *>(r.constData()),
                              quint16(r.size()));
    }

private slots:
    void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void saveCommand()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        w.cds1->appendRow({1, "10:00:00", " 20.0", "#"});
        QTemporaryDir dir;
        // Cancelled: nothing happens.
        w.saveas->click();
        QCOMPARE(prompts.fileRequests.size(), 1);
        const FileDialogRequest r = prompts.fileRequests.first();
        QCOMPARE(r.filter,
                 QStringLiteral("Excel File(*.xls)|*.xls|XML(*.xml)|*.xml|Txt File(*.txt)|*.txt"));
        QCOMPARE(r.defaultExt, QStringLiteral("xls"));
        QVERIFY(r.overwritePrompt);
        QCOMPARE(r.fileName, QString());
        QVERIFY(prompts.messages.isEmpty());
        // Saved from the menu entry.
        const QString path = dir.filePath("a.xls");
        prompts.fileAnswers.enqueue(path);
        w.RecordSaveEntry->trigger();
        QCOMPARE(prompts.messageTexts(),
                 QStringList({"Save table to specified file: " + path + " Scuss!"}));
        QCOMPARE(prompts.messages[0].kind, DialogKind::Information);
        QVERIFY(QFile::exists(path));
        // A failed text save shows the warning; a failed packet reaches the general error
        // handler, with the reason.
        const QString bad = dir.filePath("no/such/folder/a.txt");
        prompts.fileAnswers.enqueue(bad);
        w.saveasClick();
        QCOMPARE(prompts.messages.last().text, "Could not save table to specified file: " + bad);
        QCOMPARE(prompts.messages.last().kind, DialogKind::Warning);
        const QString badXml = dir.filePath("no/such/folder/a.xml");
        prompts.fileAnswers.enqueue(badXml);
        w.saveasClick();
        QCOMPARE(prompts.messages.last().text,
                 "Cannot create file \"" + badXml + "\". No such file or directory.");
        QCOMPARE(prompts.messages.last().kind, DialogKind::Error);
    }

    // A text save leaves the last row current; an XML save leaves the cursor alone.
    void textSaveMakesTheLastRowCurrent()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        for (int i = 1; i <= 50; ++i)
            w.cds1->appendRow({i, "10:00:00", " 20.0", "#"});
        QTemporaryDir dir;
        w.DBGrid1->setCurrentRow(3);
        prompts.fileAnswers.enqueue(dir.filePath("a.xml"));
        w.saveasClick();
        QCOMPARE(w.DBGrid1->currentRow(), 3);
        prompts.fileAnswers.enqueue(dir.filePath("a.txt"));
        w.saveasClick();
        QCOMPARE(w.DBGrid1->currentRow(), 49);
        QVERIFY(w.DBGrid1->isRowVisible(49));
    }

    // The real save dialog: a bare name takes the extension of the filter chosen.
    void bareNameTakesTheChosenFiltersExtension_data()
    {
        QTest::addColumn<int>("filter");
        QTest::addColumn<QString>("expected");
        QTest::newRow("Excel") << 0 << "name.xls";
        QTest::newRow("XML") << 1 << "name.xml";
        QTest::newRow("Txt") << 2 << "name.txt";
    }
    void bareNameTakesTheChosenFiltersExtension()
    {
        QFETCH(int, filter);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        FileDialogRequest r;
        r.filter = QStringLiteral("Excel File(*.xls)|*.xls|XML(*.xml)|*.xml|Txt File(*.txt)|*.txt");
        r.defaultExt = QStringLiteral("xls");
        QFileDialog dlg;
        dlg.setOption(QFileDialog::DontUseNativeDialog);
        configureFileDialog(dlg, r, QFileDialog::AcceptSave);
        dlg.setDirectory(dir.path());
        auto *types = dlg.findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
        auto *name = dlg.findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(types && name);
        for (int i = 0; i < filter; ++i) // as the user picks it, with the arrow keys
            QTest::keyClick(types, Qt::Key_Down);
        QCOMPARE(types->currentIndex(), filter);
        name->setText(QStringLiteral("name"));
        QMetaObject::invokeMethod(&dlg, "accept"); // as the Save button does
        QCOMPARE(dlg.selectedFiles().value(0), dir.filePath(expected));
    }

    void limitMessageSaves()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        w.RecordSI->setChecked(false);
        w.S.RecordLimit = 2;
        QTemporaryDir dir;
        prompts.questionAnswers.enqueue(QMessageBox::Ok);
        prompts.fileAnswers.enqueue(dir.filePath("limit.txt"));
        sendFrame(w, TestFrames::live("1", "A201"));
        sendFrame(w, TestFrames::live("1", "A202"));
        QCOMPARE(prompts.fileRequests.size(), 1);
        QFile f(dir.filePath("limit.txt"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll().count("\r\n"), 5);
        QCOMPARE(w.S.StoredRowCount, 3);
    }

    void openCommand()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        w.RecordSI->setChecked(false);
        sendFrame(w, TestFrames::live("1", "A201"));
        QTemporaryDir dir;
        const QString path = dir.filePath("in.txt");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("d\r\n\r\nNo\tTime\tValue\tUnit\r\n7\t1:00\t 9.9\t#\r\n8\t1:01\t10.0\t#\r\n");
        f.close();
        prompts.fileAnswers.enqueue(path);
        w.OpenDataFiles->click();
        QCOMPARE(prompts.fileRequests.last().filter,
                 QStringLiteral("Excel File(*.xls)|*.xls|XML (*.xml)|*.xml|Txt File(*.txt)|*.txt"));
        QCOMPARE(w.cds1->count(), 3);
        // Loaded rows pass by the recorder and the chart.
        QCOMPARE(w.S.NextRecordNo, 2);
        QCOMPARE(w.S.StoredRowCount, 1);
        QCOMPARE(w.ChartCtl->ValueCount(), 1);
        QVERIFY(prompts.messages.isEmpty());
        // The dialog keeps the name chosen last; a failed load says so.
        prompts.fileAnswers.enqueue(dir.filePath("missing.txt"));
        w.OpenDataFiles->click();
        QCOMPARE(prompts.fileRequests.last().fileName, path);
        QCOMPARE(prompts.messageTexts(), QStringList({"Failed to Load File!"}));
        QCOMPARE(prompts.messages[0].kind, DialogKind::Warning);
        sendFrame(w, TestFrames::live("1", "A202"));
        QCOMPARE(w.cds1->row(3).No.value(), 2);
    }

    void chartPicture()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QApplication::clipboard()->setText("untouched");
        w.BtSave->click(); // cancelled
        const FileDialogRequest r = prompts.fileRequests.first();
        QCOMPARE(r.fileName, QDate::currentDate().toString("yyyy-MM-dd"));
        QCOMPARE(r.filter, QStringLiteral("Bitmaps (*.bmp)|*.bmp"));
        QVERIFY(r.overwritePrompt);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("untouched"));

        QTemporaryDir dir;
        const QString path = dir.filePath("chart.bmp");
        prompts.fileAnswers.enqueue(path);
        w.BtSave->click();
        QCOMPARE(prompts.messageTexts(), QStringList({"Graphic has saved on " + path}));
        QImage saved(path, "BMP");
        QVERIFY(!saved.isNull());
        QCOMPARE(saved.size(), w.Chtshow->size());
        QVERIFY(!QApplication::clipboard()->image().isNull());
        if (!qEnvironmentVariableIsEmpty("TX9_SCREENSHOT_DIR"))
            saved.save(qEnvironmentVariable("TX9_SCREENSHOT_DIR") + "/chart.png");
        // The stamp: blue, starting 130 pixels left of the right edge, 6 below the top.
        QRect blue;
        for (int y = 0; y < 40; ++y)
            for (int x = saved.width() - 140; x < saved.width(); ++x) {
                const QColor c = saved.pixelColor(x, y);
                if (c.blue() > 200 && c.red() < 120 && c.green() < 120)
                    blue |= QRect(x, y, 1, 1);
            }
        QVERIFY(!blue.isEmpty());
        QVERIFY2(blue.left() >= saved.width() - 130 && blue.left() <= saved.width() - 126,
                 qPrintable(QString::number(blue.left())));
        QVERIFY2(blue.top() >= 6 && blue.top() <= 10, qPrintable(QString::number(blue.top())));
        // The picture is no data file: opening it fails and adds no row at all.
        sendFrame(w, TestFrames::live("1", "A201"));
        const qint64 rows = w.cds1->count();
        prompts.fileAnswers.enqueue(path);
        w.OpenDataFiles->click();
        QCOMPARE(prompts.messageTexts().last(), QStringLiteral("Failed to Load File!"));
        QCOMPARE(w.cds1->count(), rows);
    }

    void stampPosition()
    {
        QImage img(400, 300, QImage::Format_RGB32);
        img.fill(Qt::white);
        ChartPicture::stamp(img, "8");
        QCOMPARE(ChartPicture::stampPosition(img), QPoint(270, 6));
        bool blueSeen = false;
        for (int y = 6; y < 30; ++y)
            for (int x = 270; x < 290; ++x)
                blueSeen = blueSeen || img.pixelColor(x, y) == QColor(0, 0, 255);
        QVERIFY(blueSeen);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < img.width(); ++x)
                QCOMPARE(img.pixelColor(x, y), QColor(Qt::white));
    }

    void printingDropsFramesMeanwhile()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        w.RecordSI->setChecked(false);
        for (int i = 0; i < 40; ++i)
            w.cds1->appendRow({i + 1, "10:00:00", " 21.5", "#"});
        prompts.duringPreview = [&] {
            QVERIFY(w.S.PrintingNow);
            sendFrame(w, TestFrames::live("1", "A201"));
        };
        w.BtPrint->click();
        QCOMPARE(prompts.previews, 1);
        QVERIFY(!w.S.PrintingNow);
        QCOMPARE(w.cds1->count(), 40);
        // The preview's pages, printed to PDF.
        QTemporaryDir dir;
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        const QString pdf = dir.filePath("report.pdf");
        printer.setOutputFileName(pdf);
        prompts.lastPreviewPaint(&printer);
        QFile f(pdf);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QCOMPARE(bytes.count("/Type /Page\n") + bytes.count("/Type /Page\r") +
                     bytes.count("/Type /Page "),
                 2);
        if (!qEnvironmentVariableIsEmpty("TX9_SCREENSHOT_DIR"))
            QFile::copy(pdf, qEnvironmentVariable("TX9_SCREENSHOT_DIR") + "/report.pdf");
    }

    // Thousands of pages are painted elsewhere: the window's event loop keeps turning meanwhile
    // (its timers, the cable's reports), and every page arrives.
    // Every file the window writes, failed at each step of its writing as a full or failing
    // disk fails it: the old file stays byte for byte, nothing is left beside it, the failure
    // is reported with its reason where the message carries one, and no success is shown.
    void writeFaultsKeepTheOldFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("nth"); // which occurrence of the step fails
        QTest::addColumn<int>("error");
        const struct
        {
            const char *name;
            QList<FileFaults::Step> steps;
        } writers[] = {
            {"table.txt",
             {FileFaults::Step::Open, FileFaults::Step::Write, FileFaults::Step::Flush,
              FileFaults::Step::Sync, FileFaults::Step::Rename}},
            {"table.xml",
             {FileFaults::Step::Write, FileFaults::Step::Flush, FileFaults::Step::Sync,
              FileFaults::Step::Rename}},
            {"chart.bmp",
             {FileFaults::Step::Flush, FileFaults::Step::Sync, FileFaults::Step::Rename}},
            {"report.pdf",
             {FileFaults::Step::Write, FileFaults::Step::Flush, FileFaults::Step::Sync,
              FileFaults::Step::Rename}},
        };
        for (const auto &w : writers)
            for (const FileFaults::Step step : w.steps)
                for (const int error : {ENOSPC, EIO})
                    for (const int nth : {1, 2}) {
                        if (nth == 2 && step != FileFaults::Step::Write)
                            continue;
                        QTest::addRow("%s step %d #%d %s", w.name, int(step), nth,
                                      error == EIO ? "EIO" : "ENOSPC")
                            << w.name << int(step) << nth << error;
                    }
    }
    void writeFaultsKeepTheOldFile()
    {
        QFETCH(QString, name);
        QFETCH(int, step);
        QFETCH(int, nth);
        QFETCH(int, error);
        ScriptedPrompts prompts;
        TFCOMM w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // Enough rows for several megabytes of text, XML and PDF: several writes each.
        std::vector<MeasurementTable::Row> rows;
        const int count = name.endsWith(".pdf") ? 40000 : 150000;
        for (int i = 0; i < count; ++i)
            rows.push_back({i + 1, "10:00:00", QString::number(i % 500 / 10.0), "#"});
        w.cds1->appendRows(rows);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        const QByteArray old = "the old file, which must survive\r\n";
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(old);
        }
        std::atomic<int> seen{0};
        FileFaults::install([&](FileFaults::Step s, const QString &p) {
            return p == path && int(s) == step && ++seen == nth ? error : 0;
        });
        const QString reason = QString::fromLocal8Bit(std::strerror(error));
        if (name.endsWith(".bmp")) {
            prompts.fileAnswers.enqueue(path);
            w.BtSave->click();
        } else if (name.endsWith(".pdf")) {
            prompts.duringPreview = [&] {
                QPrinter printer(QPrinter::HighResolution);
                printer.setOutputFormat(QPrinter::PdfFormat);
                printer.setOutputFileName(path);
                prompts.lastPreviewPaint(&printer);
            };
            w.BtPrint->click();
        } else {
            prompts.fileAnswers.enqueue(path);
            w.saveasClick();
        }
        FileFaults::install({});
        QVERIFY2(seen >= nth, "the step under test never came");
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), old);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({name}));
        QCOMPARE(prompts.messages.size(), 1);
        if (name.endsWith(".txt")) {
            QCOMPARE(prompts.messages[0].text, "Could not save table to specified file: " + path);
            QCOMPARE(prompts.messages[0].kind, DialogKind::Warning);
        } else {
            QCOMPARE(prompts.messages[0].text,
                     QStringLiteral("Cannot create file \"%1\". %2.").arg(path, reason));
            QCOMPARE(prompts.messages[0].kind, DialogKind::Error);
        }
        // Once the disk is well again, the same command writes the whole file.
        if (name.endsWith(".txt") || name.endsWith(".xml")) {
            prompts.fileAnswers.enqueue(path);
            w.saveasClick();
            QVERIFY(prompts.messages.last().text.endsWith(" Scuss!"));
            MeasurementTable back;
            QCOMPARE(DataFiles::loadTable(path, back, true), DataFiles::LoadStatus::Ok);
            QCOMPARE(back.count(), qint64(count));
        }
    }

    // The exit question comes while a save or a load runs (here from a timer inside the
    // wait, as a title-bar close would): it is asked, a save runs to its end, a load stops
    // where it is with its rows kept, and only then does the window close, with the journal
    // retired whole.
    void closingDuringLongWork_data()
    {
        QTest::addColumn<bool>("load");
        QTest::newRow("save") << false;
        QTest::newRow("load") << true;
    }
    void closingDuringLongWork()
    {
        QFETCH(bool, load);
        struct ClosingPrompts : ModalPrompts
        {
            std::function<void()> duringWait;
            void waitWithProgress(const QString &label, const std::function<int()> &percent,
                                  const std::function<bool()> &done,
                                  const std::function<void()> &cancel) override
            {
                if (duringWait)
                    QTimer::singleShot(0, std::exchange(duringWait, {}));
                Prompts::waitWithProgress(label, percent, done, cancel);
            }
        };
        const QString state = qEnvironmentVariable("XDG_STATE_HOME") + "/tx9-logger";
        QDir(state).removeRecursively(); // no journal left by the tests before
        QTemporaryDir dir;
        const QString file = dir.filePath("big.txt");
        std::vector<MeasurementTable::Row> rows;
        for (int i = 0; i < 400000; ++i)
            rows.push_back({i + 1, "10:00:00", QString::number(i % 500 / 10.0), "#"});
        {
            MeasurementTable t;
            t.appendRows(rows);
            QVERIFY(DataFiles::saveTable(t, file, QDate::currentDate()));
        }
        ClosingPrompts prompts;
        prompts.questionAnswers.enqueue(QMessageBox::Yes);
        auto *w = new TFCOMM;
        w->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<TFCOMM> alive(w);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        // The save is slowed down so that the close surely comes in the middle of it.
        FileFaults::install([&](FileFaults::Step, const QString &p) {
            if (p == file)
                QThread::msleep(30);
            return 0;
        });
        bool closedDuringWork = false;
        prompts.duringWait = [&] {
            w->close();
            closedDuringWork = alive && w->isVisible();
        };
        qint64 rowsBefore = 0;
        if (load) {
            prompts.fileAnswers.enqueue(file);
            w->OpenDataFiles->click();
        } else {
            w->cds1->appendRows(rows);
            rowsBefore = w->cds1->count();
            prompts.fileAnswers.enqueue(file);
            w->saveasClick();
        }
        FileFaults::install({});
        QVERIFY(closedDuringWork);
        QCOMPARE(prompts.questions.size(), 1);
        QCOMPARE(prompts.questions[0].text, QStringLiteral("Are you ensure to exit the program?"));
        const qint64 kept = alive ? w->cds1->count() : -1;
        QVERIFY(waitUntil([&] { return !alive; }, 10000));
        MeasurementTable back;
        QCOMPARE(DataFiles::loadTable(file, back, true), DataFiles::LoadStatus::Ok);
        QCOMPARE(back.count(), qint64(rows.size()));
        QVERIFY(!prompts.messageTexts().contains("Failed to Load File!"));
        if (!load) {
            QCOMPARE(kept, rowsBefore);
            QVERIFY(prompts.messageTexts().last().endsWith(" Scuss!"));
        } else {
            QVERIFY(kept >= 0 && kept <= qint64(rows.size()));
        }
        MeasurementTable journal;
        QCOMPARE(DataFiles::loadTable(state + "/last-session.txt", journal, true),
                 DataFiles::LoadStatus::Ok);
        QCOMPARE(journal.count(), kept);
    }

    void longReportKeepsTheLoopTurning()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        std::vector<MeasurementTable::Row> rows;
        for (int i = 0; i < 20000; ++i)
            rows.push_back({i + 1, "10:00:00", QString::number(i % 500 / 10.0), "#"});
        w.cds1->appendRows(rows);
        QTemporaryDir dir;
        const QString pdf = dir.filePath("long.pdf");
        int ticks = 0, ticksWhilePainting = 0;
        bool painting = false;
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&] {
            ++ticks;
            ticksWhilePainting += painting;
        });
        tick.start(5);
        prompts.duringPreview = [&] {
            QPrinter printer(QPrinter::HighResolution);
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(pdf);
            painting = true;
            prompts.lastPreviewPaint(&printer);
            painting = false;
        };
        w.BtPrint->click();
        QVERIFY2(ticksWhilePainting > 5, qPrintable(QString::number(ticksWhilePainting)));
        QFile f(pdf);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        const int pages = (20000 + Report::rowsPerPage() - 1) / Report::rowsPerPage();
        QCOMPARE(bytes.count("/Type /Page\n") + bytes.count("/Type /Page\r") +
                     bytes.count("/Type /Page "),
                 pages);
    }

    void reportLayout()
    {
        QCOMPARE(Report::rowsPerPage(), 35);
        QCOMPARE(Report::layout(0).size(), 0);
        QCOMPARE(Report::layout(1).size(), 1);
        QCOMPARE(Report::layout(35).size(), 1);
        QCOMPARE(Report::layout(36).size(), 2);
        const QList<Report::Page> pages = Report::layout(71);
        QCOMPARE(pages.size(), 3);
        for (int i = 0; i < pages.size(); ++i) {
            const QList<Report::Band> &bands = pages[i].Bands;
            QCOMPARE(bands[0].Kind, Report::BandKind::PageHeader);
            QCOMPARE(bands[0].TopMm, 0.0);
            QCOMPARE(bands[1].Kind, Report::BandKind::ColumnHeader);
            QCOMPARE(bands[1].TopMm, 19.84);
            QCOMPARE(bands[2].Kind, Report::BandKind::Detail);
            QCOMPARE(bands[2].TopMm, 19.84 + 10.58);
            const bool footer = bands.last().Kind == Report::BandKind::PageFooter;
            QCOMPARE(footer, i < 2); // every page but the last
            if (footer)
                QCOMPARE(bands.last().TopMm + bands.last().HeightMm, 277.0);
            // Details never run into the footer's space.
            for (const Report::Band &b : bands)
                if (b.Kind == Report::BandKind::Detail)
                    QVERIFY(b.TopMm + b.HeightMm <= 277.0 - 10.58 + 1e-9);
        }
        QCOMPARE(pages[1].Bands[2].Row, 35);
        QCOMPARE(pages[2].Bands.size(), 3); // one detail row on the last page
    }

    void reportItems()
    {
        MeasurementTable t;
        t.appendRow({12, "10:00:00", " 21.5", "?"});
        const QDate date(2026, 12, 8);
        const auto header = Report::itemsOf({Report::BandKind::PageHeader, 0, 19.84}, t, date);
        QCOMPARE(header[0].Text, QStringLiteral("Test Data"));
        QCOMPARE(header[0].LeftMm, (189.97 - 35.45) / 2);
        QCOMPARE(header[2].Text, QLocale().toString(date, QLocale::ShortFormat));
        const auto detail = Report::itemsOf({Report::BandKind::Detail, 0, 6.61, 0}, t, date);
        QCOMPARE(detail[0].Text, QStringLiteral("12"));
        QCOMPARE(detail[3].Text, QStringLiteral("?"));
        QVERIFY(detail[3].ReportFont);
        QCOMPARE(detail[3].LeftMm, 131.23);
        const auto footer = Report::itemsOf({Report::BandKind::PageFooter, 0, 10.58}, t, date);
        QCOMPARE(footer[0].Text, QStringLiteral("The Data Print Foot"));
    }
};

QTEST_MAIN(tst_Output)
#include "tst_Output.moc"
