#include "app/RD7F.h"
#include "outputs/Outputs.h"

#include "app/BackgroundTask.h"
#include "app/Prompts.h"
#include "app/ToolGlyphs.h"
#include "display/AppIcon.h"
#include "display/Fonts.h"
#include "display/IndicatorPictures.h"
#include "display/LcdPanel.h"
#include "outputs/AuditTrail.h"
#include "outputs/JournalWatch.h"
#include "recording/LocaleInfo.h"
#include "recording/MeasurementGrid.h"
#include "recording/MeasurementTable.h"
#include "recording/uCharControl.h"
#include "session/Journal.h"
#include "usb/HidControllerClass.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <qcustomplot.h>

TFCOMM *FCOMM = nullptr;

namespace {

QFrame *makePanel(QWidget *parent, const QString &name)
{
    auto *p = new QFrame(parent);
    p->setObjectName(name);
    p->setFrameShape(QFrame::Panel);
    p->setFrameShadow(QFrame::Raised);
    return p;
}

QToolButton *makeToolButton(QWidget *parent, const QString &name, const QRect &geometry,
                            const QString &hint, const QIcon &icon = QIcon())
{
    auto *b = new QToolButton(parent);
    b->setObjectName(name);
    b->setGeometry(geometry);
    b->setToolTip(hint);
    b->setAutoRaise(true);
    if (!icon.isNull()) {
        b->setIcon(icon);
        b->setIconSize(QSize(16, 16));
    }
    // Reached by Tab, not taken by a click: the focus stays where the user works.
    b->setFocusPolicy(Qt::TabFocus);
    return b;
}

// Numeric edit boxes take only digits; this also holds for pasted text.
void digitsOnly(QLineEdit *edit)
{
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}")), edit));
}

// An edit box takes Ctrl+A as "select all" before any window shortcut is looked at. In this
// window Ctrl+A connects wherever the focus is, so the box lets the shortcut have it.
class ShortcutPassesThrough : public QObject
{
public:
    ShortcutPassesThrough(const QKeySequence &key, QObject *parent) : QObject(parent), m_key(key) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::ShortcutOverride &&
            QKeySequence(static_cast<QKeyEvent *>(event)->keyCombination()) == m_key) {
            event->ignore();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QKeySequence m_key;
};

} // namespace

TFCOMM::TFCOMM(HidPlatform *platform, QWidget *parent)
    : QMainWindow(parent), Session(*this, Journal::defaultFolder(), nullptr, this)
{
    FCOMM = this;
    setObjectName(QStringLiteral("FCOMM"));
    setFont(Fonts::msSansSerif(11, true));
    // The program's icon on every window: this one, its dialogs, the preview.
    QApplication::setWindowIcon(AppIcon::icon());
    // Fixed single border with system menu and minimise box only.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    client->setFixedSize(920, 582);
    setCentralWidget(client);

    buildTopBar();
    buildLeftColumn();
    buildRightArea();
    buildHiddenControls();
    buildTimers();
    buildMenu();
    buildKeyboard();
    connectRecording();
    connectOutput();
    connectSession();
    // While the window is loaded the controller scans; assigning its device-change handler
    // builds the device list before FormCreate runs.
    connectUsb(platform);

    FormCreate();

    // Every row from here on is also kept on disk until the program closes normally.
    RecoveryJournal = &Session.journal();
    connect(new JournalWatch(*RecoveryJournal, this), &JournalWatch::writeFailed, this,
            [this](const QString &path, const QString &reason) {
                const QString message =
                    QStringLiteral(
                        "Could not write the recovery journal %1: %2. Readings are still "
                        "recorded on screen; save them before you close the program.")
                        .arg(path, reason);
                // Not from inside the recording step that appended the row.
                QTimer::singleShot(0, this, [message] {
                    Prompts::current().message(message, DialogKind::Warning, {DialogButton::OK});
                });
            });
    RecoveryJournal->attach(cds1);
    buildTools();
    buildAudit();

    adjustSize();
    setFixedSize(sizeHint());
    if (const QScreen *screen = QApplication::primaryScreen()) {
        const QRect avail = screen->availableGeometry();
        move(avail.center() - QPoint(width() / 2, height() / 2));
    }
}

