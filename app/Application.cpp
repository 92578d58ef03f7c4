#include "app/Application.h"

#include "app/Prompts.h"

#include <exception>

Tx9Application::Tx9Application(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("tx9-logger"));
    setApplicationDisplayName(QString());
}

bool Tx9Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        reportUncaughtError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        reportUncaughtError(QStringLiteral("Unknown error"));
    }
    return false;
}

void reportUncaughtError(const QString &what)
{
    static bool reporting = false;
    if (reporting)
        return; // a failure while the report is open must not stack dialogs
    reporting = true;
    try {
        Prompts::current().message(what, DialogKind::Error, {DialogButton::OK});
    } catch (...) {
    }
    reporting = false;
}
