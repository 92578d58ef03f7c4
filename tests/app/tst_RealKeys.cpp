#include "app/LoggersWindow.h"
#include "app/RD7F.h"
#include "common/LocalBroker.h"
#include "common/ScriptedPrompts.h"
#include "common/Wait.h"
#include "outputs/Outputs.h"
#include "recording/MeasurementGrid.h"
#include "recording/MeasurementTable.h"
#include "sim/SimulatedThermometer.h"
#include "timechart/TimeChart.h"
#include "timeline/Timeline.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <qcustomplot.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// Keys as a person presses them: through a real X server (Xvfb, started here) and its XTEST
// extension (xdotool), to the window on Qt's X11 platform, where the shortcut map, the input
// method and the focus are the real ones. The offscreen platform hands key events straight to
// a widget and cannot show what the X path does.
namespace {

pid_t xvfb = -1;
QString whyNoDisplay;

// Starts Xvfb on a free display and points DISPLAY at it; the reason when it cannot.
void startXvfb()
{
    if (::access("/usr/bin/Xvfb", X_OK) != 0) {
        whyNoDisplay = QStringLiteral("Xvfb is not installed (the xvfb package)");
        return;
    }
    if (::access("/usr/bin/xdotool", X_OK) != 0) {
        whyNoDisplay = QStringLiteral("xdotool is not installed");
        return;
    }
    int fds[2];
    if (::pipe(fds) != 0)
        return;
    const std::string fd = std::to_string(fds[1]);
    const char *argv[] = {"Xvfb",        "-displayfd", fd.c_str(), "-screen", "0",
                          "1024x768x24", "-nolisten",  "tcp",      nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc =
        posix_spawn(&xvfb, "/usr/bin/Xvfb", &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        whyNoDisplay = QStringLiteral("Xvfb cannot be started: %1").arg(strerror(rc));
        ::close(fds[0]);
        return;
    }
    // Xvfb writes its display number once it takes connections.
    char buf[32] = {};
    const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
    ::close(fds[0]);
    if (n <= 0) {
        whyNoDisplay = QStringLiteral("Xvfb did not start");
        return;
    }
    ::setenv("DISPLAY", (":" + QByteArray(buf, n).trimmed()).constData(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
}

} // namespace

class tst_RealKeys : public QObject
{
    Q_OBJECT

    // Presses keys with XTEST into the window that has the X input focus.
    static bool press(const QString &keys)
    {
        QProcess p;
        p.start("xdotool", {"key", "--clearmodifiers", keys});
        return p.waitForFinished(10000) && p.exitCode() == 0;
    }

private slots:
    void initTestCase()
    {
        if (!whyNoDisplay.isEmpty())
            QSKIP(qPrintable(whyNoDisplay));
        QCOMPARE(QGuiApplication::platformName(), "xcb");
    }

    // Ctrl+A is START wherever the focus is (the chart, the interval box, the page-size box,
    // the grid, a button), and START presses USB Connect: it connects, then disconnects, in
    // turn. Ctrl+S shows that keys arrive at all.
    void ctrlAConnectsWithTheFocusAnywhere()
    {
        ScriptedPrompts prompts;
        SimulatedHidBus bus;
        bus.plug(SimulatedThermometer::cableInterface(), std::make_shared<SimulatedThermometer>());
        TFCOMM w(&bus);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        int starts = 0, saves = 0;
        connect(w.START, &QAction::triggered, this, [&] { ++starts; });
        connect(w.saveas, &QToolButton::clicked, this, [&] { ++saves; });
        const QList<QWidget *> places{w.Chtshow, w.RecordSITime, w.Maxrecord, w.DBGrid1,
                                      w.RepeatSet};
        for (QWidget *where : places) {
            where->setFocus(Qt::OtherFocusReason);
            QVERIFY(waitUntil([&] { return QApplication::focusWidget() == where; }, 5000));
            const int before = starts;
            QVERIFY(press("ctrl+a"));
            QVERIFY2(waitUntil([&] { return starts == before + 1; }, 5000),
                     qPrintable("Ctrl+A with the focus on " + where->objectName()));
            QCOMPARE(w.USBCon->isChecked(), starts % 2 == 1);
            QCOMPARE(w.USBCon->text(), starts % 2 == 1 ? QStringLiteral("USB Disconnect")
                                                       : QStringLiteral("USB Connect"));
            // The box keeps its text: the key was not taken as "select all" and typed over.
            if (auto *edit = qobject_cast<QLineEdit *>(where))
                QVERIFY(!edit->hasSelectedText());
        }
        w.DBGrid1->setFocus();
        QVERIFY(press("ctrl+s"));
        QVERIFY(waitUntil([&] { return saves == 1; }, 5000));
        QCOMPARE(starts, int(places.size()));
    }

    // Tools -> Loggers... from the menu bar by the keyboard; typed into its Broker field, the
    // URL of a real broker and Return start the watch.
    void loggersWindowByTheKeyboard()
    {
        LocalBroker broker(QDir::temp().filePath("tst_RealKeys-broker"));
        QVERIFY(broker.start());
        ScriptedPrompts prompts;
        SimulatedHidBus bus;
        TFCOMM w(&bus);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.ToolsMenu->popup(w.mapToGlobal(QPoint(0, 0)));
        QVERIFY(waitUntil([&] { return w.ToolsMenu->isVisible(); }, 5000));
        w.ToolsMenu->setActiveAction(w.LoggersEntry);
        QVERIFY(press("Return"));
        QVERIFY(
            waitUntil([&] { return w.m_loggersWindow && w.m_loggersWindow->isVisible(); }, 5000));
        LoggersWindow *loggers = w.m_loggersWindow;
        QVERIFY(QTest::qWaitForWindowActive(loggers));
        auto *url = loggers->findChild<QLineEdit *>("BrokerUrl");
        url->setFocus(Qt::OtherFocusReason);
        QVERIFY(waitUntil([&] { return QApplication::focusWidget() == url; }, 5000));
        QProcess type;
        type.start("xdotool", {"type", "--delay", "20", broker.url()});
        QVERIFY(type.waitForFinished(20000) && type.exitCode() == 0);
        QVERIFY(waitUntil([&] { return url->text() == broker.url(); }, 5000));
        QVERIFY(press("Return"));
        QVERIFY(waitUntil([&] { return loggers->watch().connected(); }, 10000));
    }

    // Ctrl+T opens the time chart beside the window; its own keys then work in it, N among
    // them on the reading under the pointer.
    void ctrlTOpensTheTimeChart()
    {
        ScriptedPrompts prompts;
        SimulatedHidBus bus;
        TFCOMM w(&bus);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.DBGrid1->setFocus();
        QVERIFY(press("ctrl+t"));
        QVERIFY(waitUntil([&] { return w.timeChart() && w.timeChart()->isVisible(); }, 5000));
        TimeChart *chart = w.timeChart();
        QVERIFY(QTest::qWaitForWindowActive(chart));
        // Its keys go to the widget with the focus in it: on a loaded machine the window
        // manager may make it active before the focus has moved in.
        QVERIFY(waitUntil(
            [&] {
                QWidget *focus = QApplication::focusWidget();
                return focus && (focus == chart || chart->isAncestorOf(focus));
            },
            5000));
        QTest::qWait(100);
        const double span = chart->view().size();
        QVERIFY(press("minus"));
        QVERIFY2(waitUntil([&] { return qAbs(chart->view().size() - 2 * span) < 1; }, 5000),
                 qPrintable(QString::number(chart->view().size())));
        QVERIFY(press("Left"));
        QVERIFY(waitUntil([&] { return !chart->following(); }, 5000));
        QVERIFY(press("End"));
        QVERIFY(waitUntil([&] { return chart->following(); }, 5000));

        // The real pointer over the chart: the readout reads the reading under it, and N
        // notes that reading, whatever the pixels between them.
        const QDateTime start = QDateTime::currentDateTime().addSecs(-120);
        for (int i = 0; i < 60; ++i)
            w.cds1->appendRow({i + 1, start.addSecs(2 * i).toString("HH:mm:ss"),
                               QString::number(20 + i % 7, 'f', 1), "#", start.addSecs(2 * i)});
        chart->setView(double(start.toMSecsSinceEpoch()) / 1000,
                       double(start.toMSecsSinceEpoch()) / 1000 + 60);
        chart->replotNow();
        QCustomPlot *plot = chart->plot();
        const double beside = double(start.toMSecsSinceEpoch()) / 1000 + 20.9; // No 11 + 0.9 s
        const QPoint at = plot->mapToGlobal(
            QPoint(int(plot->xAxis->coordToPixel(beside)), plot->axisRect()->center().y()));
        QProcess move;
        move.start("xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y())});
        QVERIFY(move.waitForFinished(10000) && move.exitCode() == 0);
        QVERIFY(waitUntil([&] { return chart->readoutRow() == 10; }, 5000));
        QVERIFY(chart->cursorText().contains(QStringLiteral("No 11")));
        prompts.textAnswers.enqueue(QStringLiteral("door opened"));
        QVERIFY(press("n"));
        QVERIFY(waitUntil([&] { return !w.Out->timeline()->notes().all().empty(); }, 5000));
        const Notes::Note note = w.Out->timeline()->notes().all().front();
        QCOMPARE(note.Row, qint64(10));
        QCOMPARE(note.No, std::optional<qint32>(11));
    }
};

int main(int argc, char **argv)
{
    startXvfb();
    // A window manager, as on a desktop, when there is one (it frames, focuses and may take
    // keys of its own).
    pid_t wm = -1;
    if (whyNoDisplay.isEmpty() && ::access("/usr/bin/openbox", X_OK) == 0) {
        const char *argv[] = {"openbox", "--sm-disable", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn(&wm, "/usr/bin/openbox", &actions, nullptr, const_cast<char **>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::sleep(1);
    }
    if (!whyNoDisplay.isEmpty())
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int status;
    {
        QApplication app(argc, argv);
        tst_RealKeys test;
        status = QTest::qExec(&test, argc, argv);
    }
    if (wm > 0) {
        ::kill(wm, SIGTERM);
        ::waitpid(wm, nullptr, 0);
    }
    if (xvfb > 0) {
        ::kill(xvfb, SIGTERM);
        ::waitpid(xvfb, nullptr, 0);
    }
    return status;
}

#include "tst_RealKeys.moc"
