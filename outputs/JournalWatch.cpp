#include "outputs/JournalWatch.h"

#include "recording/MeasurementTable.h"

JournalWatch::JournalWatch(Journal &journal, QObject *parent) : QObject(parent), m_journal(journal)
{
    connect(&journal, &Journal::writeFailed, this,
            [this](const QString &path, const QString &reason) {
                m_failed = true;
                emit writeFailed(path, reason);
            });
}

JournalWatch::Kept JournalWatch::kept() const
{
    if (!m_journal.unavailable().isEmpty() || !m_journal.owner())
        return Kept::Nowhere;
    return m_failed ? Kept::WriteFailed : Kept::InJournal;
}

std::vector<JournalWatch::Orphan> JournalWatch::setOrphansAside()
{
    std::vector<Orphan> orphans;
    while (m_journal.hasOrphan()) {
        Orphan o;
        o.Path = m_journal.orphanPath();
        MeasurementTable rows;
        o.Contents = Journal::read(o.Path, rows);
        o.KeptAs = m_journal.setOrphanAside();
        if (o.KeptAs.isEmpty())
            o.KeptAs = o.Path;
        orphans.push_back(o);
    }
    return orphans;
}
