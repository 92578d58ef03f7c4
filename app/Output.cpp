// The main window's data-file, picture and report commands.

#include "alarms/AlarmMonitor.h"
#include "app/Application.h"
#include "app/BackgroundTask.h"
#include "app/Prompts.h"
#include "app/RD7F.h"
#include "output/ChartPicture.h"
#include "output/DataFiles.h"
#include "output/Report.h"
#include "output/SafeFile.h"
#include "outputs/AuditTrail.h"
#include "outputs/Outputs.h"
#include "proof/Signer.h"
#include "proof/Trail.h"
#include "recording/LocaleInfo.h"
#include "recording/MeasurementGrid.h"
#include "recording/MeasurementTable.h"
#include "session/Journal.h"
#include "timeline/Timeline.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QPaintEngine>
#include <QPrinter>
#include <QToolButton>
#include <qcustomplot.h>

SavedProof::SavedProof(const TFCOMM &window, const MeasurementTable *table)
    : Entries(window.Out && table == window.cds1 ? window.Out->audit().entries()
                                                 : std::vector<AuditEntry>())
{}

void SavedProof::make(const QString &path, const MeasurementTable &rows)
{
    // What is signed is what reached the disk: the file is read back for its signature.
    if (const SigningKey *key = Signer::key(&Why))
        if (const std::optional<QString> made = Trail::sealSaved(path, rows, Entries, *key, &Why))
            Seal = *made;
}

void TFCOMM::recordSaved(const MeasurementTable *table, const QString &what, const QString &path,
                         qint64 rows, const SavedProof &proof)
{
    if (Out && table == cds1)
        Out->audit().record(what, path,
                            QStringLiteral("%1 rows, seal %2")
                                .arg(rows)
                                .arg(proof.Seal.isEmpty() ? QStringLiteral("none") : proof.Seal));
    // The readings are saved whatever became of their signature; that is said on its own.
    if (proof.Seal.isEmpty())
        Prompts::current().message(QStringLiteral("%1 is saved, but its signature could not be "
                                                  "written: %2.")
                                       .arg(path, proof.Why),
                                   DialogKind::Warning, {DialogButton::OK});
}

void TFCOMM::connectOutput()
{
    connect(saveas, &QToolButton::clicked, this, &TFCOMM::saveasClick);
    connect(RecordSaveEntry, &QAction::triggered, this, &TFCOMM::saveasClick);
    connect(OpenDataFiles, &QToolButton::clicked, this, &TFCOMM::SpeedButton2Click);
    connect(BtSave, &QToolButton::clicked, this, &TFCOMM::BtSaveClick);
    connect(BtPrint, &QToolButton::clicked, this, &TFCOMM::BtPrintClick);
}

void TFCOMM::saveasClick()
{
    FileDialogRequest SaveDialog1;
    SaveDialog1.title = QStringLiteral("Save As");
    SaveDialog1.filter =
        QStringLiteral("Excel File(*.xls)|*.xls|XML(*.xml)|*.xml|Txt File(*.txt)|*.txt");
    SaveDialog1.defaultExt = QStringLiteral("xls");
    SaveDialog1.overwritePrompt = true;
    const QString path = Prompts::current().saveFileName(SaveDialog1);
    if (path.isEmpty())
        return;
    SaveTableToFile(cds1, path);
    update();
}

