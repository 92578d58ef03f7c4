#pragma once
// The program's own message dialog: text, optional standard icon, a row of standard buttons,
// sized to the text in the message font and centred on the screen. Ctrl+C copies it as text.

#include <QDialog>
#include <QList>
#include <QRect>
#include <QSize>

class QLabel;
class QPushButton;

enum class DialogKind
{
    Warning = 0,
    Error = 1,
    Information = 2,
    Confirmation = 3,
    Custom = 4
};

enum class DialogButton
{
    Yes = 0,
    No,
    OK,
    Cancel,
    Abort,
    Retry,
    Ignore,
    All,
    NoToAll,
    YesToAll,
    Help
};
using DialogButtons = QList<DialogButton>;

// Modal results.
enum : int
{
    mrNone = 0,
    mrOk = 1,
    mrCancel = 2,
    mrAbort = 3,
    mrRetry = 4,
    mrIgnore = 5,
    mrYes = 6,
    mrNo = 7,
    mrAll = 8,
    mrNoToAll = 9,
    mrYesToAll = 10
};

struct ButtonInfo
{
    const char *name;
    const char *caption;
    int modalResult;
};
const ButtonInfo &buttonInfo(DialogButton b);
QString dialogCaption(DialogKind kind);

// Windows' MulDiv: a * b / c rounded to the nearest integer, halves away from zero.
int MulDiv(int a, int b, int c);

// Everything the layout depends on, measured beforehand, so the layout is a pure function.
struct MessageLayoutInput
{
    int avgCharWidth = 0; // extent of "A".."Za".."z" / 52
    int avgCharHeight = 0;
    QSize textSize; // word-wrapped text, tabs expanded, in half the screen width
    bool hasIcon = false;
    int buttonCount = 0;
    int widestCaption = 0; // widest caption of the shown buttons, drawn width + 8
    QSize screen;
    bool rightToLeft = false;
};

struct MessageLayout
{
    int horzMargin = 0, vertMargin = 0, horzSpacing = 0, vertSpacing = 0;
    int buttonWidth = 0, buttonHeight = 0, buttonSpacing = 0;
    QSize client;
    QPoint topLeft;
    QRect icon; // empty without an icon
    QRect label;
    QList<QRect> buttons; // in the order of the button table
};
MessageLayout layoutMessageDialog(const MessageLayoutInput &in);

// The text that Ctrl+C puts on the clipboard.
QString messageDialogCopyText(const QString &caption, const QString &message,
                              const QStringList &buttonCaptions);

class TMessageForm : public QDialog
{
    Q_OBJECT
public:
    explicit TMessageForm(QWidget *parent = nullptr);
    QLabel *Message = nullptr;
    // mrNone when the dialog has no such button.
    int defaultResult() const { return m_defaultResult; }
    int cancelResult() const { return m_cancelResult; }
    QString copyText() const;

protected:
    void keyPressEvent(QKeyEvent *e) override;
    void reject() override;

private:
    friend TMessageForm *BuildMessageDialog(const QString &, DialogKind, const DialogButtons &);
    QList<QPushButton *> m_buttons;
    int m_defaultResult = mrNone;
    int m_cancelResult = mrNone;
};

TMessageForm *BuildMessageDialog(const QString &text, DialogKind kind,
                                 const DialogButtons &buttons);
int ShowMessageDialogAt(const QString &text, DialogKind kind, const DialogButtons &buttons,
                        int helpContext, int x, int y, const QString &helpFile);
int ShowMessageDialog(const QString &text, DialogKind kind, const DialogButtons &buttons,
                      int helpContext);
