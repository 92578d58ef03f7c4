#include "app/Prompts.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QTimer>

namespace {
Prompts *g_installed = nullptr;
}

Prompts::~Prompts() = default;

void Prompts::waitWithProgress(const QString &, const std::function<int()> &,
                               const std::function<bool()> &done, const std::function<void()> &)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(5);
    if (!done())
        loop.exec();
}

namespace {
// Takes the user's input away from the windows that were open when a long piece of work
// began, so that no command starts in the middle of it. Windows that open meanwhile (the
// progress window, a message from a timer) take input as usual. Closing is not input: the
// window's own close handling asks and waits for the work (an event filter that swallowed
// the close event would leave it accepted, and the window would close unasked).
class InputBlocker : public QObject
{
public:
    InputBlocker()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            m_blocked.append(w);
        qApp->installEventFilter(this);
    }
    ~InputBlocker() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::Wheel: {
            auto *w = qobject_cast<QWidget *>(watched);
            return w && m_blocked.contains(w->window());
        }
        default:
            return false;
        }
    }

private:
    QList<QPointer<QWidget>> m_blocked;
};
} // namespace

void DialogPrompts::waitWithProgress(const QString &label, const std::function<int()> &percent,
                                     const std::function<bool()> &done,
                                     const std::function<void()> &cancel)
{
    // Made before the progress window, which stays usable.
    InputBlocker blocker;
    QProgressDialog dlg(label, cancel ? QStringLiteral("Cancel") : QString(), 0, 100,
                        QApplication::activeWindow());
    if (cancel)
        QObject::connect(&dlg, &QProgressDialog::canceled, &dlg, [&] {
            dlg.setLabelText(QStringLiteral("Stopping..."));
            cancel();
        });
    dlg.setWindowTitle(QStringLiteral("Norvane TX-9"));
    dlg.setWindowModality(Qt::WindowModal);
    dlg.setMinimumDuration(500); // short work shows no window at all
    dlg.setAutoClose(false);
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
        else
            dlg.setValue(qBound(0, percent(), 99));
    });
    poll.start(20);
    if (!done())
        loop.exec();
}

Prompts &Prompts::current()
{
    static DialogPrompts real;
    return g_installed ? *g_installed : real;
}

void Prompts::install(Prompts *p)
{
    g_installed = p;
}

QString qtFilterFrom(const QString &filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        // Qt reads the patterns from the label's trailing parentheses; a label without them
        // gets the pattern part appended.
        const QString label = parts[i].trimmed();
        out << (label.endsWith(QLatin1Char(')'))
                    ? label
                    : label + QStringLiteral(" (") +
                          QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')) +
                          QLatin1Char(')'));
    }
    return out.join(QStringLiteral(";;"));
}

QMessageBox::StandardButton DialogPrompts::question(const QString &caption, const QString &text,
                                                    QMessageBox::StandardButtons buttons,
                                                    QMessageBox::Icon icon)
{
    QMessageBox box(icon, caption, text, buttons, QApplication::activeWindow());
    return QMessageBox::StandardButton(box.exec());
}

int DialogPrompts::message(const QString &text, DialogKind kind, const DialogButtons &buttons)
{
    return ShowMessageDialog(text, kind, buttons, 0);
}

QString filterExtension(const QString &qtFilter)
{
    // "XML(*.xml) (*.xml)": the first pattern's extension, when it names one.
    const qsizetype star = qtFilter.indexOf(QLatin1String("*."));
    if (star < 0)
        return {};
    qsizetype end = star + 2;
    while (end < qtFilter.size() && qtFilter.at(end).isLetterOrNumber())
        ++end;
    return qtFilter.mid(star + 2, end - star - 2);
}

void configureFileDialog(QFileDialog &dlg, const FileDialogRequest &r, QFileDialog::AcceptMode mode)
{
    dlg.setWindowTitle(r.title);
    dlg.setAcceptMode(mode);
    dlg.setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile
                                                    : QFileDialog::ExistingFile);
    dlg.setNameFilter(qtFilterFrom(r.filter));
    if (!r.overwritePrompt)
        dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
    QString ext = r.defaultExt;
    ext.remove(QLatin1Char('*'));
    if (ext.startsWith(QLatin1Char('.')))
        ext.remove(0, 1);
    if (!ext.isEmpty()) {
        dlg.setDefaultSuffix(ext);
        // A name typed without an extension takes the one of the filter chosen, so that the
        // format the user picked is the one written.
        QObject::connect(&dlg, &QFileDialog::filterSelected, &dlg,
                         [&dlg, ext](const QString &filter) {
                             const QString chosen = filterExtension(filter);
                             dlg.setDefaultSuffix(chosen.isEmpty() ? ext : chosen);
                         });
    }
    if (!r.fileName.isEmpty())
        dlg.selectFile(r.fileName);
}

namespace {
QString runFileDialog(const FileDialogRequest &r, QFileDialog::AcceptMode mode)
{
    QFileDialog dlg(QApplication::activeWindow());
    configureFileDialog(dlg, r, mode);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return {};
    return dlg.selectedFiles().first();
}
} // namespace

QString DialogPrompts::saveFileName(const FileDialogRequest &request)
{
    return runFileDialog(request, QFileDialog::AcceptSave);
}

std::optional<QString> DialogPrompts::textInput(const QString &title, const QString &label,
                                                const QString &text)
{
    bool ok = false;
    const QString got = QInputDialog::getText(QApplication::activeWindow(), title, label,
                                              QLineEdit::Normal, text, &ok);
    return ok ? std::optional<QString>(got) : std::nullopt;
}

QString DialogPrompts::openFileName(const FileDialogRequest &request)
{
    return runFileDialog(request, QFileDialog::AcceptOpen);
}

void DialogPrompts::printPreview(const std::function<void(QPrinter *)> &paint)
{
    QPrinter printer(QPrinter::HighResolution);
    QPrintPreviewDialog preview(&printer, QApplication::activeWindow());
    QObject::connect(&preview, &QPrintPreviewDialog::paintRequested, &preview,
                     [&paint](QPrinter *p) { paint(p); });
    preview.exec();
}
