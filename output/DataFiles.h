#pragma once
// The measurement table's data files: tab-separated text (written for every extension other
// than ".xml") and the XML data packet. Both are written in the locale's own encoding. Saves
// go through a temporary file, so a failed save leaves the old file as it was. Only regular
// files are read or written, and whatever is saved loads back to the rows it holds.

#include <QDate>
#include <QString>
#include <QStringList>
#include <atomic>
#include <optional>
#include <vector>

class MeasurementTable;

namespace DataFiles {

// The extension from the last "." after the last path separator, dot included, lower-cased.
QString extensionOf(const QString &path);

// Replaces list with the pieces of line cut at every delimiter.
void SplitByDelimiter(const QString &line, QChar delimiter, QStringList &list);

// Leading and trailing blanks and control characters removed.
QString trimmed(const QString &s);

QByteArray textFile(const MeasurementTable &table, const QDate &date);
// The text format in pieces, for files that grow row by row: the three header lines, and the
// lines of rows first..last.
QByteArray textFileHeader(const QDate &date);
// withCapture: each row's capture time, when it has one, as a fifth field (the journal's
// lines; the loaders take it back).
void appendTextRows(QByteArray &out, const MeasurementTable &table, qint64 first, qint64 last,
                    bool withCapture = false);
QByteArray xmlPacket(const MeasurementTable &table);

// Writes the table to path in the format its extension selects. Returns false when the file
// could not be written; the old file is then untouched and reason, when given, says why.
// rowsDone, when given, counts the rows written so far (for a progress display).
bool saveTable(const MeasurementTable &table, const QString &path, const QDate &date,
               std::atomic<qint64> *rowsDone = nullptr, QString *reason = nullptr);

// CSV for spreadsheets (RFC 4180, UTF-8): the header line no,time,value,unit,display, the
// time in ISO 8601 with its offset (empty for a row without one), the value with a decimal
// point whatever the locale (empty for a reading without a number), the unit as °C or °F,
// and the value's text as the panel showed it. An export with notes has a last column, note:
// a row's note in it, a second note on the same reading on a line of its own after the row
// (no and time, no value), and a note at a moment on a line with only its time and note.
struct CsvNote
{
    qint64 Row = -1; // the table's row, -1 for a moment
    qint64 TimeMs = 0;
    QString Text;
};
QByteArray csvHeader(bool noteColumn = false);
void appendCsvRows(QByteArray &out, const MeasurementTable &table, qint64 first, qint64 last);
bool saveCsv(const MeasurementTable &table, const QString &path,
             std::atomic<qint64> *rowsDone = nullptr, QString *reason = nullptr,
             const std::vector<CsvNote> *notes = nullptr);

enum class LoadStatus
{
    Ok,
    Failed,
    Cancelled // asked to stop: the rows read until then are kept
};
// A mark between a journal's rows, before the row Row of the load (0: the first):
// "#break<TAB>word<TAB>capture time[<TAB>cable]" where the connection was made, ended or lost
// (word; Rest what follows it), or a
// note made, changed or removed ("#note<TAB>...", "#note-removed<TAB>id"; Word "note" or
// "note-removed", Rest what follows).
struct Mark
{
    qint64 Row = 0;
    QByteArray Word;
    QByteArray Rest;
};
// Appends the file's rows (after emptying the table when emptyOnLoad). On failure the rows
// before the failing line or packet row stay and no part of the failing row is added.
// bytesDone, when given, counts the file's bytes read so far (for a progress display).
// cancel, when given and set, ends the load early. A text file's marks (a kept journal's) are
// collected in marks when given.
LoadStatus loadTable(const QString &path, MeasurementTable &table, bool emptyOnLoad,
                     std::atomic<qint64> *bytesDone = nullptr,
                     const std::atomic<bool> *cancel = nullptr, std::vector<Mark> *marks = nullptr);
// cable, when given, names the cable after the time ("#break<TAB>connected<TAB>time<TAB>A1").
QByteArray markLine(const QByteArray &word, qint64 capturedPacked, const QString &cable = {});
// A journal of the program's text format: every whole line that parses becomes a row; the
// others are skipped and counted in unreadable (a line too long to read ends the reading, and
// counts as one). A last line without its line break is torn, not a row. Marks are collected
// in marks when given (and are neither rows nor unreadable; a text file with them loads too).
LoadStatus loadJournal(const QString &path, MeasurementTable &table, qint64 *unreadable,
                       std::atomic<qint64> *bytesDone = nullptr,
                       const std::atomic<bool> *cancel = nullptr,
                       std::vector<Mark> *marks = nullptr);
// This program's CSV (csvHeader's columns) read back: rows with their capture times, and, when
// notes is given, the notes of a note column (Row counted from the file's first row). Failed,
// with why, for a file that is not one (what was read until then is kept). upTo, when not
// -1: only the file's first upTo bytes are read.
LoadStatus loadCsv(const QString &path, MeasurementTable &table, QString *why,
                   std::vector<CsvNote> *notes = nullptr, qint64 upTo = -1);
// A regular file opened for reading (close it), or -1 for anything else (a pipe, a device, a
// folder) and when it cannot be opened. Never blocks, not even on a FIFO.
int openRegularFile(const QString &path);
// A file's contents already read, loaded as loadTable would.
LoadStatus loadBytes(const QByteArray &bytes, bool xml, MeasurementTable &table,
                     std::atomic<qint64> *bytesDone = nullptr);

} // namespace DataFiles
