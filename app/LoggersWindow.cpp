#include "app/LoggersWindow.h"

#include "alarms/DesktopNotifier.h"
#include "app/ToolWindows.h"
#include "timechart/TimeChart.h"
#include "timeline/Timeline.h"

#include <QDateTime>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

enum Column
{
    Id,
    Cable,
    Reading,
    Age,
    Alarm,
    Online,
    Outbox,
    State,
    Columns
};

QString ageText(qint64 ms)
{
    if (ms < 0)
        return QString();
    return Timeline::spanText(ms - ms % 1000);
}

} // namespace

LoggersWindow::LoggersWindow(const std::optional<Mqtt::Options> &publishing, QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("LoggersWindow"));
    setWindowTitle(QStringLiteral("Loggers"));
    if (publishing)
        m_options = *publishing;
    m_url = new QLineEdit(m_options.Url);
    m_url->setObjectName(QStringLiteral("BrokerUrl"));
    m_url->setPlaceholderText(QStringLiteral("mqtt://host[:port] or mqtts://host[:port]"));
    m_user = new QLineEdit(m_options.User);
    m_password = new QLineEdit(m_options.Password);
    m_password->setEchoMode(QLineEdit::Password);
    m_filter = new QLineEdit(LoggerWatch::defaultFilter());
    m_connect = new QPushButton(QStringLiteral("Watch"));
    m_connect->setObjectName(QStringLiteral("WatchButton"));
    m_status = new QLabel(QStringLiteral("Not connected."));
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Broker"), m_url);
    form->addRow(QStringLiteral("User"), m_user);
    form->addRow(QStringLiteral("Password"), m_password);
    auto *filterRow = new QHBoxLayout;
    filterRow->addWidget(m_filter, 1);
    filterRow->addWidget(m_connect);
    form->addRow(QStringLiteral("Topics"), filterRow);
    m_list = new QTableWidget(0, Columns);
    m_list->setObjectName(QStringLiteral("LoggerList"));
    m_list->setHorizontalHeaderLabels({QStringLiteral("Logger"), QStringLiteral("Cable"),
                                       QStringLiteral("Reading"), QStringLiteral("Age"),
                                       QStringLiteral("Alarm"), QStringLiteral("Online"),
                                       QStringLiteral("Outbox"), QStringLiteral("State")});
    m_list->verticalHeader()->hide();
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_list->horizontalHeader()->setResizeContentsPrecision(0); // the visible lines only
    m_list->horizontalHeader()->setStretchLastSection(true);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_status);
    m_limits = new QLabel;
    m_limits->setObjectName(QStringLiteral("Limits"));
    m_limits->setWordWrap(true);
    m_limits->hide();
    layout->addWidget(m_limits);
    layout->addWidget(m_list, 1);
    layout->addWidget(new QLabel(QStringLiteral("Double-click a logger for the time chart of "
                                                "what arrives from it.")));
    resize(820, 360);

    connect(m_connect, &QPushButton::clicked, this, &LoggersWindow::connectToBroker);
    // Return in any of the fields watches with what they say, as the button does.
    for (QLineEdit *field : {m_url, m_user, m_password, m_filter})
        connect(field, &QLineEdit::returnPressed, this, &LoggersWindow::connectToBroker);
    connect(&m_watch, &LoggerWatch::connectedChanged, this, [this](bool on) {
        m_status->setText(
            on ? QStringLiteral("Watching %1 on %2.").arg(m_filter->text(), m_options.Url)
               : QStringLiteral("No connection to %1: %2; trying again.")
                     .arg(m_options.Url, m_watch.lastError()));
    });
    // Lines changed by a burst of messages are shown once, when the burst has been read.
    m_showDirty.setSingleShot(true);
    m_showDirty.setInterval(0);
    connect(&m_showDirty, &QTimer::timeout, this, [this] {
        for (const int index : std::exchange(m_dirty, {}))
            showLine(index);
    });
    connect(&m_watch, &LoggerWatch::changed, this, [this](int index) {
        m_dirty.insert(index);
        if (!m_showDirty.isActive())
            m_showDirty.start();
    });
    connect(&m_watch, &LoggerWatch::reconnected, this, [this](qint64 awayMs) {
        m_status->setText(QStringLiteral("Watching %1 on %2 again after %3 s without a "
                                         "connection: what was published meanwhile is missed, "
                                         "but for each topic's last retained message.")
                              .arg(m_filter->text(), m_options.Url)
                              .arg(awayMs / 1000));
    });
    connect(
        &m_watch, &LoggerWatch::alarmChanged, this,
        [this](int index, const QString &kind, bool start, const QString &detail) {
            const LoggerWatch::Logger &l = m_watch.loggers()[size_t(index)];
            // At most a few a minute: a flood of alarms is no flood of notifications.
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            while (!m_notifiedAt.empty() && now - m_notifiedAt.front() > 60000)
                m_notifiedAt.pop_front();
            if (m_notifiedAt.size() >= MaxNotifications) {
                ++m_notNotified;
                return;
            }
            m_notifiedAt.push_back(now);
            const QString summary =
                QStringLiteral("Logger %1: alarm %2 %3")
                    .arg(l.Id, kind, start ? QStringLiteral("started") : QStringLiteral("ended"));
            const QString body =
                detail.isEmpty() || !start
                    ? (l.Display.isEmpty() ? QString()
                                           : QStringLiteral("Reading %1 %2").arg(l.Display, l.Unit))
                    : detail;
            DesktopNotifier::notify(summary, body, start);
            emit notified(summary, body);
        });
    connect(&m_watch, &LoggerWatch::readingArrived, this, [this](int index) {
        if (const auto c = m_charts.find(index); c != m_charts.end() && c->second.Window)
            chartRow(c->second, index, m_watch.loggers()[size_t(index)].Readings.back());
    });
    connect(m_list, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { openChart(row); });
    m_ages.setInterval(1000);
    connect(&m_ages, &QTimer::timeout, this, &LoggersWindow::refresh);
    m_ages.start();
}