TFCOMM::~TFCOMM()
{
    // The outputs follow the session, which goes before the window's children do.
    delete std::exchange(Out, nullptr);
    Engine.releaseDeviceList();
    delete ChartCtl;
    if (FCOMM == this)
        FCOMM = nullptr;
}

void TFCOMM::buildTopBar()
{
    Panel4 = makePanel(centralWidget(), QStringLiteral("Panel4"));
    Panel4->setGeometry(0, 0, 920, 33);

    USBCon = new QPushButton(QStringLiteral("USB Connect"), Panel4);
    USBCon->setObjectName(QStringLiteral("USBCon"));
    USBCon->setGeometry(3, 4, 110, 25);
    USBCon->setCheckable(true);
    USBCon->setToolTip(QStringLiteral("USB Connect"));
    USBCon->setFont(Fonts::arial(13));
    // The tick rewrites the caption, but a tick whose handler has a message open does not
    // come again until it is answered: the caption also follows every change at once.
    connect(USBCon, &QPushButton::toggled, this, &TFCOMM::showConnectCaption);

    RecallData = new QCheckBox(QStringLiteral("Download Data"), Panel4);
    RecallData->setObjectName(QStringLiteral("RecallData"));
    RecallData->setGeometry(136, 11, 121, 17);
    RecallData->setFont(Fonts::arial(13));

    BitBtn1 = new QPushButton(QStringLiteral("Exit"), Panel4);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(835, 4, 68, 25);
    BitBtn1->setFont(Fonts::arial(13));
    connect(BitBtn1, &QPushButton::clicked, this, &TFCOMM::BitBtn1Click);
}

void TFCOMM::buildLeftColumn()
{
    Panel5 = makePanel(centralWidget(), QStringLiteral("Panel5"));
    Panel5->setGeometry(0, 33, 337, 549);
    static_cast<QFrame *>(Panel5)->setFrameShape(QFrame::NoFrame);
    auto *column = new QVBoxLayout(Panel5);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    Panel1 = new LcdPanel(Panel5);
    column->addWidget(Panel1);

    PBar2 = new QProgressBar(Panel5);
    PBar2->setObjectName(QStringLiteral("PBar2"));
    PBar2->setFixedHeight(12);
    PBar2->hide();
    column->addWidget(PBar2);

    Panel6 = makePanel(Panel5, QStringLiteral("Panel6"));
    Panel6->setFixedHeight(29);
    column->addWidget(Panel6);

    RepeatSet = new QCheckBox(QStringLiteral("Repeat"), Panel6);
    RepeatSet->setObjectName(QStringLiteral("RepeatSet"));
    RepeatSet->setGeometry(3, 5, 54, 20);
    RepeatSet->setToolTip(QStringLiteral("Repeage Record"));
    RepeatSet->setChecked(true);
    RepeatSet->setFont(Fonts::arial(11));

    RecordSI = new QCheckBox(QStringLiteral("Sampling Interval           'S"), Panel6);
    RecordSI->setObjectName(QStringLiteral("RecordSI"));
    RecordSI->setGeometry(57, 5, 143, 20);
    RecordSI->setChecked(true);
    RecordSI->setFont(Fonts::arial(11));

    // Lies over the gap in RecordSI's caption.
    // Windows-sized check marks, so that the captions fit their designed widths.
    Panel6->setStyleSheet(QStringLiteral("QCheckBox { spacing: 2px; } "
                                         "QCheckBox::indicator { width: 11px; height: 11px; }"));
    RecordSITime = new QLineEdit(QStringLiteral("1"), Panel6);
    RecordSITime->setObjectName(QStringLiteral("RecordSITime"));
    RecordSITime->setGeometry(159, 4, 27, 21);
    digitsOnly(RecordSITime);
    RecordSITime->raise();

    RecordNew = makeToolButton(Panel6, QStringLiteral("RecordNew"), QRect(244, 4, 23, 21),
                               QStringLiteral("Close Data"), ToolGlyphs::closeData());
    OpenDataFiles = makeToolButton(Panel6, QStringLiteral("OpenDataFiles"), QRect(266, 4, 23, 21),
                                   QStringLiteral("Open old data files"), ToolGlyphs::openFile());
    saveas = makeToolButton(Panel6, QStringLiteral("saveas"), QRect(288, 4, 23, 21),
                            QStringLiteral("Save data files"), ToolGlyphs::saveFile());
    BtPrint = makeToolButton(Panel6, QStringLiteral("BtPrint"), QRect(310, 4, 22, 21),
                             QStringLiteral("Print"), ToolGlyphs::print());

    cds1 = &Session.table();
    DBGrid1 = new MeasurementGrid(cds1, Panel5);
    column->addWidget(DBGrid1, 1);
}

