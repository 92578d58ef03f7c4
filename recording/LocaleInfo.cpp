#include "recording/LocaleInfo.h"

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
    const QString sep = timeSeparator();
    auto two = [](int v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
    return two(time.hour()) + sep + two(time.minute()) + sep + two(time.second());
}

} // namespace LocaleInfo

QString TimeStamper::text(const QTime &time)
{
    const int second = time.msecsSinceStartOfDay() / 1000;
    const QString locale = QLocale().name();
    if (second != m_second || locale != m_locale || m_text.isEmpty()) {
        m_text = LocaleInfo::timeStamp(time);
        m_second = second;
        m_locale = locale;
    }
    return m_text;
}