LoggersWindow::~LoggersWindow()
{
    for (auto &c : m_charts)
        delete c.second.Window.data(); // before the timeline it shows
}

void LoggersWindow::setBroker(const QString &url, const QString &filter)
{
    m_url->setText(url);
    m_filter->setText(filter);
}

bool LoggersWindow::connectToBroker()
{
    Mqtt::Options o = m_options;
    const QString wrong = Mqtt::readUrl(m_url->text().trimmed(), o);
    const QString filter = m_filter->text().trimmed();
    if (!wrong.isEmpty() || filter.isEmpty()) {
        m_status->setText(wrong.isEmpty() ? QStringLiteral("Give the topics to watch.")
                                          : QString(wrong).replace(QStringLiteral("--mqtt "),
                                                                   QStringLiteral("The broker ")));
        return false;
    }
    o.User = m_user->text();
    o.Password = m_password->text();
    m_options = o;
    m_status->setText(QStringLiteral("Connecting to %1...").arg(o.Url));
    m_watch.start(o, filter);
    return true;
}

QString LoggersWindow::stateText(int index) const
{
    const QStringList t = LoggerWatch::troubles(m_watch.loggers()[size_t(index)],
                                                QDateTime::currentMSecsSinceEpoch());
    const LoggerWatch::Logger &l = m_watch.loggers()[size_t(index)];
    if (t.isEmpty())
        return l.letGo() ? QStringLiteral("disconnected") : QStringLiteral("OK");
    // Blind or in alarm: said in capitals first, not by the colour alone.
    return QStringLiteral("\u26A0 %1").arg(t.join(QStringLiteral("; ")).toUpper());
}

void LoggersWindow::refresh()
{
    for (int i = 0; i < int(m_watch.loggers().size()); ++i)
        showLine(i);
    QStringList limits;
    if (m_watch.notListed() > 0)
        limits << QStringLiteral("%1 messages of loggers beyond the first %2 were not listed.")
                      .arg(m_watch.notListed())
                      .arg(LoggerWatch::MaxLoggers);
    if (m_watch.dropped() > 0)
        limits << QStringLiteral("%1 messages too large (over %2 KiB) or under too deep a "
                                 "topic were dropped.")
                      .arg(m_watch.dropped())
                      .arg(LoggerWatch::MaxMessage / 1024);
    if (m_notNotified > 0)
        limits << QStringLiteral("%1 alarm changes were not notified (at most %2 a minute).")
                      .arg(m_notNotified)
                      .arg(MaxNotifications);
    m_limits->setText(limits.join(QLatin1Char(' ')));
    m_limits->setVisible(!limits.isEmpty());
}

