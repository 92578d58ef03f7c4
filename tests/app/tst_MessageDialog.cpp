#include "app/NewMsgDlg.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

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