void TFCOMM::SaveTableToFile(MeasurementTable *table, const QString &path)
{
    const LongCommand busy(this);
    // Writing text walks the table to its end, so the last row is the current one after it.
    if (DataFiles::extensionOf(path) != QLatin1String(".xml") && table == cds1 &&
        table->count() > 0)
        DBGrid1->setCurrentRow(table->count() - 1);
    // The rows as they are now are written elsewhere while readings go on being recorded.
    const std::shared_ptr<const MeasurementTable> rows = table->snapshot();
    const QDate date = QDate::currentDate();
    const auto reason = std::make_shared<QString>();
    const auto proof = std::make_shared<SavedProof>(*this, table);
    const bool saved = BackgroundTask::run<bool>(
        QStringLiteral("Saving %1").arg(path), rows->count(),
        [rows, path, date, reason, proof](std::atomic<qint64> &done) {
            if (!DataFiles::saveTable(*rows, path, date, &done, reason.get()))
                return false;
            proof->make(path, *rows);
            return true;
        });
    // The notes beside the file, which stays byte for byte as it was: <file>.notes.csv.
    bool notesSaved = true;
    if (saved && table == cds1 && Out && Out->timeline() &&
        !Out->timeline()->notes().all().empty()) {
        QString why;
        notesSaved = SafeFile::writeWhole(Notes::besideFile(path),
                                          Notes::csv(Out->timeline()->notes().all()), &why);
        if (!notesSaved)
            Prompts::current().message(QStringLiteral("The notes could not be saved to %1: %2.")
                                           .arg(Notes::besideFile(path), why),
                                       DialogKind::Warning, {DialogButton::OK});
    }
    // The journal knows what is saved: a restore after a crash says what was not.
    if (saved && table == cds1 && RecoveryJournal)
        RecoveryJournal->writeMark(
            Journal::savedLine(rows->count(), notesSaved, path, QDateTime::currentDateTime()));
    if (saved) {
        Prompts::current().message(QStringLiteral("Save table to specified file: ") + path +
                                       QStringLiteral(" Scuss!"),
                                   DialogKind::Information, {DialogButton::OK});
        recordSaved(table, QStringLiteral("saved"), path, rows->count(), *proof);
    } else if (DataFiles::extensionOf(path) == QLatin1String(".xml"))
        // The packet's writer has no message of its own: the general error handler reports.
        reportUncaughtError(QStringLiteral("Cannot create file \"%1\". %2.").arg(path, *reason));
    else
        Prompts::current().message(QStringLiteral("Could not save table to specified file: ") +
                                       path,
                                   DialogKind::Warning, {DialogButton::OK});
}

void TFCOMM::SpeedButton2Click()
{
    FileDialogRequest OpenDialog1;
    OpenDialog1.title = QStringLiteral("Open");
    OpenDialog1.filter =
        QStringLiteral("Excel File(*.xls)|*.xls|XML (*.xml)|*.xml|Txt File(*.txt)|*.txt");
    OpenDialog1.fileName = OpenDialogFileName;
    const QString path = Prompts::current().openFileName(OpenDialog1);
    if (path.isEmpty())
        return;
    OpenDialogFileName = path;
    LoadTableFromFile(path, cds1, false);
    update();
}

void TFCOMM::LoadTableFromFile(const QString &path, MeasurementTable *table, bool EmptyOnLoad)
{
    const LongCommand busy(this);
    if (EmptyOnLoad)
        table->clear();
    // Read elsewhere into a table of its own, then appended in one batch, so that no reading
    // recorded meanwhile lands between the file's rows.
    // Cancelled (from the progress window, or because the program closes), the rows read
    // until then are kept.
    const auto loaded = std::make_shared<MeasurementTable>();
    const DataFiles::LoadStatus status = BackgroundTask::run<DataFiles::LoadStatus>(
        QStringLiteral("Loading %1").arg(path), QFileInfo(path).size(),
        [loaded, path](std::atomic<qint64> &done, const std::atomic<bool> &cancelled) {
            return DataFiles::loadTable(path, *loaded, false, &done, &cancelled);
        });
    // The file's notes, when they were saved beside it: on its rows where their No and time
    // match one, else at their moment. Rows with only a time of day are dated from the file's
    // date on the time chart.
    Timeline *line = Out && table == cds1 ? Out->timeline() : nullptr;
    Timeline::Batch batch;
    batch.Reason = Timeline::Why::Loaded;
    batch.FileDate = QFileInfo(path).lastModified().date();
    QString why;
    qint64 unread = 0;
    const bool notesRead = !line || Notes::readBeside(path, batch.NotesBeside, &why, &unread);
    const qint64 before = table->count();
    if (line)
        line->appendBatch(*table, std::move(*loaded), std::move(batch));
    else
        table->appendFrom(std::move(*loaded));
    if (Out && table == cds1) {
        // Judged by the limits the file's trail says were in force, when it has one.
        Trail::Contents trail;
        QString unread;
        const bool trailed = QFileInfo::exists(Trail::trailOf(path)) &&
                             Trail::read(Trail::trailOf(path), &trail, &unread);
        Out->recomputeAlarms(before, table->count() - 1,
                             trailed ? limitsHistory(trail.Entries, before) : LimitsHistory{});
        Out->audit().record(QStringLiteral("loaded"), path,
                            QStringLiteral("%1 rows%2")
                                .arg(table->count() - before)
                                .arg(status == DataFiles::LoadStatus::Ok
                                         ? QString()
                                         : QStringLiteral(" (the load stopped early)")));
    }
    if (line) {
        if (notesRead) {
            if (unread > 0)
                Prompts::current().message(
                    QStringLiteral("Lines of the notes beside the file (%1) that are no "
                                   "notes, left out: %2. The other notes are loaded.")
                        .arg(Notes::besideFile(path))
                        .arg(unread),
                    DialogKind::Warning, {DialogButton::OK});
        } else
            Prompts::current().message(
                QStringLiteral("The notes beside the file (%1) could not be read: %2. The "
                               "readings are loaded without them.")
                    .arg(Notes::besideFile(path), why),
                DialogKind::Warning, {DialogButton::OK});
    }
    if (status == DataFiles::LoadStatus::Failed)
        Prompts::current().message(QStringLiteral("Failed to Load File!"), DialogKind::Warning,
                                   {DialogButton::OK});
}