void LoggersWindow::showLine(int index)
{
    const LoggerWatch::Logger &l = m_watch.loggers()[size_t(index)];
    if (m_list->rowCount() <= index)
        m_list->setRowCount(index + 1);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString state = stateText(index);
    const bool standsOut = state.startsWith(QChar(0x26A0));
    const QStringList cells{
        l.Id,
        l.Cable.isEmpty() ? QStringLiteral("?") : l.Cable, // until it names its cable
        l.ReadingMs == 0 ? QStringLiteral("none yet")
                         : QStringLiteral("%1 %2").arg(
                               l.Display.isEmpty() ? QStringLiteral("-") : l.Display, l.Unit),
        l.ReadingMs == 0 ? QStringLiteral("-") : ageText(now - l.ReadingMs),
        l.Alarms.isEmpty() ? QStringLiteral("none") : l.Alarms.join(QStringLiteral(", ")),
        !l.Online   ? QStringLiteral("?")
        : *l.Online ? QStringLiteral("online")
                    : QStringLiteral("OFFLINE"),
        QString::number(l.Outbox),
        state};
    for (int c = 0; c < Columns; ++c) {
        QTableWidgetItem *item = m_list->item(index, c);
        if (!item) {
            item = new QTableWidgetItem;
            m_list->setItem(index, c, item);
        }
        item->setText(cells[c]);
        QFont f = item->font();
        f.setBold(standsOut);
        item->setFont(f);
        // A row that stands out has colours of its own, both of them, so that it reads in any
        // palette; the others take the palette's own (an empty role, not an invalid colour,
        // which would paint black).
        if (standsOut) {
            item->setBackground(QColor::fromRgba(StandOutBackground));
            item->setForeground(QColor::fromRgba(StandOutText));
        } else {
            item->setData(Qt::BackgroundRole, QVariant());
            item->setData(Qt::ForegroundRole, QVariant());
        }
        item->setToolTip(c == State && !l.AlarmDetail.isEmpty() && !l.Alarms.isEmpty()
                             ? l.AlarmDetail
                             : QString());
    }
}

void LoggersWindow::chartRow(Chart &chart, int index, const LoggerWatch::Reading &r)
{
    const LoggerWatch::Logger &l = m_watch.loggers()[size_t(index)];
    // The line breaks where the logger's own interval says readings stopped coming.
    chart.Line->setIntervalSeconds(qMax(0, l.IntervalSeconds));
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(r.Ms);
    chart.Rows->appendRow({r.No, at.toString(QStringLiteral("HH:mm:ss")), r.Display, r.Unit, at});
}

TimeChart *LoggersWindow::openChart(int index)
{
    if (index < 0 || index >= int(m_watch.loggers().size()))
        return nullptr;
    Chart &c = m_charts[index];
    const LoggerWatch::Logger &l = m_watch.loggers()[size_t(index)];
    if (!c.Window) {
        c.Rows = std::make_unique<MeasurementTable>();
        c.Line = std::make_unique<Timeline>();
        c.Line->follow(c.Rows.get());
        for (const LoggerWatch::Reading &r : l.Readings)
            chartRow(c, index, r);
        c.Window = new TimeChart(*c.Line, this);
        c.Window->setAttribute(Qt::WA_DeleteOnClose);
        c.Window->setNotesShown(false); // the logger's own to make, not a watcher's
        c.Window->setWindowTitle(QStringLiteral("Time Chart: logger %1%2")
                                     .arg(l.Id, l.Cable.isEmpty()
                                                    ? QString()
                                                    : QStringLiteral(", cable %1").arg(l.Cable)));
        connect(c.Window, &TimeChart::savePictureRequested, this,
                [w = c.Window] { saveChartPicture(w); });
        c.Window->showAll();
    }
    c.Window->show();
    c.Window->raise();
    return c.Window;
}
