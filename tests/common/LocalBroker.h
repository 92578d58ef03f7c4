#pragma once
// Debian's mosquitto broker, started by a test or a benchmark on 127.0.0.1 with a free port
// and a configuration of its own (and stopped with it).

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QThread>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

inline int freePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &n);
    ::close(s);
    return ntohs(a.sin_port);
}

inline bool listening(int port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// A broker of the caller's own: its configuration in dir, on a free port of 127.0.0.1.
struct LocalBroker
{
    explicit LocalBroker(const QString &folder = {}) : dir(folder) {}
    QString dir; // made when the broker starts
    int port = freePort();
    QString extra; // more configuration (TLS, passwords)
    bool persistence = false;
    // The README's example configuration (its listener and folder replaced by the test's).
    QString example;
    QProcess process;

    bool start()
    {
        QDir().mkpath(dir);
        QFile conf(dir + "/mosquitto.conf");
        if (!conf.open(QIODevice::WriteOnly))
            return false;
        // Started as root, the broker would drop to the user mosquitto, who may read neither
        // the test's keys nor its folder.
        QByteArray text = "user " + QByteArray(::getpwuid(::geteuid())->pw_name) + "\n";
        text += "listener " + QByteArray::number(port) + " 127.0.0.1\n";
        if (!example.isEmpty()) {
            QFile e(example);
            if (!e.open(QIODevice::ReadOnly))
                return false;
            for (const QByteArray &line : e.readAll().split('\n'))
                if (!line.startsWith("listener ") && !line.startsWith("persistence_location "))
                    text += line + '\n';
            persistence = true;
        } else {
            text += extra.isEmpty() ? "allow_anonymous true\n" : extra.toUtf8();
        }
        if (persistence)
            text += "persistence true\npersistence_location " + dir.toUtf8() + "/\n";
        conf.write(text);
        conf.close();
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start("/usr/sbin/mosquitto", {"-c", conf.fileName()});
        if (!process.waitForStarted())
            return false;
        for (int i = 0; i < 100 && !listening(port); ++i)
            QThread::msleep(50);
        return listening(port);
    }
    void stop()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
    ~LocalBroker() { stop(); }
    QString url(const char *scheme = "mqtt") const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(port);
    }
};
