#pragma once
// Answers every question without a window (Cancel, No, OK, no file), so that a benchmark never
// waits on a dialog; counts the messages.

#include "app/Prompts.h"

class QuietPrompts : public Prompts
{
public:
    int messages = 0;
    int questions = 0;
    QMessageBox::StandardButton question(const QString &, const QString &,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::Icon) override
    {
        ++questions;
        return buttons.testFlag(QMessageBox::No) ? QMessageBox::No : QMessageBox::Cancel;
    }
    int message(const QString &, DialogKind, const DialogButtons &) override
    {
        ++messages;
        return mrOk;
    }
    QString saveFileName(const FileDialogRequest &) override { return {}; }
    QString openFileName(const FileDialogRequest &) override { return {}; }
    std::optional<QString> textInput(const QString &, const QString &, const QString &) override
    {
        return std::nullopt;
    }
    void printPreview(const std::function<void(QPrinter *)> &) override {}
};
