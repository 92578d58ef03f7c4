#pragma once
// A simulated TX-9 behind a simulated "USB to Serial" cable, as a model on the simulated HID
// bus. What the instrument does that the program does not rely on is our own choice:
//
// - The cable: vendor 0x1A86, product 0xE008, product string "USB to Serial", no serial number.
//   Input reports are 11 bytes: the report ID 0, a count byte (high nibble 0xF, low nibble the
//   number of serial bytes, 0 for an idle report) and up to 9 serial bytes. Between frames
//   it sends idle reports, one every IdleIntervalUs (10 ms by default).
// - The cable passes serial bytes only once the baud-rate feature report has set 2400 baud.
//   The instrument then announces itself with one identification frame "AD10" with its model
//   code ("8142" at positions 3 to 6, a 1055-degree model).
// - Command 90 starts live "AD01" frames, one every LiveIntervalUs (0.4 s): a slow random walk
//   around room temperature in degrees Celsius (or Fahrenheit), one decimal, now and then
//   an over-range display (blank, 0, L, blank) or a dash display.
// - Command 7 sends the readings stored in its memory as "AD07" frames; the last one carries
//   the marker "99". An empty memory sends a single end frame "AD00" with the marker.
// - Command 91 stops all sending; idle reports go on. The baud-rate report resets the cable,
//   dropping what it had not sent yet.
// - Each frame is split into reports of 1 to 9 serial bytes, chosen at random.

#include "sim/SimulatedHidBus.h"

#include <QList>
#include <QRandomGenerator>
#include <deque>
#include <mutex>

struct ThermometerSettings
{
    qint64 IdleIntervalUs = 10'000;
    qint64 LiveIntervalUs = 400'000;
    qint64 ByteGapUs = 1'000; // between the reports of one frame
    bool Fahrenheit = false;
    int OddDisplayEvery = 300; // one over-range or dash display in so many live frames
    QString ModelCode = QStringLiteral("8142");
    quint32 Seed = 2026;
    // Forced, so that every feature can be seen within a minute (seconds of live readings
    // since the first; below 0: never): an over-range display from one moment (for
    // OverRangeSeconds, so that a sampling interval of a second stores it), and a breach (the
    // temperature BreachDegrees °C, or as much in °F, higher for BreachSeconds) from another.
    double OverRangeAtS = -1;
    double OverRangeSeconds = 2;
    double BreachAtS = -1;
    double BreachSeconds = 30;
    double BreachDegrees = 10;
};

class SimulatedThermometer : public VirtualHidModel
{
public:
    explicit SimulatedThermometer(const ThermometerSettings &settings = {});

    // The interface description of the cable, for SimulatedHidBus::plug.
    static VirtualInterface cableInterface();

    // A stored reading: flags character and the four digit codes, e.g. {"1", "A235"}.
    struct Stored
    {
        QString Flags;
        QString Digits;
    };
    void setMemory(const QList<Stored> &memory);

    // Counters for tests and benchmarks.
    qint64 liveFramesSent() const;
    qint64 storedFramesSent() const;
    qint64 idleReportsSent() const;
    QList<quint8> commands() const;
    int baudRate() const;
    bool sendingLive() const;
    // Frame texts (as the program keeps them) of the last 1000 frames sent in full, in order.
    QStringList framesSent() const;

    void outputReport(const QByteArray &report) override;
    bool featureReport(const QByteArray &report) override;
    std::optional<std::pair<qint64, QByteArray>> next() override;

private:
    void queueFrame(const QString &frameText);
    QString nextLiveFrame();

    ThermometerSettings m_settings;
    mutable std::mutex m_mutex; // guards everything below
    QRandomGenerator m_rng;
    int m_baud = 0;
    bool m_live = false;
    qint64 m_sinceLiveUs = 0;
    int m_tenths = 235;
    qint64 m_liveCount = 0;
    QList<Stored> m_memory;
    std::deque<QByteArray> m_pendingSerial; // the next frames' reports, already cut
    std::deque<QString> m_frameEnds;        // the frame each empty entry above ends
    qint64 m_liveSent = 0, m_storedSent = 0, m_idleSent = 0;
    QList<quint8> m_commands;
    QStringList m_frames;
};
