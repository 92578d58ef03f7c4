#pragma once
// The one seam for every modal interaction: the platform question box, the program's message
// dialog, the file dialogs and the print preview. Production code shows the real dialogs;
// tests install a scripted Prompts that records the questions and returns queued answers.

#include "app/NewMsgDlg.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <functional>
#include <optional>

class QPrinter;
class QWidget;

// A file dialog as the program describes it. The filter is written "Label|*.ext|Label|*.ext".
struct FileDialogRequest
{
    QString title;
    QString filter;
    QString defaultExt; // appended to a name typed without an extension; empty for none
    QString fileName;   // proposed name
    bool overwritePrompt = false;
};

class Prompts
{
public:
    virtual ~Prompts();

    // The platform message box (caption, buttons, icon). Returns the button pressed.
    virtual QMessageBox::StandardButton question(const QString &caption, const QString &text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::Icon icon) = 0;
    // The program's own message dialog. Returns the modal result.
    virtual int message(const QString &text, DialogKind kind, const DialogButtons &buttons) = 0;
    // Empty when cancelled.
    virtual QString saveFileName(const FileDialogRequest &request) = 0;
    virtual QString openFileName(const FileDialogRequest &request) = 0;
    // A line of text (title, what it is for, the text to start from); none when cancelled.
    virtual std::optional<QString> textInput(const QString &title, const QString &label,
                                             const QString &text) = 0;
    // Shows a modal preview that renders pages through paint; returns when it is closed.
    virtual void printPreview(const std::function<void(QPrinter *)> &paint) = 0;
    // Waits, with the event loop running (readings go on being recorded), until done() holds;
    // work that runs elsewhere meanwhile reports 0..100 through percent(). The real one shows
    // a progress window once the wait has lasted half a second and takes no input meanwhile,
    // with a Cancel button that calls cancel when there is one (the wait goes on until the
    // work has stopped); this one only runs the loop.
    virtual void waitWithProgress(const QString &label, const std::function<int()> &percent,
                                  const std::function<bool()> &done,
                                  const std::function<void()> &cancel = {});

    static Prompts &current();
    // Installs p (not owned) for every later question; nullptr restores the real dialogs.
    static void install(Prompts *p);
};

// Converts "Label|*.ext|..." to Qt's "Label (*.ext);;..." form.
QString qtFilterFrom(const QString &pipeSeparatedFilter);
// The extension a Qt name filter stands for ("xml" for "XML(*.xml) (*.xml)"); empty for none.
QString filterExtension(const QString &qtFilter);
// Sets a file dialog up as the request describes.
void configureFileDialog(QFileDialog &dialog, const FileDialogRequest &request,
                         QFileDialog::AcceptMode mode);

// The real dialogs.
class DialogPrompts : public Prompts
{
public:
    QMessageBox::StandardButton question(const QString &caption, const QString &text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::Icon icon) override;
    int message(const QString &text, DialogKind kind, const DialogButtons &buttons) override;
    QString saveFileName(const FileDialogRequest &request) override;
    QString openFileName(const FileDialogRequest &request) override;
    std::optional<QString> textInput(const QString &title, const QString &label,
                                     const QString &text) override;
    void printPreview(const std::function<void(QPrinter *)> &paint) override;
    void waitWithProgress(const QString &label, const std::function<int()> &percent,
                          const std::function<bool()> &done,
                          const std::function<void()> &cancel = {}) override;
};
