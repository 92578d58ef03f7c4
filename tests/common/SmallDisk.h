#pragma once
// A real small file system for a test: a tmpfs of the size asked, mounted at a folder and
// taken away (lazily, whatever still holds it) when the object goes. Mounting needs root; a
// test that cannot mount skips with why.

#include <QDir>
#include <QFile>
#include <QString>
#include <cerrno>
#include <cstring>
#include <sys/mount.h>

struct SmallDisk
{
    QString At;
    QString Why; // empty when mounted
    SmallDisk(const QString &at, const char *size) : At(at)
    {
        QDir().mkpath(at);
        const QByteArray options = QByteArray("size=") + size;
        if (::mount("tmpfs", QFile::encodeName(at).constData(), "tmpfs", 0, options.constData()) !=
            0)
            Why = QStringLiteral("cannot mount a tmpfs here (%1): it needs root and a kernel "
                                 "that allows it")
                      .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    ~SmallDisk()
    {
        if (Why.isEmpty())
            ::umount2(QFile::encodeName(At).constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;
};
