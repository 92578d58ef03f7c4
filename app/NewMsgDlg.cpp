#include "app/NewMsgDlg.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <cmath>
#include <cstdlib>

namespace {

const ButtonInfo Buttons[] = {
    {"Yes", "&Yes", mrYes},
    {"No", "&No", mrNo},
    {"OK", "OK", mrOk},
    {"Cancel", "Cancel", mrCancel},
    {"Abort", "&Abort", mrAbort},
    {"Retry", "&Retry", mrRetry},
    {"Ignore", "&Ignore", mrIgnore},
    {"All", "&All", mrAll},
    {"NoToAll", "N&o to All", mrNoToAll},
    {"YesToAll", "Yes to &All", mrYesToAll},
    {"Help", "&Help", mrNone},
};

// Measured caption widths per button, filled on first use and kept for the process.
int CaptionWidths[11] = {};

QString stripAmpersands(QString s)
{
    return s.remove(QLatin1Char('&'));
}

QStyle::StandardPixmap iconFor(DialogKind kind)
{
    switch (kind) {
    case DialogKind::Warning:
        return QStyle::SP_MessageBoxWarning;
    case DialogKind::Error:
        return QStyle::SP_MessageBoxCritical;
    case DialogKind::Information:
        return QStyle::SP_MessageBoxInformation;
    case DialogKind::Confirmation:
        return QStyle::SP_MessageBoxQuestion;
    case DialogKind::Custom:
        break;
    }
    return QStyle::SP_CustomBase;
}

} // namespace

const ButtonInfo &buttonInfo(DialogButton b)
{
    return Buttons[int(b)];
}

QString dialogCaption(DialogKind kind)
{
    switch (kind) {
    case DialogKind::Warning:
        return QStringLiteral("Warning");
    case DialogKind::Error:
        return QStringLiteral("Error");
    case DialogKind::Information:
        return QStringLiteral("Information");
    case DialogKind::Confirmation:
        return QStringLiteral("Confirm");
    case DialogKind::Custom:
        return QApplication::applicationDisplayName();
    }
    return {};
}

int MulDiv(int a, int b, int c)
{
    if (c == 0)
        return -1;
    const long long p = static_cast<long long>(a) * b;
    const long long q = (std::llabs(p) * 2 + std::llabs(c)) / (2 * std::llabs(c));
    return static_cast<int>(((p < 0) != (c < 0)) ? -q : q);
}

MessageLayout layoutMessageDialog(const MessageLayoutInput &in)
{
    MessageLayout l;
    const int w = in.avgCharWidth, h = in.avgCharHeight;
    l.horzMargin = MulDiv(8, w, 4);
    l.vertMargin = MulDiv(8, h, 8);
    l.horzSpacing = MulDiv(10, w, 4);
    l.vertSpacing = MulDiv(10, h, 8);
    l.buttonWidth = std::max(MulDiv(50, w, 4), in.widestCaption);
    l.buttonHeight = MulDiv(14, h, 8);
    l.buttonSpacing = MulDiv(4, w, 4);

    int iconTextWidth = in.textSize.width();
    int iconTextHeight = in.textSize.height();
    if (in.hasIcon) {
        iconTextWidth += 32 + l.horzSpacing;
        iconTextHeight = std::max(iconTextHeight, 32);
    }
    const int n = in.buttonCount;
    const int groupWidth = n > 0 ? n * l.buttonWidth + (n - 1) * l.buttonSpacing : 0;
    l.client = QSize(std::max(iconTextWidth, groupWidth) + 2 * l.horzMargin,
                     iconTextHeight + l.buttonHeight + l.vertSpacing + 2 * l.vertMargin);
    l.topLeft = QPoint(in.screen.width() / 2 - l.client.width() / 2,
                       in.screen.height() / 2 - l.client.height() / 2);
    if (in.hasIcon)
        l.icon = QRect(l.horzMargin, l.vertMargin, 32, 32);
    int labelLeft = iconTextWidth - in.textSize.width() + l.horzMargin;
    if (in.rightToLeft)
        labelLeft = l.client.width() - labelLeft - in.textSize.width();
    l.label = QRect(QPoint(labelLeft, l.vertMargin), in.textSize);
    const int top = iconTextHeight + l.vertMargin + l.vertSpacing;
    int x = (l.client.width() - groupWidth) / 2;
    for (int i = 0; i < n; ++i) {
        l.buttons.append(QRect(x, top, l.buttonWidth, l.buttonHeight));
        x += l.buttonWidth + l.buttonSpacing;
    }
    return l;
}

QString messageDialogCopyText(const QString &caption, const QString &message,
                              const QStringList &buttonCaptions)
{
    const QString br = QStringLiteral("\r\n");
    const QString divider = QString(27, QLatin1Char('-')) + br;
    QString buttons;
    for (const QString &c : buttonCaptions)
        buttons += stripAmpersands(c) + QStringLiteral("   ");
    return divider + caption + br + divider + message + br + divider + buttons + br + divider;
}

TMessageForm::TMessageForm(QWidget *parent) : QDialog(parent)
{
    setFont(QApplication::font("QMessageBox"));
    setLayoutDirection(QApplication::layoutDirection());
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
}

QString TMessageForm::copyText() const
{
    QStringList captions;
    for (const QPushButton *b : m_buttons)
        captions << b->text();
    return messageDialogCopyText(windowTitle(), Message ? Message->text() : QString(), captions);
}

