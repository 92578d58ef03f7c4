#pragma once
// The application object with the general error handler: a failure that no handler catches is
// reported to the user, the rest of that handler is skipped, and the program goes on.

#include <QApplication>

class Tx9Application : public QApplication
{
public:
    Tx9Application(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

void reportUncaughtError(const QString &what);
