#pragma once
// Long file work off the GUI thread: the work runs on a thread of its own while the GUI thread
// waits through Prompts::waitWithProgress with its event loop running, so readings go on being
// recorded and the window stays alive. The work may touch nothing the GUI thread uses
// meanwhile: it gets copies (a table snapshot) or objects of its own (a table to load into).

#include "app/Prompts.h"

#include <atomic>
#include <thread>

namespace BackgroundTask {

// Runs work(progress) elsewhere and returns its result; progress counts up to total.
template <typename R, typename Work> R run(const QString &label, qint64 total, Work work)
{
    std::atomic<qint64> progress{0};
    std::atomic<bool> finished{false};
    R result{};
    std::thread thread([&] {
        result = work(progress);
        finished.store(true, std::memory_order_release);
    });
    Prompts::current().waitWithProgress(
        label,
        [&] { return total > 0 ? int(100 * progress.load(std::memory_order_relaxed) / total) : 0; },
        [&] { return finished.load(std::memory_order_acquire); });
    thread.join();
    return result;
}

} // namespace BackgroundTask