void TFCOMM::buildRightArea()
{
    Panel7 = makePanel(centralWidget(), QStringLiteral("Panel7"));
    Panel7->setGeometry(337, 33, 583, 549);
    static_cast<QFrame *>(Panel7)->setFrameShape(QFrame::NoFrame);
    auto *column = new QVBoxLayout(Panel7);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    Panel8 = makePanel(Panel7, QStringLiteral("Panel8"));
    Panel8->setFixedHeight(33);
    column->addWidget(Panel8);

    CONokN = new QLabel(Panel8);
    CONokN->setObjectName(QStringLiteral("CONokN"));
    CONokN->setGeometry(5, 4, 25, 24);
    CONokN->setPixmap(IndicatorPictures::pcAndMeter(false));
    CONok = new QLabel(Panel8);
    CONok->setObjectName(QStringLiteral("CONok"));
    CONok->setGeometry(5, 4, 25, 24);
    CONok->setPixmap(IndicatorPictures::pcAndMeter(true));
    CONok->hide();

    Label6 = new QLabel(QStringLiteral("View measurement data per                set"), Panel8);
    Label6->setObjectName(QStringLiteral("Label6"));
    Label6->setGeometry(194, 8, 200, 14);
    Label6->setFont(Fonts::arial(11));

    Maxrecord = new QLineEdit(QStringLiteral("100"), Panel8);
    Maxrecord->setObjectName(QStringLiteral("Maxrecord"));
    Maxrecord->setGeometry(335, 6, 41, 21);
    digitsOnly(Maxrecord);
    Maxrecord->raise();

    BtSave = makeToolButton(Panel8, QStringLiteral("BtSave"), QRect(401, 6, 29, 21),
                            QStringLiteral("Save"), ToolGlyphs::picture());
    BtFirst = makeToolButton(Panel8, QStringLiteral("BtFirst"), QRect(429, 6, 25, 21), QString(),
                             ToolGlyphs::arrow(ToolGlyphs::Arrow::First));
    BTPrevious = makeToolButton(Panel8, QStringLiteral("BTPrevious"), QRect(453, 6, 25, 21),
                                QString(), ToolGlyphs::arrow(ToolGlyphs::Arrow::Previous));
    Bt10 = makeToolButton(Panel8, QStringLiteral("Bt10"), QRect(477, 6, 25, 21), QString());
    Bt10->setText(QStringLiteral("1"));
    Bt10->setFocusPolicy(Qt::NoFocus); // the page number: nothing to press
    Bt10->setStyleSheet(QStringLiteral("color: rgb(0, 0, 255);"));
    BtNext = makeToolButton(Panel8, QStringLiteral("BtNext"), QRect(501, 6, 25, 21), QString(),
                            ToolGlyphs::arrow(ToolGlyphs::Arrow::Next));
    BTlast = makeToolButton(Panel8, QStringLiteral("BTlast"), QRect(525, 6, 25, 21), QString(),
                            ToolGlyphs::arrow(ToolGlyphs::Arrow::Last));
    for (QToolButton *b : {BtFirst, BTPrevious, BtNext, BTlast})
        b->setIconSize(QSize(16, 15));

    Chtshow = new QCustomPlot(Panel7);
    Chtshow->resize(583, 516);
    TChartControl::ConfigureChart(Chtshow);
    column->addWidget(Chtshow, 1);

    lbl_time = new QLabel(Chtshow);
    lbl_time->setObjectName(QStringLiteral("lbl_time"));
    lbl_time->setGeometry(416, 10, 153, 14);
    lbl_time->setAlignment(Qt::AlignCenter);
    lbl_time->setFont(Fonts::arial(11));
    lbl_time->setStyleSheet(QStringLiteral("color: rgb(0, 0, 255); background: transparent;"));
}

