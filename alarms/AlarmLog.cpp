#include "alarms/AlarmLog.h"

#include "output/SafeFile.h"
#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray iso(const QDateTime &t)
{
    return t.isValid() ? CaptureTime::text(MeasurementTable::packTime(t)) : QByteArray();
}

} // namespace

AlarmLog::~AlarmLog()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QByteArray AlarmLog::header(bool cableColumn)
{
    return cableColumn
               ? QByteArrayLiteral(
                     "event\talarm\tstart\tend\tlimit\tworst\tduration_s\tvalue\tunit\tcable\n")
               : QByteArrayLiteral(
                     "event\talarm\tstart\tend\tlimit\tworst\tduration_s\tvalue\tunit\n");
}

QString AlarmLog::number(std::optional<double> v)
{
    return v ? QString::number(*v, 'g', 10) : QString();
}

QByteArray AlarmLog::line(const AlarmEvent &e, const QString &unit, const QString *cable)
{
    QByteArrayList f;
    f << (e.Start ? "start" : "end") << AlarmRules::kindName(e.Kind).toUtf8() << iso(e.BreachStart)
      << (e.Start ? QByteArray() : iso(e.Time)) << number(e.Limit).toUtf8()
      << number(e.Worst).toUtf8()
      << (e.Start ? QByteArray() : QByteArray::number(e.Seconds, 'f', 3))
      << number(e.Value).toUtf8() << unit.toUtf8();
    if (cable) {
        QByteArray c = cable->toUtf8();
        c.replace('\t', ' ').replace('\n', ' ').replace('\r', ' ');
        f << c;
    }
    return f.join('\t') + '\n';
}

QString AlarmLog::sentence(const AlarmEvent &e, const QString &unit)
{
    if (e.Stopped && !e.Start) {
        // What the alarm's own end would say, and why it ends now.
        AlarmEvent own = e;
        own.Stopped = false;
        own.Detail.clear();
        QString s = sentence(own, unit);
        s.chop(1);
        return s + QStringLiteral(" (%1).").arg(QLatin1String(AlarmEvent::StoppedDetail));
    }
    // An alarm starts when the breach began; a hold time raises it later, which is said too.
    const QString u = unit.isEmpty() ? QString() : QStringLiteral(" ") + unit;
    const QString start = QString::fromLatin1(iso(e.BreachStart));
    const QString when = QString::fromLatin1(iso(e.Time));
    const QString raised =
        e.Seconds > 0
            ? QStringLiteral(" (raised at %1, after %2 s)").arg(when).arg(e.Seconds, 0, 'f', 1)
            : QString();
    if (isBlindAlarm(e.Kind)) {
        const QString detail = e.Detail.isEmpty() ? QString() : QStringLiteral(": ") + e.Detail;
        return e.Start ? QStringLiteral("Alarm %1 started at %2%3%4.")
                             .arg(AlarmRules::kindName(e.Kind), start, detail, raised)
                       : QStringLiteral("Alarm %1 ended at %2 after %3 s.")
                             .arg(AlarmRules::kindName(e.Kind), when)
                             .arg(e.Seconds, 0, 'f', 1);
    }
    if (e.Kind == AlarmKind::NoReading)
        return e.Start ? QStringLiteral("Alarm no reading started at %1%2.").arg(start, raised)
                       : QStringLiteral("Alarm no reading ended at %1 after %2 s: the reading is "
                                        "%3%4.")
                             .arg(when)
                             .arg(e.Seconds, 0, 'f', 1)
                             .arg(number(e.Value), u);
    const QString name = AlarmRules::kindName(e.Kind);
    const QString side =
        e.Kind == AlarmKind::High ? QStringLiteral("above") : QStringLiteral("below");
    if (e.Start)
        return QStringLiteral("Alarm %1 started at %2: %3%4 is %5 the limit %6%4%7.")
            .arg(name, start, number(e.Value), u, side, number(e.Limit), raised);
    return QStringLiteral("Alarm %1 ended at %2 after %3 s: %4%5, the worst %6%5, limit %7%5.")
        .arg(name, when)
        .arg(e.Seconds, 0, 'f', 1)
        .arg(number(e.Value), u, number(e.Worst), number(e.Limit));
}

bool AlarmLog::open(const QString &path, bool atFirstEntry)
{
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
    m_path = path;
    const QByteArray name = QFile::encodeName(path);
    struct stat there = {};
    m_deferred = atFirstEntry && ::lstat(name.constData(), &there) != 0 && errno == ENOENT;
    if (m_deferred)
        return true;
    m_fd = ::open(name.constData(),
                  O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0666);
    struct stat st = {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_error = m_fd < 0 ? FileIo::reason(errno) : QStringLiteral("not a regular file");
        if (m_fd >= 0)
            ::close(std::exchange(m_fd, -1));
        return false;
    }
    // A log begun without the cable column goes on without it, each line as its header.
    m_cableColumn = true;
    if (st.st_size > 0) {
        QFile existing(path);
        m_cableColumn = !existing.open(QIODevice::ReadOnly) ||
                        existing.readLine(header().size() + 1) != header(false);
    }
    if (st.st_size == 0) {
        const QByteArray h = header();
        if (const int e = FileIo::writeAll(m_fd, h.constData(), h.size(), path); e != 0) {
            m_error = FileIo::reason(e);
            return false;
        }
    }
    return true;
}

bool AlarmLog::add(const AlarmEvent &event, const QString &unit)
{
    m_entries << event;
    m_units << unit;
    m_cables << m_cable;
    if (std::exchange(m_deferred, false) && !open(m_path))
        return false;
    if (m_fd < 0)
        return m_path.isEmpty();
    const QByteArray l = line(event, unit, m_cableColumn ? &m_cable : nullptr);
    int e = FileIo::writeAll(m_fd, l.constData(), l.size(), m_path);
    if (e == 0)
        e = FileIo::sync(m_fd, m_path);
    if (e != 0) {
        m_error = FileIo::reason(e);
        return false;
    }
    return true;
}

bool AlarmLog::saveAs(const QString &path, QString *reason) const
{
    QByteArray bytes = header();
    for (qsizetype i = 0; i < m_entries.size(); ++i)
        bytes += line(m_entries[i], m_units[i], &m_cables[i]);
    SafeFile file(path);
    const bool saved = file.open() && file.write(bytes) && file.commit();
    if (!saved && reason)
        *reason = file.errorString();
    return saved;
}
