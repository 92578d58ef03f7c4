// Bringing back the rows that a crashed session left in the recovery journal.

#include "app/Prompts.h"
#include "app/RD7F.h"
#include "recording/MeasurementGrid.h"
#include "recording/MeasurementTable.h"
#include "recording/Recorder.h"
#include "recording/uCharControl.h"
#include "session/Journal.h"

void TFCOMM::offerRecovery()
{
    if (!RecoveryJournal || RecoveryJournal->orphanRows() == 0)
        return;
    const auto answer = Prompts::current().question(
        QStringLiteral("Norvane TX-9"),
        QStringLiteral("The last session ended unexpectedly with %1 readings that were not "
                       "saved. Restore them?")
            .arg(RecoveryJournal->orphanRows()),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Question);
    if (answer != QMessageBox::Yes) {
        RecoveryJournal->setOrphanAside();
        return;
    }
    MeasurementTable rows;
    RecoveryJournal->readOrphan(rows);
    std::vector<MeasurementTable::Row> batch;
    batch.reserve(size_t(rows.count()));
    for (qint64 r = 0; r < rows.count(); ++r)
        batch.push_back(rows.row(r));
    cds1->appendRows(batch);
    // The chart and the recorder pick up where the crashed session stood.
    for (qint64 r = 0; r < rows.count(); ++r) {
        if (const auto v = Recorder::valueOfText(rows.text(r, MeasurementTable::FieldValue),
                                                 S.DecimalSep, S.RangeMax, S.RangeMin))
            S.ValueNum = *v;
        ChartCtl->AddValue(double(S.ValueNum));
        if (const auto maxY = Recorder::raisePeak(S, S.ValueNum))
            ChartCtl->SetMaxY(*maxY);
    }
    showPage(ChartCtl->Page());
    if (rows.count() > 0) {
        const qint64 last = rows.count() - 1;
        if (const auto no = rows.no(last))
            S.NextRecordNo = *no + 1;
        S.StoredRowCount += qint32(rows.count());
        S.LastStoredKey = rows.text(last, MeasurementTable::FieldValue) +
                          rows.text(last, MeasurementTable::FieldUnit);
        DBGrid1->setCurrentRow(cds1->count() - 1);
    }
    RecoveryJournal->restoreOrphan();
}
