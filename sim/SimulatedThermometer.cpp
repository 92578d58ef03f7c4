#include "sim/SimulatedThermometer.h"

#include "decode/MeterCommand.h"
#include "decode/Protocol.h"

#include <algorithm>
#include <cmath>

namespace {

QString digitsFor(int tenths)
{
    // Four digit codes, blank-padded on the left ("A"), minus sign "B".
    QString s = QString::number(std::abs(tenths));
    if (s.size() < 2)
        s.prepend(QLatin1Char('0'));
    if (tenths < 0)
        s.prepend(QLatin1Char('B'));
    while (s.size() < 4)
        s.prepend(QLatin1Char('A'));
    return s.right(4);
}

} // namespace

SimulatedThermometer::SimulatedThermometer(const ThermometerSettings &settings)
    : m_settings(settings), m_rng(settings.Seed)
{
    // A room's temperature in the unit the meter shows: 23.5 °C, or 74.3 °F.
    m_tenths = settings.Fahrenheit ? 743 : 235;
    for (int i = 0; i < 25; ++i)
        m_memory.append({QStringLiteral("1"), digitsFor(180 + 7 * i % 60)});
}

VirtualInterface SimulatedThermometer::cableInterface()
{
    VirtualInterface v;
    v.InstanceId = QStringLiteral("sim/usb-serial-cable");
    v.Path = QStringLiteral("/sim/hidraw-usb-serial");
    v.Product = QStringLiteral("USB to Serial");
    v.Attributes = {0x1A86, 0xE008, 0x0100};
    v.Caps = {11, 11, 10};
    v.Properties.insert(QStringLiteral("HID_NAME"), QStringLiteral("USB to Serial"));
    return v;
}

void SimulatedThermometer::setMemory(const QList<Stored> &memory)
{
    std::lock_guard lock(m_mutex);
    m_memory = memory;
}

qint64 SimulatedThermometer::liveFramesSent() const
{
    std::lock_guard lock(m_mutex);
    return m_liveSent;
}

qint64 SimulatedThermometer::storedFramesSent() const
{
    std::lock_guard lock(m_mutex);
    return m_storedSent;
}

qint64 SimulatedThermometer::idleReportsSent() const
{
    std::lock_guard lock(m_mutex);
    return m_idleSent;
}

QList<quint8> SimulatedThermometer::commands() const
{
    std::lock_guard lock(m_mutex);
    return m_commands;
}

int SimulatedThermometer::baudRate() const
{
    std::lock_guard lock(m_mutex);
    return m_baud;
}

bool SimulatedThermometer::sendingLive() const
{
    std::lock_guard lock(m_mutex);
    return m_live;
}

QStringList SimulatedThermometer::framesSent() const
{
    std::lock_guard lock(m_mutex);
    return m_frames;
}

bool SimulatedThermometer::featureReport(const QByteArray &report)
{
    const std::optional<int> baud = Protocol::baudOf(report);
    if (!baud)
        return false;
    std::lock_guard lock(m_mutex);
    // Setting the speed resets the cable: whatever it still held is gone.
    m_pendingSerial.clear();
    m_frameEnds.clear();
    m_baud = *baud;
    if (m_baud == 2400)
        queueFrame(QStringLiteral("A0") + m_settings.ModelCode + QStringLiteral("1000D"));
    return true;
}

void SimulatedThermometer::outputReport(const QByteArray &report)
{
    const std::optional<quint8> code = Protocol::commandOf(report);
    if (!code)
        return;
    const quint8 command = *code;
    std::lock_guard lock(m_mutex);
    m_commands.append(command);
    if (m_baud != 2400)
        return; // the instrument cannot hear a cable at the wrong speed
    switch (command) {
    case Decode::code(Decode::MeterCommand::Live):
        m_live = true;
        m_sinceLiveUs = 0;
        break;
    case Decode::code(Decode::MeterCommand::Download):
        m_live = false;
        if (m_memory.isEmpty()) {
            queueFrame(QStringLiteral("A0AAAA0099D"));
        } else {
            for (int i = 0; i < m_memory.size(); ++i) {
                const bool last = i == m_memory.size() - 1;
                queueFrame(QStringLiteral("A") + m_memory[i].Flags + m_memory[i].Digits +
                           QStringLiteral("07") +
                           (last ? QStringLiteral("99") : QStringLiteral("00")) +
                           QStringLiteral("D"));
            }
        }
        break;
    case Decode::code(Decode::MeterCommand::Stop):
        m_live = false;
        m_pendingSerial.clear();
        m_frameEnds.clear();
        break;
    default:
        break;
    }
}

