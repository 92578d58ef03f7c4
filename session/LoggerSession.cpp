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
    // Where the connection was made, ended or lost goes into the journal between the rows,
    // so that a restored recording keeps its breaks.
    // The connection's mark names the cable, so that a restore can say where the rows came
    // from.
    connect(&m_engine, &LoggerEngine::recallLocked, m_journal, [this](bool connected) {
        m_journal->mark(connected ? "connected" : "disconnected", QDateTime::currentDateTime(),
                        connected ? m_engine.cableOf(m_engine.Selected).Id : QString());
    });
    connect(&m_engine, &LoggerEngine::connectionLost, m_journal,
            [this] { m_journal->mark("cable-lost", QDateTime::currentDateTime()); });
}

// The engine (and its devices) go before the face they call.
LoggerSession::~LoggerSession() = default;
