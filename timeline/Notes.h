#pragma once
// Notes on a recording: a line of text on a reading (its row and No) or on a moment without
// one. Made, edited and removed in the time chart; kept in the recovery journal as marks
// between the rows, so that a crash keeps them; written beside a saved data file as
// <file>.notes.csv (time,no,note) and read back with it; listed in the summary report.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <optional>
#include <vector>

class Notes : public QObject
{
    Q_OBJECT
public:
    struct Note
    {
        qint64 Id = 0;
        qint64 TimeMs = 0;
        qint64 Row = -1; // the reading's row in the table; -1: a moment
        std::optional<qint32> No;
        QString Text;
    };
    static constexpr int MaxText = 500; // characters of one note

    using QObject::QObject;

    // Made in this run, or brought from a journal or a file.
    enum class Origin
    {
        Here,
        Brought
    };
    // Returns the new note's id. Text is one line: line breaks and tabs become spaces.
    qint64 add(qint64 timeMs, qint64 row, std::optional<qint32> no, const QString &text,
               Origin origin = Origin::Here);
    bool edit(qint64 id, const QString &text);
    bool remove(qint64 id);
    void clear();
    const std::vector<Note> &all() const { return m_notes; }
    const Note *find(qint64 id) const;

    // The journal's lines for a note made or changed, and removed.
    static QByteArray journalLine(const Note &note);
    static QByteArray removedLine(qint64 id);
    // A journal's note mark (what follows "#note\t" or "#note-removed\t") applied: its row
    // after rowOffset, its id after idBase.
    // False for a mark that is not a readable note (damaged): passed over.
    bool applyMark(const QByteArray &word, const QByteArray &rest, qint64 rowOffset,
                   qint64 idBase = 0);
    qint64 nextId() const { return m_nextId; }

    // <file>.notes.csv: time (ISO 8601 with offset), no (empty for a moment), note.
    static QByteArray csv(const std::vector<Note> &notes);
    // Reads such a file into notes (appended); false with why for one that is not. Lines that
    // are no note are passed over and counted in unread (when given; else the first fails it).
    static bool readCsv(const QByteArray &bytes, std::vector<Note> &notes, QString *why,
                        qint64 *unread = nullptr);
    static QString besideFile(const QString &dataFile) { return dataFile + ".notes.csv"; }
    // The notes beside dataFile appended to notes, read to the end of the file: true when
    // there are none or they read (unread: the lines that are no note, passed over), false
    // with why when the file is there and cannot be read, or is past MaxBesideBytes or
    // MaxBesideNotes. The readings it belongs to are never lost with it: callers say why and
    // go on without the notes.
    static constexpr qint64 MaxBesideBytes = 64 << 20;
    static constexpr qint64 MaxBesideNotes = 1000000;
    static bool readBeside(const QString &dataFile, std::vector<Note> &notes, QString *why,
                           qint64 *unread = nullptr);

signals:
    // Made (or changed) and removed; after any change, changed.
    void noted(const Notes::Note &note);
    void removed(qint64 id);
    void changed();
    // A note made, changed or removed in this run (not one brought from a journal or file),
    // for what passes notes on as they happen.
    void madeHere(const Notes::Note &note, bool removed);

private:
    static QString oneLine(const QString &text);
    std::vector<Note> m_notes;
    qint64 m_nextId = 1;
    bool m_bringing = false; // applying a journal's marks
};
