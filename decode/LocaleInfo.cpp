#include "decode/LocaleInfo.h"

#include <QLocale>

namespace LocaleInfo {

QString decimalSeparator()
{
    return QLocale().decimalPoint();
}

QString timeSeparator()
{
    // The first character after the hours in the locale's own time format.
    const QString fmt = QLocale().timeFormat(QLocale::ShortFormat);
    int i = fmt.indexOf(QLatin1Char('h'), 0, Qt::CaseInsensitive);
    if (i < 0)
        return QStringLiteral(":");
    while (i < fmt.size() && fmt.at(i).toLower() == QLatin1Char('h'))
        ++i;
    if (i < fmt.size() && !fmt.at(i).isLetterOrNumber())
        return QString(fmt.at(i));
    return QStringLiteral(":");
}

QString shortDate(const QDate &date)
{
    return QLocale().toString(date, QLocale::ShortFormat);
}

QString timeStamp(const QTime &time)
{
    // Readings arrive several times a second; the text changes once a second.
    static QString lastText;
    static int lastSecond = -1;
    static QString lastLocale;
    const int second = time.msecsSinceStartOfDay() / 1000;
    const QString locale = QLocale().name();
    if (second == lastSecond && locale == lastLocale && !lastText.isEmpty())
        return lastText;
    const QString sep = timeSeparator();
    auto two = [](int v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
    lastText = two(time.hour()) + sep + two(time.minute()) + sep + two(time.second());
    lastSecond = second;
    lastLocale = locale;
    return lastText;
}

} // namespace LocaleInfo
