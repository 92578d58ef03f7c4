#pragma once
// Standard error that never holds up logging. A thread of its own writes what is given; a
// reader that falls behind (a slow pipe, a stalled terminal, a busy journal) costs at most a
// bounded queue: what does not fit is dropped, and one line says how much once the reader
// catches up. Descriptor 2 stays as it is (blocking): the shell that started us shares it.

#include <QByteArray>
#include <QString>
#include <memory>

class ErrWriter
{
public:
    // fd: where the lines go (not owned); bound: bytes that may wait at most.
    explicit ErrWriter(int fd, qsizetype bound = 1 << 20);
    // Waits up to a second for what is queued, then leaves it to the process's end.
    ~ErrWriter();
    ErrWriter(const ErrWriter &) = delete;
    ErrWriter &operator=(const ErrWriter &) = delete;

    void write(const QByteArray &bytes);
    // Waits until everything queued so far is written, or ms have passed; true when written.
    bool flush(int ms);
    // Bytes dropped so far.
    quint64 dropped() const;

    // The program's standard error (descriptor 2): the one writer every part of the program
    // that says something there goes through.
    static ErrWriter &standard();
    // A line to standard error.
    static void say(const QString &line);

    // Descriptors 0, 1 and 2 closed when the program started would be reused by the first
    // files it opens (a data file written by error messages): /dev/null takes their place.
    static void guardStandardDescriptors();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};
