#include "app/NewMsgDlg.h"
#include "app/Prompts.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <memory>

class tst_MessageDialog : public QObject
{
    Q_OBJECT

    static MessageLayoutInput fixedMetrics()
    {
        MessageLayoutInput in;
        in.avgCharWidth = 6;
        in.avgCharHeight = 13;
        in.screen = QSize(1280, 1024);
        return in;
    }

private slots:
    void mulDivRounds()
    {
        QCOMPARE(MulDiv(8, 6, 4), 12);
        QCOMPARE(MulDiv(8, 13, 8), 13);
        QCOMPARE(MulDiv(10, 13, 8), 16); // 16.25
        QCOMPARE(MulDiv(14, 13, 8), 23); // 22.75
        QCOMPARE(MulDiv(10, 7, 4), 18);  // 17.5 away from zero
        QCOMPARE(MulDiv(-10, 7, 4), -18);
        QCOMPARE(MulDiv(1, 1, 0), -1);
    }

    void shortTextIsAsWideAsTheButtons()
    {
        MessageLayoutInput in = fixedMetrics();
        in.textSize = QSize(40, 13);
        in.hasIcon = true;
        in.buttonCount = 2;
        in.widestCaption = 30;
        const MessageLayout l = layoutMessageDialog(in);
        QCOMPARE(l.horzMargin, 12);
        QCOMPARE(l.vertMargin, 13);
        QCOMPARE(l.horzSpacing, 15);
        QCOMPARE(l.vertSpacing, 16);
        QCOMPARE(l.buttonWidth, 75);
        QCOMPARE(l.buttonHeight, 23);
        QCOMPARE(l.buttonSpacing, 6);
        // Buttons 2 x 75 + 6 = 156 exceed icon and text 40 + 32 + 15 = 87.
        QCOMPARE(l.client, QSize(156 + 24, 32 + 23 + 16 + 26));
        QCOMPARE(l.icon, QRect(12, 13, 32, 32));
        QCOMPARE(l.label, QRect(12 + 47, 13, 40, 13)); // right of the icon
        QCOMPARE(l.buttons.size(), 2);
        QCOMPARE(l.buttons[0], QRect(12, 32 + 13 + 16, 75, 23));
        QCOMPARE(l.buttons[1].left(), 12 + 75 + 6);
        QCOMPARE(l.topLeft, QPoint(640 - 90, 512 - 48));
    }

    void wideCaptionWidensButtons()
    {
        MessageLayoutInput in = fixedMetrics();
        in.textSize = QSize(300, 26);
        in.buttonCount = 1;
        in.widestCaption = 90;
        const MessageLayout l = layoutMessageDialog(in);
        QCOMPARE(l.buttonWidth, 90);
        QCOMPARE(l.client.width(), 300 + 24);
        QCOMPARE(l.label.left(), 12); // no icon: text at the margin
        QVERIFY(l.icon.isNull());
        QCOMPARE(l.buttons[0].left(), (324 - 90) / 2);
    }

    void rightToLeftMirrorsTheLabel()
    {
        MessageLayoutInput in = fixedMetrics();
        in.textSize = QSize(200, 13);
        in.hasIcon = true;
        in.buttonCount = 1;
        in.rightToLeft = true;
        const MessageLayout l = layoutMessageDialog(in);
        const int left = 47 + 12;
        QCOMPARE(l.label.left(), l.client.width() - left - 200);
    }

    void copyTextPattern()
    {
        const QString d = QString(27, '-') + "\r\n";
        QCOMPARE(messageDialogCopyText("Warning", "Failed to Load File!", {"OK"}),
                 d + "Warning\r\n" + d + "Failed to Load File!\r\n" + d + "OK   \r\n" + d);
        QCOMPARE(messageDialogCopyText("Confirm", "x", {"&Yes", "&No", "N&o to All"}),
                 d + "Confirm\r\n" + d + "x\r\n" + d + "Yes   No   No to All   \r\n" + d);
    }

