#pragma once
// The recovery journal as a run sees it: whether there is one, whether writing it has failed
// (said once, through writeFailed), where the readings are kept besides the run's own outputs,
// and the journals that ended sessions left behind, set aside when nobody is there to ask.

#include "session/Journal.h"

#include <QObject>
#include <vector>

class JournalWatch : public QObject
{
    Q_OBJECT
public:
    explicit JournalWatch(Journal &journal, QObject *parent = nullptr);

    // Why there is no journal; empty when there is one.
    QString unavailable() const { return m_journal.unavailable(); }
    enum class Kept
    {
        Nowhere,     // no journal
        WriteFailed, // the journal could not be written
        InJournal,
    };
    Kept kept() const;
    QString path() const { return m_journal.path(); }

    // Every journal that ended sessions left, read and set aside (kept under another name).
    struct Orphan
    {
        QString Path;
        QString KeptAs; // where it is now
        Journal::Contents Contents;
    };
    std::vector<Orphan> setOrphansAside();

signals:
    void writeFailed(const QString &path, const QString &reason);

private:
    Journal &m_journal;
    bool m_failed = false;
};
