#include "timeline/Notes.h"

#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"

#include <QDateTime>
#include <QFile>

QString Notes::oneLine(const QString &text)
{
    QString t = text.left(MaxText);
    for (QChar &c : t)
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    return t.trimmed();
}

qint64 Notes::add(qint64 timeMs, qint64 row, std::optional<qint32> no, const QString &text,
                  Origin origin)
{
    Note n{m_nextId++, timeMs, row, no, oneLine(text)};
    m_notes.push_back(n);
    emit noted(n);
    if (origin == Origin::Here)
        emit madeHere(n, false);
    emit changed();
    return n.Id;
}

const Notes::Note *Notes::find(qint64 id) const
{
    for (const Note &n : m_notes)
        if (n.Id == id)
            return &n;
    return nullptr;
}

bool Notes::edit(qint64 id, const QString &text)
{
    for (Note &n : m_notes)
        if (n.Id == id) {
            n.Text = oneLine(text);
            emit noted(n);
            emit madeHere(n, false);
            emit changed();
            return true;
        }
    return false;
}

bool Notes::remove(qint64 id)
{
    const auto it =
        std::find_if(m_notes.begin(), m_notes.end(), [id](const Note &n) { return n.Id == id; });
    if (it == m_notes.end())
        return false;
    const Note gone = *it;
    m_notes.erase(it);
    emit removed(id);
    if (!m_bringing)
        emit madeHere(gone, true);
    emit changed();
    return true;
}

void Notes::clear()
{
    m_notes.clear();
    emit changed();
}

QByteArray Notes::journalLine(const Note &n)
{
    return "#note\t" + QByteArray::number(n.Id) + '\t' +
           CaptureTime::text(MeasurementTable::packLocal(n.TimeMs)) + '\t' +
           QByteArray::number(n.Row) + '\t' + (n.No ? QByteArray::number(*n.No) : QByteArray()) +
           '\t' + n.Text.toUtf8() + "\r\n";
}

QByteArray Notes::removedLine(qint64 id)
{
    return "#note-removed\t" + QByteArray::number(id) + "\r\n";
}

bool Notes::applyMark(const QByteArray &word, const QByteArray &rest, qint64 rowOffset,
                      qint64 idBase)
{
    const QList<QByteArray> f = rest.split('\t');
    bool ok = false;
    const qint64 id = f.value(0).toLongLong(&ok) + idBase;
    if (!ok || id <= idBase)
        return false;
    if (word == "note-removed") {
        m_bringing = true;
        remove(id);
        m_bringing = false;
        return true;
    }
    if (word != "note" || f.size() < 5)
        return false;
    const qint64 packed =
        CaptureTime::parse(std::string_view(f[1].constData(), size_t(f[1].size())));
    if (packed == 0)
        return false;
    const qint64 row = f[2].toLongLong();
    bool numbered = false;
    const qint32 no = f[3].toInt(&numbered);
    const QString text = QString::fromUtf8(f.mid(4).join('\t'));
    // A note journaled again (edited) replaces the one before.
    for (Note &n : m_notes)
        if (n.Id == id) {
            n.Text = oneLine(text);
            emit noted(n);
            emit changed();
            return true;
        }
    m_nextId = qMax(m_nextId, id + 1);
    Note n{id, MeasurementTable::msOfPacked(packed), row >= 0 ? row + rowOffset : -1,
           numbered ? std::optional<qint32>(no) : std::nullopt, oneLine(text)};
    m_notes.push_back(n);
    emit noted(n);
    emit changed();
    return true;
}

QByteArray Notes::csv(const std::vector<Note> &notes)
{
    QByteArray out = "time,no,note\r\n";
    for (const Note &n : notes) {
        out += CaptureTime::text(MeasurementTable::packLocal(n.TimeMs));
        out += ',';
        if (n.No)
            out += QByteArray::number(*n.No);
        QByteArray text = n.Text.toUtf8();
        text.replace('"', "\"\"");
        out += ",\"" + text + "\"\r\n";
    }
    return out;
}

bool Notes::readBeside(const QString &dataFile, std::vector<Note> &notes, QString *why,
                       qint64 *unread)
{
    QFile file(besideFile(dataFile));
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return false;
    }
    if (file.size() > MaxBesideBytes) {
        *why = QStringLiteral("it holds %1 bytes, more than the %2 a file of notes may")
                   .arg(file.size())
                   .arg(MaxBesideBytes);
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (bytes.size() != file.size()) {
        *why = file.errorString();
        return false;
    }
    if (bytes.count('\n') > MaxBesideNotes + 1) {
        *why = QStringLiteral("it holds more than %1 lines").arg(MaxBesideNotes);
        return false;
    }
    qint64 passed = 0;
    std::vector<Note> read;
    if (!readCsv(bytes, read, why, &passed))
        return false;
    notes.insert(notes.end(), read.begin(), read.end());
    if (unread)
        *unread += passed;
    return true;
}

bool Notes::readCsv(const QByteArray &bytes, std::vector<Note> &notes, QString *why, qint64 *unread)
{
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.isEmpty() || !lines[0].startsWith("time,no,note")) {
        *why = QStringLiteral("it does not begin with time,no,note");
        return false;
    }
    auto notANote = [&](const QString &what) {
        if (unread) {
            ++*unread;
            return true;
        }
        *why = what;
        return false;
    };
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        if (line.size() > 4 * MaxText) {
            if (!notANote(QStringLiteral("line %1 is too long").arg(i + 1)))
                return false;
            continue;
        }
        const qsizetype c1 = line.indexOf(','), c2 = line.indexOf(',', c1 + 1);
        const qint64 packed =
            c1 > 0 ? CaptureTime::parse(std::string_view(line.constData(), size_t(c1))) : 0;
        if (packed == 0 || c2 < 0) {
            if (!notANote(QStringLiteral("line %1 is not a note").arg(i + 1)))
                return false;
            continue;
        }
        bool numbered = false;
        const qint32 no = line.mid(c1 + 1, c2 - c1 - 1).toInt(&numbered);
        QByteArray text = line.mid(c2 + 1);
        if (text.startsWith('"') && text.endsWith('"') && text.size() >= 2)
            text = text.mid(1, text.size() - 2).replace("\"\"", "\"");
        notes.push_back({0, MeasurementTable::msOfPacked(packed), -1,
                         numbered ? std::optional<qint32>(no) : std::nullopt,
                         oneLine(QString::fromUtf8(text))});
    }
    return true;
}
