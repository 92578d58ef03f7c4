#include "alarms/AlarmRules.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>

QString readAlarmOptions(const std::optional<QString> &high, const std::optional<QString> &low,
                         const std::optional<QString> &hold,
                         const std::optional<QString> &hysteresis, AlarmSettings &into)
{
    // A temperature may end in its unit; what is left is the number.
    QString limitUnit[2];
    auto withUnit = [&](const std::optional<QString> &given, QString &unit) {
        if (!given)
            return given;
        QString text = given->trimmed();
        for (const int cut : {2, 1})
            if (text.size() > cut && !AlarmRules::unitOf(text.right(cut)).isEmpty()) {
                unit = AlarmRules::unitOf(text.right(cut));
                text.chop(cut);
                break;
            }
        return std::optional<QString>(text.trimmed());
    };
    const std::optional<QString> highNumber = withUnit(high, limitUnit[0]);
    const std::optional<QString> lowNumber = withUnit(low, limitUnit[1]);
    auto number = [](const std::optional<QString> &given, std::optional<double> &value) {
        if (!given)
            return true;
        QString text = *given;
        text.replace(QLatin1Char(','), QLatin1Char('.'));
        bool ok = false;
        const double v = text.toDouble(&ok);
        if (!ok || !std::isfinite(v))
            return false;
        value = v;
        return true;
    };
    AlarmSettings s;
    if (!number(highNumber, s.High) || !number(lowNumber, s.Low))
        return QStringLiteral("--high and --low take a temperature (24, 24C, 75.2F)");
    if (!limitUnit[0].isEmpty() && !limitUnit[1].isEmpty() && limitUnit[0] != limitUnit[1])
        return QStringLiteral("--high and --low must be in the same unit");
    s.Unit = limitUnit[0].isEmpty() ? limitUnit[1] : limitUnit[0];
    if (s.High && s.Low && *s.Low >= *s.High)
        return QStringLiteral("--low must be below --high");
    std::optional<double> holdSeconds, hysteresisValue;
    if (!number(hold, holdSeconds) || holdSeconds.value_or(0) < 0)
        return QStringLiteral("--hold takes a number of seconds, 0 or more");
    if (!number(hysteresis, hysteresisValue) || hysteresisValue.value_or(0) < 0)
        return QStringLiteral("--hysteresis takes a temperature difference, 0 or more");
    s.HoldSeconds = holdSeconds.value_or(0);
    s.Hysteresis = hysteresisValue.value_or(AlarmSettings::DefaultHysteresis);
    into = s;
    return {};
}

AlarmMoment AlarmMoment::now()
{
    QElapsedTimer steady;
    steady.start();
    return {QDateTime::currentDateTime(), steady.msecsSinceReference()};
}

void AlarmRules::setSettings(const AlarmSettings &settings)
{
    m_settings = settings;
}

QList<AlarmEvent> AlarmRules::changeSettings(const AlarmSettings &settings, const AlarmMoment &now,
                                             bool atOnce)
{
    // What an alarm on has seen so far goes on in the new limits' unit.
    const QString before = unit();
    m_settings = settings;
    for (State &s : m_state)
        for (std::optional<double> *v : {&s.worst, &s.limit})
            if (*v)
                *v = convert(**v, before, unit());
    QList<AlarmEvent> events;
    if (!m_haveReading || !atOnce)
        return events;
    for (AlarmKind kind : {AlarmKind::NoReading, AlarmKind::High, AlarmKind::Low})
        step(kind, now, lastValue(), events);
    return events;
}

QList<AlarmEvent> AlarmRules::stillOn(const AlarmMoment &end) const
{
    QList<AlarmEvent> out;
    for (const AlarmKind kind : {AlarmKind::High, AlarmKind::Low, AlarmKind::NoReading})
        if (m_state[int(kind)].active) {
            AlarmEvent e = event(kind, true, end, lastValue());
            e.OpenAtEnd = true;
            out << e;
        }
    return out;
}

void AlarmRules::closeAtEnd(QList<AlarmEvent> &events, const AlarmMoment &end) const
{
    placeStillOn(events, stillOn(end));
}

void placeStillOn(QList<AlarmEvent> &events, const QList<AlarmEvent> &stillOn)
{
    for (const AlarmEvent &open : stillOn) {
        auto start = std::find_if(events.rbegin(), events.rend(), [&](const AlarmEvent &e) {
            return e.Start && e.Kind == open.Kind && e.BreachStart == open.BreachStart;
        });
        if (start != events.rend())
            *start = open;
        else
            events << open;
    }
}

bool AlarmRules::anyActive() const
{
    return m_state[0].active || m_state[1].active || m_state[2].active;
}