    void builtDialog()
    {
        TMessageForm *f =
            BuildMessageDialog("Are you sure that you want to delete this record?",
                               DialogKind::Confirmation, {DialogButton::No, DialogButton::Yes});
        QCOMPARE(f->windowTitle(), QStringLiteral("Confirm"));
        QVERIFY(f->findChild<QLabel *>("Image"));
        QCOMPARE(f->Message->objectName(), QStringLiteral("Message"));
        auto *yes = f->findChild<QPushButton *>("Yes");
        auto *no = f->findChild<QPushButton *>("No");
        QVERIFY(yes && no);
        QCOMPARE(yes->text(), QStringLiteral("&Yes"));
        QVERIFY(yes->x() < no->x()); // table order, whatever order the caller gave
        QVERIFY(yes->isDefault());
        QCOMPARE(f->defaultResult(), mrYes);
        QCOMPARE(f->cancelResult(), mrNo);
        QVERIFY(f->Message->geometry().left() > 32);
        delete f;

        TMessageForm *c = BuildMessageDialog("plain", DialogKind::Custom, {DialogButton::OK});
        QVERIFY(!c->findChild<QLabel *>("Image"));
        QCOMPARE(c->windowTitle(), QApplication::applicationDisplayName());
        QCOMPARE(c->cancelResult(), mrOk);
        delete c;
    }

    void longTextWrapsAndTabsExpand()
    {
        const QString longText = QString("word ").repeated(400);
        TMessageForm *f = BuildMessageDialog(longText, DialogKind::Information, {DialogButton::OK});
        QVERIFY(f->Message->width() <= QApplication::primaryScreen()->geometry().width() / 2);
        QVERIFY(f->Message->height() > 3 * f->fontMetrics().height());
        delete f;
        TMessageForm *a = BuildMessageDialog("a\tb", DialogKind::Information, {DialogButton::OK});
        TMessageForm *b = BuildMessageDialog("a b", DialogKind::Information, {DialogButton::OK});
        QVERIFY(a->Message->width() > b->Message->width());
        delete a;
        delete b;
    }

    void keysGiveModalResults()
    {
        for (const auto &[key, expected] :
             {std::pair{Qt::Key_Return, mrYes}, std::pair{Qt::Key_Escape, mrNo}}) {
            TMessageForm *f = BuildMessageDialog("?", DialogKind::Confirmation,
                                                 {DialogButton::Yes, DialogButton::No});
            QTimer::singleShot(0, f, [f, key = key] { QTest::keyClick(f, key); });
            QCOMPARE(f->exec(), expected);
            delete f;
        }
    }

