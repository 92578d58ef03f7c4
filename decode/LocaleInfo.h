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
