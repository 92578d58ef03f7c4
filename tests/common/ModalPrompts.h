#pragma once
// A Prompts that behaves like a real modal window: every question runs a nested event loop for
// a while before it answers, so timers, device changes and reports go on meanwhile, and it
// runs the next queued action inside that loop (plug, unplug, rescan, stop, release...).
// Answers come from the queues of ScriptedPrompts.

#include "common/ScriptedPrompts.h"

#include <QEventLoop>
#include <QTimer>

class ModalPrompts : public ScriptedPrompts
{
public:
    int modalMs = 30;                          // how long each window stays open
    QQueue<std::function<void()>> duringModal; // one action per window opened
    int depth = 0;                             // modal windows open now
    int deepest = 0;

    QMessageBox::StandardButton question(const QString &caption, const QString &text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::Icon icon) override
    {
        runModal();
        return ScriptedPrompts::question(caption, text, buttons, icon);
    }
    int message(const QString &text, DialogKind kind, const DialogButtons &buttons) override
    {
        runModal();
        return ScriptedPrompts::message(text, kind, buttons);
    }
    QString saveFileName(const FileDialogRequest &r) override
    {
        runModal();
        return ScriptedPrompts::saveFileName(r);
    }
    std::optional<QString> textInput(const QString &title, const QString &label,
                                     const QString &text) override
    {
        runModal();
        return ScriptedPrompts::textInput(title, label, text);
    }
    QString openFileName(const FileDialogRequest &r) override
    {
        runModal();
        return ScriptedPrompts::openFileName(r);
    }

private:
    void runModal()
    {
        ++depth;
        deepest = std::max(deepest, depth);
        QEventLoop loop;
        if (!duringModal.isEmpty()) {
            const std::function<void()> action = duringModal.dequeue();
            if (action)
                QTimer::singleShot(modalMs / 3, &loop, action);
        }
        QTimer::singleShot(modalMs, &loop, &QEventLoop::quit);
        loop.exec();
        --depth;
    }
};
