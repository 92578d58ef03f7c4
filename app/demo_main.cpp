// tx9-logger-demo: the same program on a simulated thermometer.
//   --screenshot FILE   save a picture of the main window to FILE and exit
//   --seconds N         how long to run before the picture is taken (default 3)

#include "app/Application.h"
#include "app/RD7F.h"

#include <QCommandLineParser>
#include <QTimer>

int main(int argc, char **argv)
{
    Tx9Application app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("TX-9 Logger on a simulated thermometer"));
    parser.addHelpOption();
    const QCommandLineOption shotOpt(QStringLiteral("screenshot"),
                                     QStringLiteral("Save a PNG of the main window and exit."),
                                     QStringLiteral("file"));
    const QCommandLineOption secondsOpt(QStringLiteral("seconds"),
                                        QStringLiteral("Seconds to run before the picture."),
                                        QStringLiteral("n"), QStringLiteral("3"));
    parser.addOptions({shotOpt, secondsOpt});
    parser.process(app);

    TFCOMM window;
    window.show();
    if (parser.isSet(shotOpt)) {
        const QString file = parser.value(shotOpt);
        const int ms = int(parser.value(secondsOpt).toDouble() * 1000);
        QTimer::singleShot(ms, &window, [&window, file] {
            const bool ok = window.grab().save(file);
            QApplication::exit(ok ? 0 : 1);
        });
    }
    return app.exec();
}