void TFCOMM::BtSaveClick()
{
    const LongCommand busy(this);
    FileDialogRequest SavePictureDialog1;
    SavePictureDialog1.title = QStringLiteral("Save Picture");
    SavePictureDialog1.filter = QStringLiteral("Bitmaps (*.bmp)|*.bmp");
    SavePictureDialog1.defaultExt = QStringLiteral("*.bmp");
    SavePictureDialog1.overwritePrompt = true;
    SavePictureDialog1.fileName = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    const QString path = Prompts::current().saveFileName(SavePictureDialog1);
    if (path.isEmpty())
        return;
    QImage picture = ChartPicture::render(Chtshow);
    // The chart component hands its picture over through the clipboard.
    QApplication::clipboard()->setImage(picture);
    ChartPicture::stamp(picture, LocaleInfo::shortDate(QDate::currentDate()));
    QString reason;
    if (!ChartPicture::saveBmp(picture, path, &reason)) {
        reportUncaughtError(QStringLiteral("Cannot create file \"%1\". %2.").arg(path, reason));
        return;
    }
    Prompts::current().message(QStringLiteral("Graphic has saved on %1").arg(path),
                               DialogKind::Information, {DialogButton::OK});
}

void TFCOMM::BtPrintClick()
{
    const LongCommand busy(this);
    S.PrintingNow = true;
    const QDate date = QDate::currentDate();
    Prompts::current().printPreview([this, date](QPrinter *printer) {
        Report::preparePrinter(printer);
        // A long table makes thousands of pages: they are painted elsewhere, from the rows as
        // they are now, while the window stays alive.
        const std::shared_ptr<const MeasurementTable> rows = cds1->snapshot();
        const qint64 pages = (rows->count() + Report::rowsPerPage() - 1) / Report::rowsPerPage();
        if (printer->outputFormat() == QPrinter::PdfFormat &&
            !printer->outputFileName().isEmpty() && printer->paintEngine() &&
            printer->paintEngine()->type() == QPaintEngine::Pdf) {
            // Printed to a file: written through a checked copy, so that a full disk is
            // reported and never leaves a torn PDF in place of an old one.
            const QString path = printer->outputFileName();
            const QPageLayout pageLayout = printer->pageLayout();
            const int resolution = printer->resolution();
            const auto reason = std::make_shared<QString>();
            const bool written = BackgroundTask::run<bool>(
                QStringLiteral("Writing %1").arg(path), pages, [=](std::atomic<qint64> &done) {
                    return Report::writePdf(path, pageLayout, resolution, *rows, date, &done,
                                            reason.get());
                });
            if (!written)
                reportUncaughtError(
                    QStringLiteral("Cannot create file \"%1\". %2.").arg(path, *reason));
            return;
        }
        BackgroundTask::run<bool>(QStringLiteral("Preparing the report"), pages,
                                  [printer, rows, date](std::atomic<qint64> &done) {
                                      Report::paint(printer, *rows, date, &done);
                                      return true;
                                  });
    });
    S.PrintingNow = false;
    update();
}