void TFCOMM::buildHiddenControls()
{
    auto hidden = [this](QWidget *w, const QString &name) {
        w->setObjectName(name);
        w->setParent(centralWidget());
        w->hide();
    };
    DevListBox = new QListWidget;
    hidden(DevListBox, QStringLiteral("DevListBox"));
    HistoryListBox = new QListWidget;
    hidden(HistoryListBox, QStringLiteral("HistoryListBox"));
    ReadBtn = new QToolButton;
    ReadBtn->setText(QStringLiteral("Read"));
    hidden(ReadBtn, QStringLiteral("ReadBtn"));
    SetFeature = new QPushButton(QStringLiteral("SetFeature"));
    hidden(SetFeature, QStringLiteral("SetFeature"));
    SendData = new QPushButton(QStringLiteral("USBSendData"));
    hidden(SendData, QStringLiteral("SendData"));
    USBtxt = new QLabel;
    hidden(USBtxt, QStringLiteral("USBtxt"));
    USBtxt1 = new QLabel;
    hidden(USBtxt1, QStringLiteral("USBtxt1"));
    // The baud-rate boxes exist as designed (only 2400 checked) and are hidden at start-up.
    B2400 = new QCheckBox(QStringLiteral("2400"), centralWidget());
    B2400->setObjectName(QStringLiteral("B2400"));
    B2400->setChecked(true);
    B4800 = new QCheckBox(QStringLiteral("4800"), centralWidget());
    B4800->setObjectName(QStringLiteral("B4800"));
    B9600 = new QCheckBox(QStringLiteral("9600"), centralWidget());
    B9600->setObjectName(QStringLiteral("B9600"));
}

void TFCOMM::buildTimers()
{
    auto make = [this](const QString &name, int interval, bool active) {
        auto *t = new QTimer(this);
        t->setObjectName(name);
        t->setInterval(interval);
        if (active)
            t->start();
        return t;
    };
    ConTimer = make(QStringLiteral("ConTimer"), 10, true);
    Timer1 = make(QStringLiteral("Timer1"), 500, false);
    Timer1->setSingleShot(true);
    Timer2 = make(QStringLiteral("Timer2"), 1000, true);
    Trecord = make(QStringLiteral("Trecord"), 1000, true);
    connect(ConTimer, &QTimer::timeout, this, &TFCOMM::ConTimerTimer);
    connect(Timer1, &QTimer::timeout, this, &TFCOMM::Timer1Timer);
    connect(Timer2, &QTimer::timeout, this, &TFCOMM::Timer2Timer);
    connect(Trecord, &QTimer::timeout, this, &TFCOMM::TrecordTimer);
}

void TFCOMM::buildMenu()
{
    QMenuBar *MainMenu1 = menuBar();
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    MainMenu1->setNativeMenuBar(false);

    ConnectMenu = MainMenu1->addMenu(QStringLiteral("Connect"));
    ConnectMenu->setObjectName(QStringLiteral("ConnectMenu"));
    START = ConnectMenu->addAction(QStringLiteral("START"));
    START->setObjectName(QStringLiteral("START"));
    START->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    STOP = ConnectMenu->addAction(QStringLiteral("STOP"));
    STOP->setObjectName(QStringLiteral("STOP"));
    ConnectMenu->menuAction()->setVisible(false);
    // The menu is hidden, so its shortcut must live on the window to keep working.
    addAction(START);

    RecordMenu = MainMenu1->addMenu(QStringLiteral("Record"));
    RecordMenu->setObjectName(QStringLiteral("RecordMenu"));
    RecordNewEntry = RecordMenu->addAction(QStringLiteral("New"));
    RecordSaveEntry = RecordMenu->addAction(QStringLiteral("Save"));
    RecordMenu->addSeparator();
    for (const RecordLimitEntry &e : RecordLimitEntries) {
        QAction *a = RecordMenu->addAction(QString::fromLatin1(e.caption));
        a->setObjectName(QString::fromLatin1(e.name));
        a->setCheckable(true);
        this->*e.action = a;
    }
    N100001->setChecked(true);
}

