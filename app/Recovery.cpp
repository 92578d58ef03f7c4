// Bringing back the rows that ended sessions left in recovery journals.

#include "app/BackgroundTask.h"
#include "app/Prompts.h"
#include "app/RD7F.h"
#include "outputs/AuditTrail.h"
#include "outputs/Outputs.h"

#include "alarms/Statistics.h"
#include "recording/MeasurementGrid.h"
#include "recording/MeasurementTable.h"
#include "recording/Recorder.h"
#include "recording/uCharControl.h"
#include "session/Journal.h"
#include "timeline/Timeline.h"

#include <QFileInfo>

namespace {

// A journal read elsewhere: its rows, and the chart values they stand for.
struct Restored
{
    MeasurementTable Rows;
    Journal::Contents Contents;
    std::vector<float> Values; // one per row; a row without a number repeats the one before
};

// The number of a journal's Value text. The journal may come from a session under another
// locale, so a decimal comma reads as well as a decimal point.
std::optional<float> journalValue(const QString &text, const QString &sep, qint32 max, qint32 min)
{
    if (const auto v = Recorder::valueOfText(text, sep, max, min))
        return v;
    return Recorder::valueOfText(
        text, sep == QLatin1String(",") ? QStringLiteral(".") : QStringLiteral(","), max, min);
}

} // namespace

