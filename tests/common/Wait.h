#pragma once
// Runs the event loop until a condition holds, without the sleeps of QTest::qWait, so that a
// reader thread's hand-offs are served at full speed.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>

inline bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start();
    if (!condition())
        loop.exec();
    return condition();
}
