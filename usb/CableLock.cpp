#include "usb/CableLock.h"

#include "usb/CableIds.h"

#include <QFile>
#include <QtGlobal>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

CableLock::Result CableLock::lock(const QString &path, bool idFile, int *fd)
{
    m_holder = 0;
    m_error.clear();
    const QByteArray name = QFile::encodeName(path);
    auto failed = [&](int error, const QString &why) {
        if (!idFile)
            return Result::Unlocked;
        m_error = QStringLiteral("%1: %2").arg(
            path, why.isEmpty() ? QString::fromLocal8Bit(std::strerror(error)) : why);
        return Result::Failed;
    };
    // Read-only and without blocking: a hidraw node opened only to be locked is never read,
    // and a lock needs no more. An ID's file is made when it is not there yet; one another
    // user made is opened as it is (a sticky folder may refuse O_CREAT on it). A symbolic
    // link planted in its place is not followed (its target's lock would be taken), and a
    // FIFO does not block the open.
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (idFile ? O_NOFOLLOW : 0);
    int f = ::open(name.constData(), flags);
    if (f < 0 && errno == ENOENT && idFile) {
        f = ::open(name.constData(), flags | O_CREAT | O_EXCL, 0666);
        if (f >= 0)
            ::fchmod(f, 0666); // whoever comes next, under any user, opens it too
        else if (errno == EEXIST)
            f = ::open(name.constData(), flags);
    }
    if (f < 0)
        return failed(errno, errno == ELOOP ? QStringLiteral("it is a symbolic link") : QString());
    struct stat st = {};
    if (::fstat(f, &st) != 0 || !(S_ISREG(st.st_mode) || (!idFile && S_ISCHR(st.st_mode)))) {
        ::close(f);
        return failed(0, QStringLiteral("it is not a regular file"));
    }
    if (::flock(f, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(f);
        if (error != EWOULDBLOCK)
            return failed(error, QString());
        m_holder = qMax<qint64>(0, holderOf(path));
        return Result::InUse;
    }
    *fd = f;
    return Result::Held;
}

CableLock::Result CableLock::take(const QString &name, const QString &path, bool idFile,
                                  int &heldFd, QString &held)
{
    if (heldFd >= 0 && name == held)
        return Result::Held;
    int fd = -1;
    const Result r = lock(path, idFile, &fd);
    if (r == Result::InUse)
        return r; // what was held stays held
    if (heldFd >= 0)
        ::close(heldFd);
    heldFd = fd;
    held = r == Result::Held ? name : QString();
    return r;
}

CableLock::Result CableLock::claim(const QString &cableId, const QString &node)
{
    // A node that is no file (a simulated cable) has no name worth a lock: two programs may
    // each have a cable of that name.
    Result byId = Result::Unlocked;
    if (cableId != node || QFile::exists(node))
        byId = lockId(cableId);
    if (byId == Result::InUse || checkNode(node) == Result::InUse)
        return Result::InUse;
    return byId == Result::Failed ? byId : Result::Held;
}

CableLock::Result CableLock::lockNode(const QString &node)
{
    return take(node, node, false, m_nodeFd, m_node);
}

CableLock::Result CableLock::lockId(const QString &cableId)
{
    return take(cableId, idLockPath(cableId), true, m_idFd, m_id);
}

CableLock::Result CableLock::checkNode(const QString &node)
{
    if (m_nodeFd >= 0 && node == m_node)
        return Result::Held;
    const qint64 holder = holderOf(node);
    m_holder = holder > 0 ? holder : 0;
    return holder != 0 ? Result::InUse : Result::Unlocked;
}

void CableLock::releaseNode()
{
    if (m_nodeFd >= 0)
        ::close(m_nodeFd);
    m_nodeFd = -1;
    m_node.clear();
}

void CableLock::release()
{
    releaseNode();
    if (m_idFd >= 0)
        ::close(m_idFd);
    m_idFd = -1;
    m_id.clear();
}

QString CableLock::idLockPath(const QString &cableId)
{
    QString dir = qEnvironmentVariable("TX9_LOCK_DIR");
    if (dir.isEmpty())
        dir = QStringLiteral("/run/lock");
    // The ID as one file name: anything but letters, digits, '-' and '.' escaped as _XX
    // (a long ID by its bounded form, so that the name stays within the file system's).
    QString name;
    for (const char c : CableIds::boundedId(cableId).toUtf8()) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.')
            name += QLatin1Char(c);
        else
            name += QStringLiteral("_%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
    }
    return dir + QStringLiteral("/tx9-logger-cable-") + name + QStringLiteral(".lock");
}

qint64 CableLock::holderOf(const QString &path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF": the holder's PID, and the file's
    // device (major:minor in hex) and inode.
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray file = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(quint64(st.st_ino));
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        // A lock some process waits for is marked "->" and shifts the fields by one.
        const int at = f.value(1) == "->" ? 2 : 1;
        if (f.size() > at + 4 && f[at] == "FLOCK" && f[at + 2] == "WRITE" &&
            f[at + 4].compare(file, Qt::CaseInsensitive) == 0 && f.value(1) != "->") {
            const qint64 pid = f[at + 3].toLongLong();
            return pid > 0 ? pid : -1;
        }
    }
    return 0;
}
