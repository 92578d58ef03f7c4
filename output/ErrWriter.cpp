#include "output/ErrWriter.h"

#include "output/SafeFile.h"

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

// The queue lives as long as the thread does, which may outlive the writer: a thread blocked
// on a reader that never reads again is left to the process's end.
struct ErrWriter::Shared
{
    int fd;
    qsizetype bound;
    mutable std::mutex mutex;
    std::condition_variable wake, done;
    QByteArray queue;
    quint64 queued = 0, written = 0; // bytes accepted and bytes handed to the descriptor
    quint64 dropped = 0, droppedUnsaid = 0;
    bool stopping = false;

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stopping || !queue.isEmpty(); });
            if (queue.isEmpty())
                return;
            QByteArray bytes = std::exchange(queue, {});
            lock.unlock();
            // A reader that has gone away takes nothing more: the rest goes nowhere, as it would.
            FileIo::writeAll(fd, bytes.constData(), bytes.size(), QString());
            lock.lock();
            written += quint64(bytes.size());
            if (droppedUnsaid > 0 && queue.size() < bound / 2) {
                // The reader has caught up: the gap is said where it was.
                const QByteArray line =
                    QByteArrayLiteral("[") + QByteArray::number(droppedUnsaid) +
                    QByteArrayLiteral(" bytes of messages were dropped here: standard error was "
                                      "not read fast enough]\n");
                queue.prepend(line);
                queued += quint64(line.size());
                droppedUnsaid = 0;
            }
            done.notify_all();
        }
    }
};

ErrWriter::ErrWriter(int fd, qsizetype bound) : m_shared(std::make_shared<Shared>())
{
    m_shared->fd = fd;
    m_shared->bound = bound;
    std::thread([s = m_shared] { s->run(); }).detach();
}

ErrWriter::~ErrWriter()
{
    flush(1000);
    std::lock_guard lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->wake.notify_all();
}

void ErrWriter::write(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    std::lock_guard lock(m_shared->mutex);
    Shared &s = *m_shared;
    if (s.queue.size() + bytes.size() > s.bound) {
        s.dropped += quint64(bytes.size());
        s.droppedUnsaid += quint64(bytes.size());
        return;
    }
    s.queue += bytes;
    s.queued += quint64(bytes.size());
    s.wake.notify_all();
}

bool ErrWriter::flush(int ms)
{
    std::unique_lock lock(m_shared->mutex);
    Shared &s = *m_shared;
    const quint64 target = s.queued;
    return s.done.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        return s.written >= target && s.queue.isEmpty();
    }) || s.written >= target;
}

quint64 ErrWriter::dropped() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->dropped;
}

ErrWriter &ErrWriter::standard()
{
    static ErrWriter writer(2);
    return writer;
}

void ErrWriter::say(const QString &line)
{
    standard().write((line + QLatin1Char('\n')).toLocal8Bit());
}

void ErrWriter::guardStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // open gives the lowest free descriptor: this one.
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}
