#pragma once
// Long file work off the GUI thread: the work runs on a thread of its own while the GUI thread
// waits through Prompts::waitWithProgress with its event loop running, so readings go on being
// recorded and the window stays alive. The work may touch nothing the GUI thread uses
// meanwhile: it gets copies (a table snapshot) or objects of its own (a table to load into).
//
// Work that takes a second argument, a flag, can be cancelled: from the progress window's
// Cancel button, or by cancelAll() (the program is closing). It should then stop soon and
// return what it has.

#include "app/Prompts.h"

#include <atomic>
#include <thread>
#include <type_traits>

namespace BackgroundTask {

namespace detail {
// The cancel flags of the work under way, innermost last (GUI thread only).
inline QList<std::atomic<bool> *> &running()
{
    static QList<std::atomic<bool> *> flags;
    return flags;
}
} // namespace detail

// Whether any work is under way.
inline bool active()
{
    return !detail::running().isEmpty();
}
// Asks all work under way that can stop early to stop.
inline void cancelAll()
{
    for (std::atomic<bool> *flag : std::as_const(detail::running()))
        flag->store(true, std::memory_order_relaxed);
}

// Runs work elsewhere and returns its result; progress counts up to total.
// work(progress) or work(progress, cancelled).
template <typename R, typename Work> R run(const QString &label, qint64 total, Work work)
{
    constexpr bool cancellable =
        std::is_invocable_v<Work, std::atomic<qint64> &, const std::atomic<bool> &>;
    std::atomic<qint64> progress{0};
    std::atomic<bool> finished{false};
    std::atomic<bool> cancelled{false};
    R result{};
    std::thread thread([&] {
        if constexpr (cancellable)
            result = work(progress, cancelled);
        else
            result = work(progress);
        finished.store(true, std::memory_order_release);
    });
    std::atomic<bool> uncancellable{false}; // what cancelAll sets for work that cannot stop
    detail::running().append(cancellable ? &cancelled : &uncancellable);
    std::function<void()> cancel;
    if constexpr (cancellable)
        cancel = [&] { cancelled.store(true, std::memory_order_relaxed); };
    Prompts::current().waitWithProgress(
        label,
        [&] { return total > 0 ? int(100 * progress.load(std::memory_order_relaxed) / total) : 0; },
        [&] { return finished.load(std::memory_order_acquire); }, cancel);
    detail::running().removeOne(cancellable ? &cancelled : &uncancellable);
    thread.join();
    return result;
}

} // namespace BackgroundTask