void TFCOMM::connectSession()
{
    const LoggerEngine *s = &Session.engine();
    connect(s, &LoggerEngine::usbLog, this, &TFCOMM::usbLog);
    connect(s, &LoggerEngine::connecting, this, &TFCOMM::connecting);
    connect(s, &LoggerEngine::recallLocked, this, &TFCOMM::recallLocked);
    connect(s, &LoggerEngine::noReadWriteAccess, this, &TFCOMM::noReadWriteAccess);
    connect(s, &LoggerEngine::cableInUse, this, &TFCOMM::cableInUse);
    connect(s, &LoggerEngine::cableLockFailed, this, &TFCOMM::cableLockFailed);
    connect(s, &LoggerEngine::noDevice, this, &TFCOMM::noDevice);
    connect(s, &LoggerEngine::frameArrived, this, &TFCOMM::frameArrived);
    connect(s, &LoggerEngine::identificationArrived, this, &TFCOMM::identificationArrived);
    connect(s, &LoggerEngine::recordSIUnchecked, this, &TFCOMM::recordSIUnchecked);
    connect(s, &LoggerEngine::readingShown, this, &TFCOMM::readingShown);
    connect(s, &LoggerEngine::rowStored, this, &TFCOMM::rowStored);
    connect(s, &LoggerEngine::peakRaised, this, [this](double maxY) { ChartCtl->SetMaxY(maxY); });
    connect(s, &LoggerEngine::recordLimitReached, this, &TFCOMM::recordLimitReached);
    connect(s, &LoggerEngine::tableCleared, this, &TFCOMM::tableCleared);
    connect(s, &LoggerEngine::deviceListCleared, this, &TFCOMM::deviceListCleared);
    connect(s, &LoggerEngine::deviceListed, this, &TFCOMM::deviceListed);
    connect(s, &LoggerEngine::deviceChosen, this, &TFCOMM::deviceChosen);
    connect(s, &LoggerEngine::connectionLost, this, &TFCOMM::connectionLost);
    connect(s, &LoggerEngine::watchdogTripped, this, &TFCOMM::watchdogTripped);
}