void TMessageForm::keyPressEvent(QKeyEvent *e)
{
    if (e->key() == Qt::Key_C && e->modifiers() == Qt::ControlModifier) {
        QApplication::beep();
        QApplication::clipboard()->setText(copyText());
        return;
    }
    // A button's underlined letter presses it without Alt, as in the platform's question box.
    if (e->modifiers() == Qt::NoModifier || e->modifiers() == Qt::ShiftModifier) {
        const QString typed = e->text().toLower();
        if (typed.size() == 1 && typed.at(0).isLetter()) {
            for (QPushButton *b : findChildren<QPushButton *>()) {
                const QString caption = b->text();
                const qsizetype amp = caption.indexOf(QLatin1Char('&'));
                if (b->isVisible() && amp >= 0 && amp + 1 < caption.size() &&
                    caption.at(amp + 1).toLower() == typed.at(0)) {
                    b->click();
                    return;
                }
            }
        }
    }
    QDialog::keyPressEvent(e);
}

void TMessageForm::reject()
{
    if (m_cancelResult != mrNone)
        done(m_cancelResult);
}

TMessageForm *BuildMessageDialog(const QString &text, DialogKind kind, const DialogButtons &buttons)
{
    auto *form = new TMessageForm(QApplication::activeWindow());
    const QFontMetrics fm(form->font());
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const QRect extent = fm.boundingRect(letters);

    QList<DialogButton> shown;
    for (int b = 0; b <= int(DialogButton::Help); ++b) {
        if (buttons.contains(DialogButton(b)))
            shown.append(DialogButton(b));
    }
    int widest = 0;
    for (DialogButton b : shown) {
        int &cached = CaptionWidths[int(b)];
        if (cached == 0)
            cached =
                fm.horizontalAdvance(stripAmpersands(QLatin1String(buttonInfo(b).caption))) + 8;
        widest = std::max(widest, cached);
    }

    const QScreen *screen = QApplication::primaryScreen();
    const QSize screenSize = screen ? screen->geometry().size() : QSize(1024, 768);
    MessageLayoutInput in;
    in.avgCharWidth = fm.horizontalAdvance(letters) / 52;
    in.avgCharHeight = extent.height();
    in.textSize = fm.boundingRect(QRect(0, 0, screenSize.width() / 2, 0),
                                  Qt::TextWordWrap | Qt::TextExpandTabs, text)
                      .size();
    in.hasIcon = kind != DialogKind::Custom;
    in.buttonCount = int(shown.size());
    in.widestCaption = widest;
    in.screen = screenSize;
    in.rightToLeft = form->layoutDirection() == Qt::RightToLeft;
    const MessageLayout l = layoutMessageDialog(in);

    form->setFixedSize(l.client);
    form->move(l.topLeft);
    form->setWindowTitle(dialogCaption(kind));
    if (in.hasIcon) {
        auto *image = new QLabel(form);
        image->setObjectName(QStringLiteral("Image"));
        image->setGeometry(l.icon);
        image->setPixmap(form->style()->standardIcon(iconFor(kind)).pixmap(32, 32));
    }
    form->Message = new QLabel(form);
    form->Message->setObjectName(QStringLiteral("Message"));
    form->Message->setTextFormat(Qt::PlainText);
    form->Message->setWordWrap(true);
    form->Message->setText(text);
    form->Message->setGeometry(l.label);
    form->Message->setAlignment(Qt::AlignLeading | Qt::AlignTop);

    auto contains = [&](DialogButton b) { return shown.contains(b); };
    auto first = [&](std::initializer_list<DialogButton> order) -> const ButtonInfo * {
        for (DialogButton b : order)
            if (contains(b))
                return &buttonInfo(b);
        return nullptr;
    };
    // Enter: the focused button; the default one only while no button has the focus.
    const ButtonInfo *def = first({DialogButton::OK, DialogButton::Yes, DialogButton::Retry});
    // Esc: the cancel button. A dialog without one cannot be dismissed without a choice, so
    // it never answers with a button that is not there.
    const ButtonInfo *cancel = first({DialogButton::Cancel, DialogButton::No, DialogButton::OK});
    form->m_defaultResult = def ? def->modalResult : mrNone;
    form->m_cancelResult = cancel ? cancel->modalResult : mrNone;
    if (!cancel)
        form->setWindowFlag(Qt::WindowCloseButtonHint, false);
    for (int i = 0; i < shown.size(); ++i) {
        const ButtonInfo &info = buttonInfo(shown[i]);
        auto *btn = new QPushButton(QString::fromUtf8(info.caption), form);
        btn->setObjectName(QLatin1String(info.name));
        btn->setGeometry(l.buttons[i]);
        // A focused button takes Enter for itself (Qt's auto-default); the dialog's default
        // button gets it back when the focus leaves the buttons.
        btn->setAutoDefault(true);
        btn->setDefault(&info == def);
        const int result = info.modalResult;
        if (result != mrNone)
            QObject::connect(btn, &QPushButton::clicked, form,
                             [form, result] { form->done(result); });
        form->m_buttons.append(btn);
    }
    return form;
}

int ShowMessageDialogAt(const QString &text, DialogKind kind, const DialogButtons &buttons,
                        int helpContext, int x, int y, const QString &helpFile)
{
    // There is no help system; the context and file are accepted for the Help button's sake.
    Q_UNUSED(helpContext);
    Q_UNUSED(helpFile);
    TMessageForm *form = BuildMessageDialog(text, kind, buttons);
    QPoint pos = form->pos();
    if (x >= 0)
        pos.setX(x);
    if (y >= 0)
        pos.setY(y);
    form->move(pos);
    const int result = form->exec();
    delete form;
    return result;
}

int ShowMessageDialog(const QString &text, DialogKind kind, const DialogButtons &buttons,
                      int helpContext)
{
    return ShowMessageDialogAt(text, kind, buttons, helpContext, -1, -1, QString());
}
