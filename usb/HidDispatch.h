#pragma once
// When the HID layer calls its users, and when its objects die. The whole rule lives here:
//
//   Every call into a user's handler (data, data error, unplug, arrival, removal, enumerate,
//   device change) runs on the GUI thread inside a HidDispatch::Scope, and such calls never
//   nest through the event loop. While one is on the stack, even one that has opened a modal
//   window, other readers' reports stay in their queues and device-list rescans wait; they run
//   from the event loop once the outermost call has returned. A device or reader that is
//   released meanwhile is parked here and deleted when the outermost call has returned, so no
//   handler ever finds its own object freed under it.
//
// Deleting through dispose() is the only way devices and readers die. GUI thread only.

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

class HidDispatch
{
public:
    // Marks a handler call (or a controller operation that makes some) as running.
    class Scope
    {
    public:
        Scope();
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;
    };

    // True while a handler call is on the stack.
    static bool busy();

    // Deletes the object now when no handler call is on the stack, else when the outermost
    // one has returned.
    template <typename T> static void dispose(T *object)
    {
        if (object)
            park([object] { delete object; });
    }
    template <typename T> static void dispose(std::unique_ptr<T> object)
    {
        dispose(object.release());
    }

    // Runs work from the event loop once no handler call is on the stack: at once (queued)
    // when none is, and not at all when context has died meanwhile.
    static void whenIdle(QObject *context, std::function<void()> work);

private:
    static void park(std::function<void()> deleter);
    static void flush();
};
