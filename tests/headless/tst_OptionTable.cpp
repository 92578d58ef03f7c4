// The options are declared once: the parser, --help and the window's check read the table, and
// the manual page lists each of them (and no option that is not one).

#include "headless/Headless.h"
#include "headless/OptionTable.h"
#include "mqtt/MqttOptions.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

class tst_OptionTable : public QObject
{
    Q_OBJECT

    // The long options the manual page's OPTIONS section describes, each entry's names.
    static QStringList manualOptions()
    {
        QFile f(QStringLiteral(TX9_MANPAGE));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        const QString page = QString::fromUtf8(f.readAll());
        const qsizetype from = page.indexOf(QStringLiteral("\n.SH OPTIONS"));
        const qsizetype to = page.indexOf(QStringLiteral("\n.SH "), from + 5);
        const QStringList lines = page.mid(from, to - from).split(QLatin1Char('\n'));
        QStringList names;
        const QRegularExpression option(QStringLiteral("--([a-z][a-z-]*)"));
        for (qsizetype i = 0; i + 1 < lines.size(); ++i)
            if (lines[i] == QLatin1String(".TP")) {
                const QString entry =
                    QString(lines[i + 1]).replace(QStringLiteral("\\-"), QStringLiteral("-"));
                for (auto m = option.globalMatch(entry); m.hasNext();)
                    names << m.next().captured(1);
            }
        return names;
    }

private slots:
    void manualPageListsTheTable()
    {
        const QStringList manual = manualOptions();
        QVERIFY(manual.size() > 20);
        QSet<QString> declared;
        for (const Headless::OptionEntry &o : Headless::options())
            declared.insert(o.name());
        for (const Headless::WindowOption &o : Mqtt::windowOptions())
            declared.insert(QString::fromLatin1(o.name));
        for (const QString &name : declared)
            QVERIFY2(manual.contains(name), qPrintable("the manual page lacks --" + name));
        for (const QString &name : manual)
            QVERIFY2(declared.contains(name),
                     qPrintable("the manual page lists --" + name + ", which is no option"));
    }

    // The options the window takes too: --latest and --on-alarm work in the window as they
    // do without it (the demo's window, offscreen, a breach at once over its remembered limit).
    void windowTakesItsOptions()
    {
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath("config/tx9-logger"));
        QFile conf(dir.filePath("config/tx9-logger/tx9-logger.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("[alarms]\nhigh=30\nhold=0\nhysteresis=0.5\nunit=\xc2\xb0"
                   "C\n");
        conf.close();
        QProcess demo;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("XDG_STATE_HOME", dir.filePath("state"));
        demo.setProcessEnvironment(env);
        const QString latest = dir.filePath("now.json"), said = dir.filePath("said.txt");
        demo.start(QStringLiteral(TX9_DEMO),
                   {"--latest", latest,
                    "--on-alarm=echo $TX9_ALARM $TX9_STATE $TX9_UNIT >> " + said, "--breach-at",
                    "0", "--screenshot", dir.filePath("shot.png"), "--seconds", "4"});
        QVERIFY(demo.waitForFinished(60000));
        QCOMPARE(demo.exitCode(), 0);
        QFile now(latest);
        QVERIFY2(now.open(QIODevice::ReadOnly), qPrintable(demo.readAllStandardError()));
        QVERIFY(now.readAll().contains("\"value\":3"));
        QTRY_VERIFY(QFile::exists(said));
        QFile commands(said);
        QVERIFY(commands.open(QIODevice::ReadOnly));
        QVERIFY(commands.readAll().startsWith("high start \xc2\xb0"
                                              "C"));
    }

    // A bad value of an output option is refused by the window as by the run: the same
    // sentence, status 2, and no window.
    void windowRefusesWhatTheRunRefuses()
    {
        QTemporaryDir dir;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("XDG_STATE_HOME", dir.filePath("state"));
        const QList<QStringList> wrong{{"--broker-alarm", "x"},
                                       {"--broker-alarm", "0"},
                                       {"--activation-energy", "5"},
                                       {"--activation-energy=abc"},
                                       {"--metrics-listen", "nowhere"}};
        for (const QStringList &option : wrong) {
            QString said[2];
            int status[2] = {-1, -1};
            for (int headless = 0; headless < 2; ++headless) {
                QProcess demo;
                demo.setProcessEnvironment(env);
                const QString shot = dir.filePath("shot.png");
                QFile::remove(shot);
                demo.start(QStringLiteral(TX9_DEMO),
                           (headless ? QStringList{"--headless", "--limit", "1"}
                                     : QStringList{"--screenshot", shot, "--seconds", "1"}) +
                               option);
                QVERIFY(demo.waitForFinished(60000));
                status[headless] = demo.exitCode();
                said[headless] = QString::fromUtf8(demo.readAllStandardError());
                QVERIFY2(!QFile::exists(shot), qPrintable(option.join(' ')));
            }
            QVERIFY2(status[0] == 2 && status[1] == 2,
                     qPrintable(option.join(' ') + ": " + said[0] + said[1]));
            const QString sentence = said[1].section('\n', 0, 0).section(": ", 1);
            QVERIFY2(!sentence.isEmpty() && said[0].contains(sentence),
                     qPrintable(option.join(' ') + ": " + said[0] + " / " + said[1]));
        }
    }

    // --help lists every option of the table, in its order, with its value's name.
    void helpFollowsTheTable()
    {
        const QString help = Headless::helpText(QStringLiteral("tx9-logger"));
        qsizetype at = 0;
        for (const Headless::OptionEntry &o : Headless::options()) {
            QString entry = QStringLiteral("--") + o.name();
            if (o.takesValue())
                entry += QLatin1Char(' ') + QLatin1String(o.Value);
            const qsizetype found = help.indexOf(entry, at);
            QVERIFY2(found > at, qPrintable(entry));
            at = found;
            // Its name never runs into its text: a line break or a blank after it.
            const QChar next = help.at(found + entry.size());
            QVERIFY2(next == QLatin1Char('\n') || next == QLatin1Char(' '),
                     qPrintable(help.mid(found, 60)));
        }
        // And each one is an option the parser takes, or one said only in the help.
        for (const Headless::OptionEntry &o : Headless::options()) {
            if (o.Takes == Headless::OptionEntry::Where::HelpOnly)
                continue;
            QStringList args{QStringLiteral("tx9-logger"), QStringLiteral("--headless"),
                             QStringLiteral("--") + o.name()};
            if (o.takesValue())
                args << QStringLiteral("1");
            const Headless::Parsed p = Headless::parse(args);
            QVERIFY2(!p.message.contains(QStringLiteral("unknown option")), qPrintable(p.message));
        }
    }
};

QTEST_GUILESS_MAIN(tst_OptionTable)
#include "tst_OptionTable.moc"
