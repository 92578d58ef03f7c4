#pragma once
// The user's locale as the program uses it: decimal separator, time separator, short date.
// Reads QLocale() so that tests can switch locales with QLocale::setDefault.

#include <QDate>
#include <QString>
#include <QTime>

namespace LocaleInfo {
QString decimalSeparator();
QString timeSeparator();
QString shortDate(const QDate &date);
// "hh:mm:ss" with the locale's time separator.
QString timeStamp(const QTime &time);
} // namespace LocaleInfo

// The Time field of recorded rows. Readings arrive several times a second and the text
// changes once a second, so it is made once per second (and per locale).
class TimeStamper
{
public:
    QString text(const QTime &time);

private:
    QString m_text;
    int m_second = -1;
    QString m_locale;
};
