#pragma once
// One logger per cable, whoever runs it: a logger holds an exclusive flock on its cable's
// hidraw node for as long as it uses the cable, so that windows, services and every user meet
// the same lock; and, once it knows its cable by a stable ID, a lock on that ID too (a file in
// a folder every user may write, /run/lock by default), so that the cable is still its own
// while it is unplugged and its node is gone. Released by release() or when the object goes;
// the system releases both when the process dies, however it dies.

#include <QString>

class CableLock
{
public:
    CableLock() = default;
    ~CableLock() { release(); }
    CableLock(const CableLock &) = delete;
    CableLock &operator=(const CableLock &) = delete;

    enum class Result
    {
        Held,     // locked (or already held by this object)
        InUse,    // another process holds it: holder() says which
        Unlocked, // no lock could be taken (a node that is not a file, as on the simulated
                  // bus); the cable is used without one
        Failed,   // an ID's lock file cannot be used (the folder missing, a file planted in its
                  // place that is no regular file or not to be opened): error() says why
    };
    // Before anything is sent to a cable: the lock of its ID (for a cable known only by its
    // node, of the node's name, when the node is a file), then whether another process holds
    // its node. InUse: holder() says who. Failed: the ID's lock file cannot be used (error()
    // says why), and no other logger was seen to hold the cable.
    Result claim(const QString &cableId, const QString &node);
    // The node's lock, in place of any node locked before. Opening a hidraw node makes it a
    // reader of its own (and starts the device's input on the first open): a logger takes it
    // once its own reader runs, and asks checkNode before it sends the cable anything.
    Result lockNode(const QString &node);
    // Whether another process holds the node's lock, without opening it: InUse (holder()
    // says who), else Held when this object holds it, else Unlocked.
    Result checkNode(const QString &node);
    // The ID's lock, in place of any ID locked before. A cable known only by its node is
    // locked by its node's name this way too, before anything is sent to it, so that of two
    // loggers racing for it one wins before either has touched the cable.
    Result lockId(const QString &cableId);
    void releaseNode();
    void release();
    // The process holding the lock that was refused; 0 when unknown.
    qint64 holder() const { return m_holder; }
    // Why the last lock Failed: the file and the reason.
    QString error() const { return m_error; }
    QString node() const { return m_node; }
    QString id() const { return m_id; }

    // The process holding an exclusive flock on path, 0 when none, -1 when one whose process
    // is not to be seen (another PID namespace). Read from /proc/locks, without opening path.
    static qint64 holderOf(const QString &path);
    // The file of an ID's lock (a long ID by its bounded form).
    static QString idLockPath(const QString &cableId);

private:
    // idFile: a lock file of our own, which must be a regular file and is never followed
    // through a symbolic link; else a node, which may also be a device.
    Result lock(const QString &path, bool idFile, int *fd);
    // The lock of path (named name) in place of the one held in heldFd and held.
    Result take(const QString &name, const QString &path, bool idFile, int &heldFd, QString &held);
    int m_nodeFd = -1, m_idFd = -1;
    QString m_node, m_id;
    qint64 m_holder = 0;
    QString m_error;
};