QString AlarmRules::kindName(AlarmKind kind)
{
    switch (kind) {
    case AlarmKind::High:
        return QStringLiteral("high");
    case AlarmKind::Low:
        return QStringLiteral("low");
    case AlarmKind::NoReading:
        break;
    case AlarmKind::CableLost:
        return QStringLiteral("cable lost");
    case AlarmKind::MeterSilent:
        return QStringLiteral("meter silent");
    case AlarmKind::NotWritable:
        return QStringLiteral("not writable");
    case AlarmKind::OutboxNotWritable:
        return QStringLiteral("outbox not writable");
    case AlarmKind::BrokerUnreachable:
        return QStringLiteral("broker unreachable");
    case AlarmKind::ClockSet:
        return QStringLiteral("clock set");
    case AlarmKind::NotSigned:
        return QStringLiteral("not signed");
    }
    return QStringLiteral("no reading");
}

std::optional<AlarmKind> AlarmRules::kindNamed(const QString &name)
{
    // "none" is how earlier versions named the alarm of no reading, in their alarm logs,
    // their MQTT alarm messages and TX9_ALARM: a message of such a logger still reads.
    if (name == QLatin1String("none"))
        return AlarmKind::NoReading;
    for (const AlarmKind k : AllAlarmKinds)
        if (kindName(k) == name)
            return k;
    return std::nullopt;
}

std::optional<double> AlarmRules::limitOf(AlarmKind kind) const
{
    return kind == AlarmKind::High  ? m_settings.High
           : kind == AlarmKind::Low ? m_settings.Low
                                    : std::nullopt;
}

bool AlarmRules::beyond(AlarmKind kind, std::optional<double> value) const
{
    switch (kind) {
    case AlarmKind::High:
        return value && m_settings.High && *value > *m_settings.High;
    case AlarmKind::Low:
        return value && m_settings.Low && *value < *m_settings.Low;
    default: // no reading; the blind logger's are not the readings'
        break;
    }
    return !value && m_settings.any();
}

bool AlarmRules::back(AlarmKind kind, std::optional<double> value) const
{
    switch (kind) {
    case AlarmKind::High:
        return value && *value <= *m_settings.High - m_settings.Hysteresis;
    case AlarmKind::Low:
        return value && *value >= *m_settings.Low + m_settings.Hysteresis;
    default:
        break;
    }
    return value.has_value();
}

AlarmEvent AlarmRules::event(AlarmKind kind, bool start, const AlarmMoment &time,
                             std::optional<double> value) const
{
    const State &s = m_state[int(kind)];
    AlarmEvent e;
    e.Kind = kind;
    e.Start = start;
    e.Time = time.Wall;
    e.BreachStart = s.since.Wall;
    e.Value = value;
    e.Limit = s.limit;
    e.Worst = s.worst;
    e.Seconds = double(qMax<qint64>(0, time.SteadyMs - s.since.SteadyMs)) / 1000.0;
    e.Unit = unit();
    return e;
}

bool AlarmRules::held(const State &s, const AlarmMoment &now) const
{
    return double(now.SteadyMs - s.since.SteadyMs) >= m_settings.HoldSeconds * 1000.0;
}

void AlarmRules::step(AlarmKind kind, const AlarmMoment &time, std::optional<double> value,
                      QList<AlarmEvent> &events)
{
    State &s = m_state[int(kind)];
    const bool watched =
        kind == AlarmKind::NoReading ? m_settings.any() : limitOf(kind).has_value();
    if (!watched) {
        // The limit was taken away: what it raised ends now.
        if (s.active)
            events << event(kind, false, time, value);
        s = State();
        return;
    }
    if (kind != AlarmKind::NoReading)
        s.limit = limitOf(kind);
    const bool out = beyond(kind, value);
    if (out && value)
        s.worst = !s.worst                  ? value
                  : kind == AlarmKind::High ? std::max(*s.worst, *value)
                                            : std::min(*s.worst, *value);
    if (s.active) {
        if (back(kind, value)) {
            events << event(kind, false, time, value);
            s = State();
        }
        return;
    }
    if (!s.pending) {
        if (!out)
            return;
        s.pending = true;
        s.since = time;
    } else if (!out) {
        // Back before the hold time passed: no alarm. A reading without a value says nothing
        // of a high or low breach.
        if (value || kind == AlarmKind::NoReading)
            s = State();
        return;
    }
    if (held(s, time)) {
        s.active = true;
        events << event(kind, true, time, value);
    }
}

QList<AlarmEvent> AlarmRules::feed(const AlarmMoment &time, std::optional<double> value,
                                   const QString &unit)
{
    if (m_firstUnit.isEmpty())
        m_firstUnit = unit;
    m_lastRaw = value;
    m_lastUnit = unit;
    m_haveReading = true;
    QList<AlarmEvent> events;
    for (AlarmKind kind : {AlarmKind::NoReading, AlarmKind::High, AlarmKind::Low})
        step(kind, time, lastValue(), events);
    return events;
}

std::optional<double> AlarmRules::lastValue() const
{
    if (!m_lastRaw)
        return std::nullopt;
    return convert(*m_lastRaw, m_lastUnit, unit());
}