    // Through the real focus: Tab to a button, then Enter or Space presses that button; Enter
    // with the focus on no button presses the default one; Esc answers with the cancel button
    // and does nothing when there is none.
    void keyboard_data()
    {
        QTest::addColumn<DialogButtons>("buttons");
        QTest::addColumn<int>("tabs");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("expected"); // mrNone: the dialog stays open
        const DialogButtons ok{DialogButton::OK};
        const DialogButtons yesNo{DialogButton::Yes, DialogButton::No};
        const DialogButtons ari{DialogButton::Abort, DialogButton::Retry, DialogButton::Ignore};
        for (int key : {int(Qt::Key_Return), int(Qt::Key_Enter), int(Qt::Key_Space)}) {
            const QString k = key == Qt::Key_Space   ? "space"
                              : key == Qt::Key_Enter ? "enter"
                                                     : "return";
            QTest::addRow("OK %s", qPrintable(k)) << ok << 0 << key << int(mrOk);
            QTest::addRow("Yes %s", qPrintable(k)) << yesNo << 0 << key << int(mrYes);
            QTest::addRow("tab to No %s", qPrintable(k)) << yesNo << 1 << key << int(mrNo);
            QTest::addRow("tab round to Yes %s", qPrintable(k)) << yesNo << 2 << key << int(mrYes);
            QTest::addRow("tab to Ignore %s", qPrintable(k)) << ari << 1 << key << int(mrIgnore);
        }
        QTest::newRow("OK esc") << ok << 0 << int(Qt::Key_Escape) << int(mrOk);
        QTest::newRow("Yes/No esc") << yesNo << 0 << int(Qt::Key_Escape) << int(mrNo);
        QTest::newRow("tab to No esc") << yesNo << 1 << int(Qt::Key_Escape) << int(mrNo);
        QTest::newRow("no cancel button esc") << ari << 0 << int(Qt::Key_Escape) << int(mrNone);
    }
    void keyboard()
    {
        QFETCH(DialogButtons, buttons);
        QFETCH(int, tabs);
        QFETCH(int, key);
        QFETCH(int, expected);
        std::unique_ptr<TMessageForm> f(BuildMessageDialog("?", DialogKind::Confirmation, buttons));
        f->show();
        f->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f.get()));
        QVERIFY(qobject_cast<QPushButton *>(QApplication::focusWidget()));
        for (int i = 0; i < tabs; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        if (expected == mrNone) {
            QVERIFY(f->isVisible());
            QVERIFY(!f->windowFlags().testFlag(Qt::WindowCloseButtonHint));
            f->close(); // the close box is gone too; closing answers nothing either
            QVERIFY(f->isVisible());
        } else {
            QVERIFY(!f->isVisible());
            QCOMPARE(f->result(), expected);
        }
    }

    void defaultTakesEnterWhileNoButtonHasTheFocus()
    {
        std::unique_ptr<TMessageForm> f(BuildMessageDialog("?", DialogKind::Confirmation,
                                                           {DialogButton::Yes, DialogButton::No}));
        auto *no = f->findChild<QPushButton *>("No");
        f->show();
        f->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f.get()));
        no->setFocus();
        QVERIFY(no->isDefault()); // the focused button is the default meanwhile
        f->setFocus();            // the focus leaves the buttons
        QTest::keyClick(f.get(), Qt::Key_Return);
        QCOMPARE(f->result(), int(mrYes));
    }

    // While long work runs, the windows open at its start take no input; a window opened
    // meanwhile (a message from a timer) does, so it can be answered.
    void longWorkHoldsTheOldWindowsOnly()
    {
        QWidget window;
        auto *old = new QPushButton("old", &window);
        window.show();
        int oldClicks = 0, newClicks = 0;
        QObject::connect(old, &QPushButton::clicked, [&] { ++oldClicks; });
        std::unique_ptr<QPushButton> fresh;
        bool finished = false;
        QTimer::singleShot(50, [&] {
            QTest::mouseClick(old, Qt::LeftButton);
            fresh = std::make_unique<QPushButton>("new");
            QObject::connect(fresh.get(), &QPushButton::clicked, [&] { ++newClicks; });
            fresh->show();
            QTest::mouseClick(fresh.get(), Qt::LeftButton);
            finished = true;
        });
        DialogPrompts().waitWithProgress(
            "work", [] { return 50; }, [&] { return finished; });
        QCOMPARE(oldClicks, 0);
        QCOMPARE(newClicks, 1);
        QTest::mouseClick(old, Qt::LeftButton); // and input is back afterwards
        QCOMPARE(oldClicks, 1);
    }

    // A button's underlined letter presses it without Alt, as in the platform's box: the
    // download confirmation takes a plain y like the other questions.
    void letterPressesItsButton_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("result");
        QTest::newRow("y") << int(Qt::Key_Y) << int(Qt::NoModifier) << int(mrYes);
        QTest::newRow("Y") << int(Qt::Key_Y) << int(Qt::ShiftModifier) << int(mrYes);
        QTest::newRow("n") << int(Qt::Key_N) << int(Qt::NoModifier) << int(mrNo);
    }
    void letterPressesItsButton()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, result);
        TMessageForm *f = BuildMessageDialog("Download the stored data?", DialogKind::Confirmation,
                                             {DialogButton::Yes, DialogButton::No});
        QTimer::singleShot(0, f, [&] {
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget()
                                                        : static_cast<QWidget *>(f),
                            Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        });
        QTimer::singleShot(2000, f, [f] { f->done(mrNone); });
        QCOMPARE(f->exec(), result);
        delete f;
    }

    void ctrlCCopies()
    {
        TMessageForm *f =
            BuildMessageDialog("Failed to Load File!", DialogKind::Warning, {DialogButton::OK});
        f->show();
        QApplication::clipboard()->setText("before");
        QTest::keyClick(f, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("before"));
        QTest::keyClick(f, Qt::Key_C, Qt::ControlModifier);
        const QString d = QString(27, '-') + "\r\n";
        QCOMPARE(QApplication::clipboard()->text(),
                 d + "Warning\r\n" + d + "Failed to Load File!\r\n" + d + "OK   \r\n" + d);
        QVERIFY(f->isVisible());
        delete f;
    }
};

QTEST_MAIN(tst_MessageDialog)
#include "tst_MessageDialog.moc"
