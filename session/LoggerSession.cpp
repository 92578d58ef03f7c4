#include "session/LoggerSession.h"

#include "recording/MeasurementTable.h"
#include "session/Journal.h"

class LoggerSession::EngineFace : public LoggerEngine::Face
{
public:
    explicit EngineFace(LoggerSession &s) : m_s(s) {}

    bool recallData() const override { return m_s.m_settings.recallData(); }
    bool recordSI() const override { return m_s.m_settings.recordSI(); }
    bool repeatSet() const override { return m_s.m_settings.repeatSet(); }
    QString intervalText() const override { return m_s.m_settings.intervalText(); }
    bool connectWanted() const override { return m_s.m_settings.connectWanted(); }
    int chosenRow() const override { return m_s.m_settings.chosenRow(); }
    int baudRate() const override { return m_s.m_settings.baudRate(); }
    bool clearBeforeDownload() override { return m_s.m_settings.clearBeforeDownload(); }

    void stopReadingStep(LoggerEngine &engine) override
    {
        m_s.m_route ? m_s.m_route->stopReadingStep() : Face::stopReadingStep(engine);
    }
    void baudRateStep(LoggerEngine &engine) override
    {
        m_s.m_route ? m_s.m_route->baudRateStep() : Face::baudRateStep(engine);
    }
    void startCommandStep(LoggerEngine &engine) override
    {
        m_s.m_route ? m_s.m_route->startCommandStep() : Face::startCommandStep(engine);
    }
    void sendUsbData(LoggerEngine &engine, quint8 value) override
    {
        m_s.m_route ? m_s.m_route->sendUsbData(value) : Face::sendUsbData(engine, value);
    }
    THidDataEvent dataHandler(LoggerEngine &engine) override
    {
        return m_s.m_route ? m_s.m_route->dataHandler() : Face::dataHandler(engine);
    }

    void usbLog(const QString &line) override { emit m_s.usbLog(line); }
    void connecting() override { emit m_s.connecting(); }
    void recallLocked(bool locked) override { emit m_s.recallLocked(locked); }
    void noReadWriteAccess(THidDevice *device, quint32 error) override
    {
        emit m_s.noReadWriteAccess(device, error);
    }
    void noDevice(quint8 kind) override { emit m_s.noDevice(kind); }
    void frameArrived(const QString &frameText) override { emit m_s.frameArrived(frameText); }
    void identificationArrived(const QString &frameText) override
    {
        emit m_s.identificationArrived(frameText);
    }
    void recordSIUnchecked() override { emit m_s.recordSIUnchecked(); }
    void readingShown(const Decode::DerivedReading &reading) override
    {
        emit m_s.readingShown(reading);
    }
    void rowStored(qint64 row, float value, std::optional<double> newMaxY,
                   const QDateTime &captured) override
    {
        emit m_s.rowStored(row, m_s.m_table->no(row).value_or(0), value, captured);
        if (newMaxY)
            emit m_s.peakRaised(*newMaxY);
    }
    void recordLimitReached() override { emit m_s.recordLimitReached(); }
    void tableCleared() override { emit m_s.tableCleared(); }
    void downloadEnded() override { emit m_s.downloadEnded(); }
    void deviceListCleared() override { emit m_s.deviceListCleared(); }
    void deviceListed(const QString &description) override { emit m_s.deviceListed(description); }
    void deviceChosen(int row) override { emit m_s.deviceChosen(row); }
    void connectionLost() override { emit m_s.connectionLost(); }
    void deviceArrived(THidDevice *device) override { emit m_s.deviceArrived(device); }
    void deviceRemoved(THidDevice *device) override { emit m_s.deviceRemoved(device); }
    void deviceListRebuilt(bool connected) override { emit m_s.deviceListRebuilt(connected); }
    void watchdogTripped() override { emit m_s.watchdogTripped(); }

private:
    LoggerSession &m_s;
};

LoggerSession::LoggerSession(Settings &settings, const QString &journalFolder, QObject *parent,
                             Route *route)
    : QObject(parent), m_settings(settings), m_route(route), m_table(new MeasurementTable(this)),
      m_journal(new Journal(journalFolder, this)), m_face(std::make_unique<EngineFace>(*this)),
      m_engine(m_state, *m_face)
{
    m_engine.Table = m_table;
}

// The engine (and its devices) go before the face they call.
LoggerSession::~LoggerSession() = default;