void TFCOMM::buildKeyboard()
{
    // Tab follows the layout: the top bar, the left column down to the grid, then the
    // chart's tool strip.
    const QList<QWidget *> order = {USBCon,       RecallData, BitBtn1,       RepeatSet, RecordSI,
                                    RecordSITime, RecordNew,  OpenDataFiles, saveas,    BtPrint,
                                    DBGrid1,      Maxrecord,  BtSave,        BtFirst,   BTPrevious,
                                    BtNext,       BTlast};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
    // Raised-on-hover tool buttons show no focus of their own: a frame in the highlight
    // colour does.
    for (QToolButton *b :
         {RecordNew, OpenDataFiles, saveas, BtPrint, BtSave, BtFirst, BTPrevious, BtNext, BTlast})
        b->setStyleSheet(QStringLiteral(
            "QToolButton:focus { border: 1px solid palette(highlight); border-radius: 2px; }"));
    // The usual keys for the commands of the tool strips, shown in their hints.
    const struct
    {
        QToolButton *button;
        QKeySequence key;
        QWidget *scope; // nullptr: the whole window
    } keys[] = {
        {OpenDataFiles, QKeySequence::Open, nullptr},
        {saveas, QKeySequence::Save, nullptr},
        {BtPrint, QKeySequence::Print, nullptr},
        // Paging belongs to the chart's side: elsewhere these keys move in the grid or in an
        // edit box, which keep them.
        {BtFirst, QKeySequence(Qt::Key_Home), Panel7},
        {BTPrevious, QKeySequence(Qt::Key_PageUp), Panel7},
        {BtNext, QKeySequence(Qt::Key_PageDown), Panel7},
        {BTlast, QKeySequence(Qt::Key_End), Panel7},
    };
    for (const auto &k : keys) {
        auto *shortcut = new QShortcut(k.key, k.scope ? k.scope : this);
        shortcut->setContext(k.scope ? Qt::WidgetWithChildrenShortcut : Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, k.button, &QToolButton::click);
        const QString hint = k.button->toolTip();
        const QString keyText = k.key.toString(QKeySequence::NativeText);
        k.button->setToolTip(hint.isEmpty() ? keyText
                                            : QStringLiteral("%1 (%2)").arg(hint, keyText));
    }
    // Ctrl+A repeats the connect button's action with the focus anywhere, the grid and the
    // edit boxes included, which would otherwise take it as "select all".
    auto *passThrough = new ShortcutPassesThrough(START->shortcut(), this);
    for (QWidget *w : std::initializer_list<QWidget *>{RecordSITime, Maxrecord, DBGrid1})
        w->installEventFilter(passThrough);
}

void TFCOMM::FormCreate()
{
    S.DecimalSep = LocaleInfo::decimalSeparator();
    ChartCtl = new TChartControl(Chtshow, 100);
    B2400->hide();
    B4800->hide();
    B9600->hide();
    cds1->clear(); // the table opens empty
    S.NextRecordNo = 1;
    S.RecordLimit = 10000;
    setWindowTitle(QStringLiteral("TK12/TK14 Interface Program Ver4.00"));
    S.RangeMax = Protocol::DefaultRangeMax;
    S.RangeMin = Protocol::RangeMin;
    ChartCtl->SetMaxY(100);
    ChartCtl->SetMinY(Protocol::RangeMin);
    Timer2Timer();
}

void TFCOMM::BitBtn1Click()
{
    close();
}

bool TFCOMM::FormCloseQuery()
{
    return Prompts::current().question(QStringLiteral("Norvane TX-9"),
                                       QStringLiteral("Are you ensure to exit the program?"),
                                       QMessageBox::Yes | QMessageBox::No,
                                       QMessageBox::Warning) == QMessageBox::Yes;
}

void TFCOMM::closeEvent(QCloseEvent *event)
{
    if (!m_exitConfirmed && !FormCloseQuery()) {
        event->ignore();
        return;
    }
    m_exitConfirmed = true;
    if (m_longCommands > 0) {
        // A save runs to its end and a load stops where it is (its rows so far are kept);
        // the window closes once the command has returned, so no file or journal is left
        // torn and nothing is destroyed under a handler.
        event->ignore();
        BackgroundTask::cancelAll();
        return;
    }
    // The alarms still on end (through every sink, before publishing closes), and the
    // session's last entry goes into the journal before it is kept.
    if (Out) {
        Out->stop();
        Out->audit().end();
    }
    if (RecoveryJournal)
        RecoveryJournal->closeNormally();
    event->accept();
}

LongCommand::LongCommand(TFCOMM *window) : m_window(window)
{
    ++m_window->m_longCommands;
}

LongCommand::~LongCommand()
{
    if (--m_window->m_longCommands == 0 && m_window->m_exitConfirmed)
        QTimer::singleShot(0, m_window, &QWidget::close);
}

void TFCOMM::Timer2Timer()
{
    lbl_time->setText(LocaleInfo::shortDate(QDate::currentDate()));
}

void TFCOMM::ConTimerTimer()
{
    Engine.watchdogTick();
    showConnectCaption();
}

void TFCOMM::showConnectCaption()
{
    const QString caption =
        USBCon->isChecked() ? QStringLiteral("USB Disconnect") : QStringLiteral("USB Connect");
    if (USBCon->text() != caption)
        USBCon->setText(caption);
}
