#include "usb/HidDispatch.h"

#include <QList>
#include <QMetaObject>
#include <utility>

namespace {
// GUI thread only, like everything that touches them.
int g_depth = 0;
QList<std::function<void()>> g_parked;
QList<std::pair<QPointer<QObject>, std::function<void()>>> g_waiting;
} // namespace

HidDispatch::Scope::Scope()
{
    ++g_depth;
}

HidDispatch::Scope::~Scope()
{
    if (--g_depth == 0)
        flush();
}

bool HidDispatch::busy()
{
    return g_depth > 0;
}

void HidDispatch::park(std::function<void()> deleter)
{
    if (g_depth > 0)
        g_parked.append(std::move(deleter));
    else
        deleter();
}

void HidDispatch::whenIdle(QObject *context, std::function<void()> work)
{
    if (g_depth > 0)
        g_waiting.append({QPointer<QObject>(context), std::move(work)});
    else
        QMetaObject::invokeMethod(context, std::move(work), Qt::QueuedConnection);
}

void HidDispatch::flush()
{
    // A deleted device deletes its reader: the list can grow while it is emptied.
    while (!g_parked.isEmpty()) {
        const auto parked = std::exchange(g_parked, {});
        for (const auto &deleter : parked)
            deleter();
    }
    // The waiting work runs from the event loop, with nothing of ours on the stack.
    const auto waiting = std::exchange(g_waiting, {});
    for (const auto &[context, work] : waiting)
        if (context)
            QMetaObject::invokeMethod(context.data(), work, Qt::QueuedConnection);
}