void TFCOMM::offerRecovery()
{
    if (!RecoveryJournal)
        return;
    const LongCommand busy(this); // a close meanwhile waits until the decisions are made
    if (!RecoveryJournal->unavailable().isEmpty())
        Prompts::current().message(
            QStringLiteral("There is no recovery journal: %1. Readings are kept on screen "
                           "only; save them before you close the program.")
                .arg(RecoveryJournal->unavailable()),
            DialogKind::Warning, {DialogButton::OK});
    while (RecoveryJournal->hasOrphan()) {
        const QString path = RecoveryJournal->orphanPath();
        // Read (and turned into chart values) elsewhere, with the progress window: a
        // journal of days holds millions of rows.
        const auto restored = std::make_shared<Restored>();
        const QString sep = S.DecimalSep;
        const qint32 max = S.RangeMax, min = S.RangeMin;
        float start = S.ValueNum;
        BackgroundTask::run<bool>(
            QStringLiteral("Reading the recovery journal"), QFileInfo(path).size(),
            [restored, path, sep, max, min, start](std::atomic<qint64> &done) mutable {
                restored->Contents = Journal::read(path, restored->Rows, &done);
                restored->Values.reserve(size_t(restored->Rows.count()));
                for (qint64 r = 0; r < restored->Rows.count(); ++r) {
                    const QString &text = restored->Rows.text(r, MeasurementTable::FieldValue);
                    if (const auto v = journalValue(text, sep, max, min))
                        start = *v;
                    restored->Values.push_back(start);
                }
                return true;
            });
        const Journal::Contents c = restored->Contents;
        if (!c.Journal || c.Rows == 0) {
            const QString aside = RecoveryJournal->setOrphanAside();
            Prompts::current().message(
                QStringLiteral("The recovery journal %1 holds no readable readings%2; it is "
                               "kept as %3.")
                    .arg(path,
                         c.Journal
                             ? QStringLiteral(" (%1 lines could not be read)").arg(c.Unreadable)
                             : QStringLiteral(" (it is not one of this program's journals)"),
                         aside.isEmpty() ? path : aside),
                DialogKind::Warning, {DialogButton::OK});
            continue;
        }
        // The cables the rows came from, as the journal's connections name them.
        QStringList cables;
        for (const DataFiles::Mark &m : c.Marks)
            if (m.Word == "connected") {
                const QString cable = QString::fromUtf8(m.Rest.split('\t').value(1));
                if (!cable.isEmpty() && !cables.contains(cable))
                    cables << cable;
            }
        // What was really not saved: the rows after the last save, and the notes since.
        const Journal::Unsaved unsaved = Journal::unsaved(c);
        const QString notes =
            (unsaved.Notes == 0          ? QString()
             : unsaved.SavedTo.isEmpty() ? QStringLiteral(" and ")
                                         : QStringLiteral(", and ")) +
            (unsaved.Notes == 0 ? QString()
             : unsaved.Notes == 1
                 ? QStringLiteral("a note that was not saved")
                 : QStringLiteral("%1 notes that were not saved").arg(unsaved.Notes));
        const QString readings =
            unsaved.SavedTo.isEmpty()
                ? QStringLiteral("%1 readings that were not saved").arg(c.Rows)
                : QStringLiteral("%1 readings, %2 of them not saved since the table was saved "
                                 "to %3")
                      .arg(c.Rows)
                      .arg(unsaved.Rows)
                      .arg(unsaved.SavedTo);
        const auto answer = Prompts::current().question(
            QStringLiteral("Norvane TX-9"),
            QStringLiteral("The last session ended unexpectedly with %1%2%3. Restore them?")
                .arg(readings, notes,
                     cables.isEmpty()
                         ? QString()
                         : QStringLiteral(" (from the cable %1)").arg(cables.join(", "))),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::Question);
        if (!RecoveryJournal->hasOrphan() || RecoveryJournal->orphanPath() != path)
            return; // decided meanwhile (the question runs an event loop)
        if (answer != QMessageBox::Yes) {
            const QString aside = RecoveryJournal->setOrphanAside();
            if (Out)
                Out->audit().record(QStringLiteral("journal set aside"), path,
                                    QStringLiteral("%1 rows, kept as %2")
                                        .arg(c.Rows)
                                        .arg(aside.isEmpty() ? path : aside));
            continue;
        }
        const qint64 count = c.Rows;
        const qint64 lastNo = restored->Rows.no(count - 1).value_or(S.NextRecordNo - 1);
        const QString lastKey = restored->Rows.text(count - 1, MeasurementTable::FieldValue) +
                                restored->Rows.text(count - 1, MeasurementTable::FieldUnit);
        const bool tableIsOrphan = cds1->count() == 0;
        const qint64 firstRestored = cds1->count();
        if (Out && Out->timeline())
            Out->timeline()->appendBatch(*cds1, std::move(restored->Rows),
                                         {Timeline::Why::Restored, {}, c.Marks, {}, {}});
        else
            cds1->appendFrom(std::move(restored->Rows));
        // Their alarms, which this session never saw, worked out from them; their audit
        // entries back between them, and the seal going on as it was.
        if (Out) {
            Out->restored(firstRestored, cds1->count() - 1, c.Marks);
            Out->audit().record(
                QStringLiteral("restored"), path,
                QStringLiteral("%1 rows, seal %2").arg(count).arg(Out->audit().seal().text()));
        }
        // The chart and the recorder pick up where the ended session stood.
        std::optional<double> maxY;
        for (const float v : restored->Values) {
            S.ValueNum = v;
            if (const auto raised = Recorder::raisePeak(S, v))
                maxY = raised;
        }
        const qint64 pointsBefore = ChartCtl->ValueCount();
        showPage(ChartCtl->AddValues(
            std::vector<double>(restored->Values.begin(), restored->Values.end())));
        Plotted.add(pointsBefore + 1, cds1->count() - qint64(restored->Values.size()),
                    qint64(restored->Values.size()));
        if (maxY)
            ChartCtl->SetMaxY(*maxY);
        S.NextRecordNo = qint32(lastNo + 1);
        S.StoredRowCount += qint32(count);
        S.LastStoredKey = lastKey;
        DBGrid1->setCurrentRow(cds1->count() - 1);
        const QString kept = RecoveryJournal->restoreOrphan(c.Unreadable > 0, tableIsOrphan);
        if (c.Unreadable > 0)
            Prompts::current().message(
                QStringLiteral("%1 lines of the recovery journal could not be read; the "
                               "journal is kept as %2.")
                    .arg(c.Unreadable)
                    .arg(kept.isEmpty() ? path : kept),
                DialogKind::Warning, {DialogButton::OK});
    }
}
