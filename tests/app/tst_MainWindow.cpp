#include "app/RD7F.h"
#include "common/ScriptedPrompts.h"
#include "display/LcdPanel.h"
#include "recording/MeasurementGrid.h"
#include "recording/uCharControl.h"
#include <qcustomplot.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void startUpDefaults()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        QCOMPARE(FCOMM, &w);
        QCOMPARE(w.windowTitle(), QStringLiteral("TK12/TK14 Interface Program Ver4.00"));
        QCOMPARE(w.S.NextRecordNo, 1);
        QCOMPARE(w.S.RecordLimit, 10000);
        QCOMPARE(w.S.StoredRowCount, 0);
        QCOMPARE(w.S.RangeMax, 855);
        QCOMPARE(w.S.RangeMin, -50);
        QCOMPARE(w.S.DecimalSep, QLocale().decimalPoint());
        QVERIFY(!w.B2400->isVisibleTo(&w) && !w.B4800->isVisibleTo(&w) &&
                !w.B9600->isVisibleTo(&w));
        QVERIFY(w.B2400->isChecked() && !w.B4800->isChecked() && !w.B9600->isChecked());
        QVERIFY(w.RepeatSet->isChecked());
        QVERIFY(w.RecordSI->isChecked());
        QCOMPARE(w.RecordSITime->text(), QStringLiteral("1"));
        QCOMPARE(w.Maxrecord->text(), QStringLiteral("100"));
        QCOMPARE(w.Bt10->text(), QStringLiteral("1"));
        QVERIFY(!w.RecallData->isChecked() && w.RecallData->isEnabled());
        QVERIFY(!w.USBCon->isChecked());
        QCOMPARE(w.RepeatSet->toolTip(), QStringLiteral("Repeage Record"));
        QCOMPARE(w.RecordSI->text(), QStringLiteral("Sampling Interval           'S"));
    }

    void geometry()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        QCOMPARE(w.centralWidget()->size(), QSize(920, 582));
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.Panel4->geometry(), QRect(0, 0, 920, 33));
        // The top bar's three controls are Arial 13 pixels, regular, unlike the window's font.
        for (QWidget *c : {static_cast<QWidget *>(w.USBCon), static_cast<QWidget *>(w.RecallData),
                           static_cast<QWidget *>(w.BitBtn1)}) {
            QCOMPARE(c->font().pixelSize(), 13);
            QCOMPARE(c->font().weight(), QFont::Normal);
            QCOMPARE(QFontInfo(c->font()).family(), QStringLiteral("Liberation Sans"));
        }
        QCOMPARE(w.Panel5->geometry(), QRect(0, 33, 337, 549));
        QCOMPARE(w.Panel7->geometry(), QRect(337, 33, 583, 549));
        QCOMPARE(w.Panel1->geometry(), QRect(0, 0, 337, 145));
        QVERIFY(!w.PBar2->isVisible());
        QCOMPARE(w.Panel6->geometry(), QRect(0, 145, 337, 29));
        QCOMPARE(w.Panel8->geometry(), QRect(0, 0, 583, 33));
        QCOMPARE(w.Chtshow->geometry(), QRect(0, 33, 583, 516));
        QCOMPARE(w.USBCon->geometry(), QRect(3, 4, 110, 25));
        QCOMPARE(w.RecallData->geometry(), QRect(136, 11, 121, 17));
        QCOMPARE(w.BitBtn1->geometry(), QRect(835, 4, 68, 25));
        QCOMPARE(w.RecordSITime->geometry(), QRect(159, 4, 27, 21));
        QCOMPARE(w.BtPrint->geometry(), QRect(310, 4, 22, 21));
        QCOMPARE(w.Maxrecord->geometry(), QRect(335, 6, 41, 21));
        QCOMPARE(w.BTlast->geometry(), QRect(525, 6, 25, 21));
        QCOMPARE(w.lbl_time->geometry(), QRect(416, 10, 153, 14));
        QCOMPARE(w.CONokN->geometry(), QRect(5, 4, 25, 24));
        QVERIFY(w.CONokN->isVisible() && !w.CONok->isVisible());
        for (QWidget *hidden :
             std::initializer_list<QWidget *>{w.DevListBox, w.HistoryListBox, w.ReadBtn,
                                              w.SetFeature, w.SendData, w.USBtxt, w.USBtxt1})
            QVERIFY(!hidden->isVisible());
    }

    void timers()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        QCOMPARE(w.ConTimer->interval(), 10);
        QVERIFY(w.ConTimer->isActive());
        QCOMPARE(w.Timer1->interval(), 500);
        QVERIFY(!w.Timer1->isActive());
        QVERIFY(w.Timer1->isSingleShot());
        QCOMPARE(w.Timer2->interval(), 1000);
        QVERIFY(w.Timer2->isActive());
        QCOMPARE(w.Trecord->interval(), 1000);
        QVERIFY(w.Trecord->isActive());
        QCOMPARE(w.lbl_time->text(),
                 QLocale().toString(QDate::currentDate(), QLocale::ShortFormat));
    }

    void connectButtonCaptionFollowsState()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        w.ConTimerTimer();
        QCOMPARE(w.USBCon->text(), QStringLiteral("USB Connect"));
        w.USBCon->setChecked(true);
        w.ConTimerTimer();
        QCOMPARE(w.USBCon->text(), QStringLiteral("USB Disconnect"));
        // The tick divider runs 0, 1, 2, 0.
        w.S.ConTickCount = 0;
        w.ConTimerTimer();
        w.ConTimerTimer();
        QCOMPARE(w.S.ConTickCount, 2);
        w.ConTimerTimer();
        QCOMPARE(w.S.ConTickCount, 0);
    }

    void menu()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        QVERIFY(!w.ConnectMenu->menuAction()->isVisible());
        QCOMPARE(w.START->text(), QStringLiteral("START"));
        QCOMPARE(w.START->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_A));
        QVERIFY(w.actions().contains(w.START));
        QStringList entries;
        for (QAction *a : w.RecordMenu->actions())
            entries << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QCOMPARE(entries, QStringList({"New", "Save", "-", "1000", "5000", "10000", "50000",
                                       "100000", "limitless"}));
        for (QAction *a : {w.N10001, w.N50001, w.N500001, w.N1000001, w.limitess})
            QVERIFY(!a->isChecked());
        QVERIFY(w.N100001->isChecked());
    }

    void exitQuestion()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        w.show();
        w.USBCon->setChecked(true);
        prompts.questionAnswers.enqueue(QMessageBox::No);
        w.BitBtn1->click();
        QCOMPARE(prompts.questions.size(), 1);
        const AskedQuestion &q = prompts.questions.first();
        QCOMPARE(q.caption, QStringLiteral("Norvane TX-9"));
        QCOMPARE(q.text, QStringLiteral("Are you ensure to exit the program?"));
        QCOMPARE(q.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(q.icon, QMessageBox::Warning);
        QVERIFY(w.isVisible());
        QVERIFY(w.USBCon->isChecked());

        prompts.questionAnswers.enqueue(QMessageBox::Yes);
        QVERIFY(w.close());
        QVERIFY(!w.isVisible());
        QCOMPARE(prompts.questions.size(), 2);
    }

    // The keyboard: Tab walks every control in the order of the layout with a visible focus,
    // Ctrl+A connects from anywhere (the edit boxes and the grid included), the tool strips'
    // commands have their usual keys (shown in their hints), and the chart pages by key.
    void keyboard()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.USBCon->setFocus();
        const QList<QWidget *> expected = {
            w.USBCon,    w.RecallData,    w.BitBtn1,    w.RepeatSet, w.RecordSI, w.RecordSITime,
            w.RecordNew, w.OpenDataFiles, w.saveas,     w.BtPrint,   w.DBGrid1,  w.Maxrecord,
            w.BtSave,    w.BtFirst,       w.BTPrevious, w.BtNext,    w.BTlast};
        const QString shots = qEnvironmentVariable("TX9_SCREENSHOT_DIR");
        for (qsizetype i = 0; i < expected.size(); ++i) {
            QCOMPARE(QApplication::focusWidget(), expected[i]);
            if (!shots.isEmpty() && (expected[i] == w.DBGrid1 || expected[i] == w.saveas))
                w.grab().save(shots + "/focus-" + expected[i]->objectName() + ".png");
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(QApplication::focusWidget(), expected.first()); // and round again
        if (!shots.isEmpty())
            w.grab().save(shots + "/focus-usb-connect.png");
        // The grid shows that it has the focus.
        w.DBGrid1->setFocus();
        const QImage focused = w.DBGrid1->viewport()->grab().toImage();
        w.USBCon->setFocus();
        QCoreApplication::processEvents();
        QVERIFY(focused != w.DBGrid1->viewport()->grab().toImage());

        // Ctrl+A with the focus in each kind of control: the same as the button's press.
        int presses = 0;
        connect(w.START, &QAction::triggered, [&] { ++presses; });
        for (QWidget *where :
             QList<QWidget *>{w.RecordSITime, w.Maxrecord, w.DBGrid1, w.RepeatSet}) {
            where->setFocus();
            QTest::keyClick(where, Qt::Key_A, Qt::ControlModifier);
        }
        QCOMPARE(presses, 4);

        // The commands' keys; what they did is what the button does (cancelled dialogs here).
        struct Key
        {
            QKeySequence key;
            QToolButton *button;
        };
        for (const Key &k :
             {Key{QKeySequence::Open, w.OpenDataFiles}, Key{QKeySequence::Save, w.saveas},
              Key{QKeySequence::Print, w.BtPrint}}) {
            int clicks = 0;
            const auto c = connect(k.button, &QToolButton::clicked, [&] { ++clicks; });
            w.DBGrid1->setFocus();
            QTest::keySequence(&w, k.key);
            QCOMPARE(clicks, 1);
            disconnect(c);
            QVERIFY2(
                k.button->toolTip().endsWith("(" + k.key.toString(QKeySequence::NativeText) + ")"),
                qPrintable(k.button->toolTip()));
        }
        QCOMPARE(prompts.fileRequests.size(), 2);
        QCOMPARE(prompts.fileRequests[0].title, QStringLiteral("Open"));
        QCOMPARE(prompts.fileRequests[1].title, QStringLiteral("Save As"));
        QCOMPARE(prompts.previews, 1);
        // Paging on the chart's side; in the grid the same keys stay the grid's.
        w.Maxrecord->setText("10");
        QTest::qWait(600); // the page size applies after half a second
        for (int i = 0; i < 35; ++i)
            w.ChartCtl->AddValue(i);
        QCOMPARE(w.ChartCtl->Page(), 4);
        w.BtSave->setFocus();
        QTest::keyClick(w.BtSave, Qt::Key_Home);
        QCOMPARE(w.ChartCtl->Page(), 1);
        QTest::keyClick(w.BtSave, Qt::Key_PageDown);
        QCOMPARE(w.ChartCtl->Page(), 2);
        QTest::keyClick(w.BtSave, Qt::Key_End);
        QCOMPARE(w.ChartCtl->Page(), 4);
        QTest::keyClick(w.BtSave, Qt::Key_PageUp);
        QCOMPARE(w.ChartCtl->Page(), 3);
        w.DBGrid1->setFocus();
        QTest::keyClick(w.DBGrid1, Qt::Key_Home);
        QCOMPARE(w.ChartCtl->Page(), 3);
        // The window's icon is the program's.
        QVERIFY(!w.windowIcon().isNull());
    }

    void numericBoxesTakeDigitsOnly()
    {
        ScriptedPrompts prompts;
        TFCOMM w;
        for (QLineEdit *edit : {w.RecordSITime, w.Maxrecord}) {
            edit->clear();
            QTest::keyClicks(edit, QStringLiteral("1a-2+ 3"));
            QCOMPARE(edit->text(), QStringLiteral("123"));
            // Pasted text goes through the same check.
            edit->clear();
            edit->insert(QStringLiteral("12x"));
            QCOMPARE(edit->text(), QString());
            QTest::keyClick(edit, Qt::Key_Backspace);
        }
    }
};

QTEST_MAIN(tst_MainWindow)
#include "tst_MainWindow.moc"