void SimulatedThermometer::queueFrame(const QString &frameText)
{
    // Wire order: bytes 1..10 are characters 2..11, byte 11 (line feed) is character 1.
    const QByteArray bytes = Protocol::frameBytes(frameText);
    for (int i = 0; i < bytes.size();) {
        const int n = qMin(int(bytes.size()) - i, 1 + int(m_rng.bounded(9)));
        m_pendingSerial.push_back(Protocol::inputReport(bytes.mid(i, n)));
        i += n;
    }
    // One idle report ends the frame; the frame counts as sent when it goes out.
    m_pendingSerial.push_back(QByteArray());
    m_frameEnds.push_back(frameText);
}

QString SimulatedThermometer::nextLiveFrame()
{
    ++m_liveCount;
    m_tenths = std::clamp(m_tenths + int(m_rng.bounded(9)) - 4, -300, 9990);
    QString flags = m_settings.Fahrenheit ? QStringLiteral("3") : QStringLiteral("1");
    // The moment of this frame, in seconds of live readings.
    const double at = double(m_liveCount - 1) * double(m_settings.LiveIntervalUs) / 1e6;
    const double step = double(m_settings.LiveIntervalUs) / 1e6;
    const bool overRange =
        m_settings.OverRangeAtS >= 0 && at >= m_settings.OverRangeAtS &&
        at < m_settings.OverRangeAtS + std::max(step, m_settings.OverRangeSeconds);
    const bool breach = m_settings.BreachAtS >= 0 && at >= m_settings.BreachAtS &&
                        at < m_settings.BreachAtS + m_settings.BreachSeconds;
    const int shown =
        m_tenths +
        (breach ? int(std::lround(m_settings.BreachDegrees * (m_settings.Fahrenheit ? 18.0 : 10.0)))
                : 0);
    QString digits;
    if (overRange)
        digits = QStringLiteral("A0FA");
    else if (m_settings.OddDisplayEvery > 0 && m_liveCount % m_settings.OddDisplayEvery == 0)
        digits = (m_liveCount / m_settings.OddDisplayEvery) % 2 ? QStringLiteral("A0FA")
                                                                : QStringLiteral("BBBB");
    else
        digits = digitsFor(shown);
    return QStringLiteral("A") + flags + digits + QStringLiteral("0100D");
}

std::optional<std::pair<qint64, QByteArray>> SimulatedThermometer::next()
{
    std::lock_guard lock(m_mutex);
    if (m_baud == 2400 && !m_pendingSerial.empty()) {
        QByteArray r = m_pendingSerial.front();
        m_pendingSerial.pop_front();
        if (r.isEmpty()) {
            const QString frame = m_frameEnds.front();
            m_frameEnds.pop_front();
            m_frames.append(frame);
            if (m_frames.size() > 1000) // a days-long run keeps only the recent ones
                m_frames.removeFirst();
            const QString type = frame.mid(6, 2);
            if (type == QLatin1String("01"))
                ++m_liveSent;
            else if (type == QLatin1String("07"))
                ++m_storedSent;
            ++m_idleSent;
            return std::make_pair(m_settings.ByteGapUs, Protocol::inputReport(QByteArray()));
        }
        return std::make_pair(m_settings.ByteGapUs, r);
    }
    // An idle report; a live frame becomes due once its interval has passed.
    m_sinceLiveUs += m_settings.IdleIntervalUs;
    if (m_live && m_sinceLiveUs >= m_settings.LiveIntervalUs) {
        m_sinceLiveUs = 0;
        queueFrame(nextLiveFrame());
    }
    ++m_idleSent;
    return std::make_pair(m_settings.IdleIntervalUs, Protocol::inputReport(QByteArray()));
}
