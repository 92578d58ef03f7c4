#pragma once
// One logging session: the HID controller (in the engine), the measurement table, the
// recovery journal and the engine, owned together for the life of the session. A face (the
// window, the headless run) creates one, answers its few questions through Settings, may route
// the connect sequence's steps through controls of its own (Route), and listens to the
// engine's signals (engine()). Every stored row leaves the engine as one rowStored signal with
// its full capture time; the data file of a headless run, standard output and the outputs
// subscribe to it. All signals are emitted from inside the engine step they report, so a
// direct connection sees them in the order of the steps.

#include "decode/FrameDecoder.h"
#include "session/LoggerEngine.h"

#include <QDateTime>
#include <QObject>
#include <memory>
#include <optional>

class HidPlatform;
class Journal;
class MeasurementTable;
class THidDevice;

class LoggerSession : public QObject
{
    Q_OBJECT
public:
    using Settings = LoggerSettings;
    // The steps of the connect sequence, for a face that takes them through controls of its
    // own; without one the session takes them itself.
    class Route
    {
    public:
        virtual ~Route() = default;
        virtual void stopReadingStep() = 0;
        virtual void baudRateStep() = 0;
        virtual void startCommandStep() = 0;
        virtual void sendUsbData(quint8 value) = 0;
        virtual THidDataEvent dataHandler() = 0;
    };

    // journalFolder: where the recovery journal's slots are.
    LoggerSession(Settings &settings, const QString &journalFolder, QObject *parent = nullptr,
                  Route *route = nullptr);
    ~LoggerSession() override;

    LoggerEngine &engine() { return m_engine; }
    const LoggerEngine &engine() const { return m_engine; }
    MeasurementTable &table() { return *m_table; }
    const MeasurementTable &table() const { return *m_table; }
    Journal &journal() { return *m_journal; }
    // The handlers' shared state (the window's handlers keep their own names over it).
    LoggerState &state() { return m_state; }
    const LoggerState &state() const { return m_state; }
    // Whether the rows stored now come from a download of the instrument's memory.
    bool downloading() const { return m_settings.recallData(); }
    // The sampling interval in seconds; 0 when every reading is stored.
    int samplingSeconds() const
    {
        return m_settings.recordSI() ? qMax(0, m_settings.intervalText().toInt()) : 0;
    }
    // How long a reading stands for the temperature now: three sampling intervals, at least
    // 10 s. Past it, a dashboard shows none (Home Assistant's expire_after, the metrics).
    int staleAfterSeconds() const { return qMax(10, 3 * samplingSeconds()); }

private:
    // The engine's face: the settings' answers and the route's steps.
    class EngineFace;
    friend class EngineFace;

    Settings &m_settings;
    Route *m_route;
    LoggerState m_state;
    MeasurementTable *m_table;
    Journal *m_journal;
    std::unique_ptr<LoggerEngine::Face> m_face;
    LoggerEngine m_engine;
};
