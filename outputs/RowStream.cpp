#include "outputs/RowStream.h"

#include "output/DataFiles.h"
#include "output/SafeFile.h"
#include "session/LoggerSession.h"

RowStream::RowStream(LoggerSession &session, int fd, QObject *parent)
    : QObject(parent), m_session(session), m_fd(fd)
{
    connect(&session.engine(), &LoggerEngine::rowStored, this, [this](qint64 row) {
        if (m_ended)
            return;
        QByteArray line;
        DataFiles::appendTextRows(line, m_session.table(), row, row);
        if (const int error = FileIo::writeAll(m_fd, line.constData(), line.size(), QString())) {
            m_ended = true;
            emit ended(error);
        }
    });
}
