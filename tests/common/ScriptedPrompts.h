#pragma once
// A Prompts that records every question and answers from queues, so no test blocks on a
// modal window. An unexpected question gets a neutral answer (No / Cancel / OK, no file).

#include "app/Prompts.h"

#include <QQueue>
#include <QStringList>

struct AskedQuestion
{
    QString caption;
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::Icon icon;
};

struct AskedMessage
{
    QString text;
    DialogKind kind;
    DialogButtons buttons;
};

class ScriptedPrompts : public Prompts
{
public:
    ScriptedPrompts() { Prompts::install(this); }
    ~ScriptedPrompts() override { Prompts::install(nullptr); }

    QList<AskedQuestion> questions;
    QList<AskedMessage> messages;
    QList<FileDialogRequest> fileRequests;
    QQueue<QMessageBox::StandardButton> questionAnswers;
    QQueue<int> messageAnswers;
    QQueue<QString> fileAnswers;
    QQueue<std::optional<QString>> textAnswers; // none: cancelled
    QStringList textLabels;
    int previews = 0;
    std::function<void(QPrinter *)> lastPreviewPaint;
    std::function<void()> duringPreview;

    QMessageBox::StandardButton question(const QString &caption, const QString &text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::Icon icon) override
    {
        questions.append({caption, text, buttons, icon});
        if (!questionAnswers.isEmpty())
            return questionAnswers.dequeue();
        return buttons.testFlag(QMessageBox::No) ? QMessageBox::No : QMessageBox::Cancel;
    }
    int message(const QString &text, DialogKind kind, const DialogButtons &buttons) override
    {
        messages.append({text, kind, buttons});
        if (!messageAnswers.isEmpty())
            return messageAnswers.dequeue();
        return buttons.contains(DialogButton::No) ? mrNo : mrOk;
    }
    QString saveFileName(const FileDialogRequest &r) override
    {
        fileRequests.append(r);
        return fileAnswers.isEmpty() ? QString() : fileAnswers.dequeue();
    }
    QString openFileName(const FileDialogRequest &r) override
    {
        fileRequests.append(r);
        return fileAnswers.isEmpty() ? QString() : fileAnswers.dequeue();
    }
    void printPreview(const std::function<void(QPrinter *)> &paint) override
    {
        ++previews;
        lastPreviewPaint = paint;
        if (duringPreview)
            duringPreview();
    }

    std::optional<QString> textInput(const QString &, const QString &label,
                                     const QString &) override
    {
        textLabels << label;
        return textAnswers.isEmpty() ? std::nullopt : textAnswers.dequeue();
    }

    QStringList messageTexts() const
    {
        QStringList l;
        for (const auto &m : messages)
            l << m.text;
        return l;
    }
};
