#pragma once
// Each stored row as a line of the text data file, written to a descriptor (standard output)
// as it is stored, for a pipe into another program. A write that fails ends the stream: once,
// through ended, with the error (EPIPE: nobody reads any more).

#include <QObject>

class LoggerSession;

class RowStream : public QObject
{
    Q_OBJECT
public:
    RowStream(LoggerSession &session, int fd, QObject *parent = nullptr);

signals:
    void ended(int error);

private:
    LoggerSession &m_session;
    int m_fd;
    bool m_ended = false;
};