double AlarmRules::convert(double value, const QString &from, const QString &to)
{
    static const QString c = QStringLiteral("°C"), f = QStringLiteral("°F");
    if (from == c && to == f)
        return value * 9.0 / 5.0 + 32.0;
    if (from == f && to == c)
        return (value - 32.0) * 5.0 / 9.0;
    return value;
}

QString AlarmRules::unitOf(QStringView text)
{
    QString t = text.trimmed().toString().toUpper();
    if (t.startsWith(QChar(0x00B0)))
        t.remove(0, 1);
    if (t == QLatin1String("C"))
        return QStringLiteral("°C");
    if (t == QLatin1String("F"))
        return QStringLiteral("°F");
    return {};
}

QList<AlarmEvent> AlarmRules::tick(const AlarmMoment &now)
{
    QList<AlarmEvent> events;
    for (AlarmKind kind : {AlarmKind::NoReading, AlarmKind::High, AlarmKind::Low}) {
        State &s = m_state[int(kind)];
        if (s.pending && !s.active && held(s, now)) {
            s.active = true;
            events << event(kind, true, now, lastValue());
        }
    }
    return events;
}

QString AlarmSettings::text() const
{
    auto limit = [this](const std::optional<double> &v) {
        return v ? QStringLiteral("%1%2").arg(QString::number(*v, 'g', 10),
                                              Unit.isEmpty() ? QString() : QLatin1Char(' ') + Unit)
                 : QStringLiteral("none");
    };
    return QStringLiteral("high %1, low %2, hold %3 s, hysteresis %4")
        .arg(limit(High), limit(Low), QString::number(HoldSeconds, 'g', 10),
             QString::number(Hysteresis, 'g', 10));
}

std::optional<AlarmSettings> AlarmSettings::fromText(const QString &text)
{
    // "high 30 °C, low none, hold 0 s, hysteresis 0.5"
    static const QRegularExpression form(QStringLiteral(
        "^high (none|([^\\s,]+)(?: ([^\\s,]+))?), low (none|([^\\s,]+)(?: ([^\\s,]+))?), "
        "hold (\\S+) s, hysteresis (\\S+)$"));
    const QRegularExpressionMatch m = form.match(text.trimmed());
    if (!m.hasMatch())
        return std::nullopt;
    AlarmSettings s;
    bool ok = true;
    auto number = [&ok](const QString &t) {
        bool read = false;
        const double v = t.toDouble(&read);
        ok = ok && read && std::isfinite(v);
        return v;
    };
    if (m.captured(1) != QLatin1String("none"))
        s.High = number(m.captured(2));
    if (m.captured(4) != QLatin1String("none"))
        s.Low = number(m.captured(5));
    s.Unit = AlarmRules::unitOf(m.captured(3).isEmpty() ? m.captured(6) : m.captured(3));
    s.HoldSeconds = number(m.captured(7));
    s.Hysteresis = number(m.captured(8));
    if (!ok || s.HoldSeconds < 0 || s.Hysteresis < 0)
        return std::nullopt;
    return s;
}

QList<AlarmEvent> AlarmRules::gap(const AlarmMoment &lastReading)
{
    QList<AlarmEvent> events;
    for (AlarmKind kind : {AlarmKind::NoReading, AlarmKind::High, AlarmKind::Low}) {
        State &s = m_state[int(kind)];
        if (s.active)
            events << event(kind, false, lastReading, lastValue());
        s = State();
    }
    return events;
}

const AlarmSettings &limitsAt(const LimitsHistory &history, qint64 row)
{
    static const AlarmSettings none;
    const auto after =
        std::upper_bound(history.begin(), history.end(), row,
                         [](qint64 r, const LimitChange &c) { return r < c.FromRow; });
    return after == history.begin() ? none : std::prev(after)->Settings;
}

bool anyLimits(const LimitsHistory &history)
{
    return std::any_of(history.begin(), history.end(),
                       [](const LimitChange &c) { return c.Settings.any(); });
}

void changeFrom(LimitsHistory &history, qint64 row, const AlarmSettings &settings)
{
    while (!history.empty() && history.back().FromRow >= row)
        history.pop_back();
    history.push_back({row, settings});
}

LimitsHistory overlaid(const LimitsHistory &history, qint64 first, qint64 last,
                       const LimitsHistory &inside)
{
    LimitsHistory out;
    const auto add = [&out](qint64 from, const AlarmSettings &s) {
        changeFrom(out, from, s);
        if (out.size() > 1 && out[out.size() - 2].Settings == s)
            out.pop_back(); // no change
    };
    for (const LimitChange &c : history)
        if (c.FromRow < first)
            add(c.FromRow, c.Settings);
    add(first, limitsAt(inside, first));
    for (const LimitChange &c : inside)
        if (c.FromRow > first && c.FromRow <= last)
            add(c.FromRow, c.Settings);
    add(last + 1, limitsAt(history, last + 1));
    for (const LimitChange &c : history)
        if (c.FromRow > last + 1)
            add(c.FromRow, c.Settings);
    return out;
}
