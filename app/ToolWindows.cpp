#include "app/ToolWindows.h"

#include "app/Prompts.h"

#include "alarms/AlarmMonitor.h"
#include "alarms/Statistics.h"
#include "recording/CaptureTime.h"
#include "recording/MeasurementTable.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace ToolSettings {

namespace {
QSettings store()
{
    // ~/.config/tx9-logger/tx9-logger.conf
    return QSettings(QStringLiteral("tx9-logger"), QStringLiteral("tx9-logger"));
}
std::optional<double> number(const QVariant &v)
{
    bool ok = false;
    const double d = v.toDouble(&ok);
    return v.isValid() && !v.toString().isEmpty() && ok ? std::optional<double>(d) : std::nullopt;
}
} // namespace

AlarmSettings alarms()
{
    QSettings s = store();
    AlarmSettings a;
    a.High = number(s.value(QStringLiteral("alarms/high")));
    a.Low = number(s.value(QStringLiteral("alarms/low")));
    a.HoldSeconds = number(s.value(QStringLiteral("alarms/hold"))).value_or(0);
    a.Hysteresis = number(s.value(QStringLiteral("alarms/hysteresis")))
                       .value_or(AlarmSettings::DefaultHysteresis);
    a.Unit = AlarmRules::unitOf(s.value(QStringLiteral("alarms/unit")).toString());
    return a;
}

void setAlarms(const AlarmSettings &a)
{
    QSettings s = store();
    auto put = [&](const char *key, std::optional<double> v) {
        s.setValue(QLatin1String(key), v ? QVariant(*v) : QVariant(QString()));
    };
    put("alarms/high", a.High);
    put("alarms/low", a.Low);
    put("alarms/hold", a.HoldSeconds);
    put("alarms/hysteresis", a.Hysteresis);
    s.setValue(QStringLiteral("alarms/unit"), a.Unit);
}

QString exportFolder()
{
    return store().value(QStringLiteral("export/folder")).toString();
}

void setExportFolder(const QString &folder)
{
    QSettings s = store();
    s.setValue(QStringLiteral("export/folder"), folder);
}

FileDialogRequest exportRequest(const QString &title, const QString &filter, const QString &ext,
                                const QString &name)
{
    FileDialogRequest r;
    r.title = title;
    r.filter = filter;
    r.defaultExt = ext;
    r.overwritePrompt = true;
    const QString folder = ToolSettings::exportFolder();
    r.fileName = folder.isEmpty() ? name : QDir(folder).filePath(name);
    return r;
}
} // namespace ToolSettings

namespace {

QDoubleSpinBox *spin(double min, double max, int decimals, const QString &suffix = {})
{
    auto *b = new QDoubleSpinBox;
    b->setRange(min, max);
    b->setDecimals(decimals);
    b->setSuffix(suffix);
    b->setKeyboardTracking(false);
    return b;
}

QString timeText(const QDateTime &t)
{
    return t.isValid() ? t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

} // namespace

AlarmsWindow::AlarmsWindow(AlarmMonitor &monitor, QWidget *parent)
    : QWidget(parent, Qt::Window), m_monitor(monitor)
{
    setObjectName(QStringLiteral("AlarmsWindow"));
    setWindowTitle(QStringLiteral("Alarms"));
    auto *form = new QFormLayout;
    m_highOn = new QCheckBox(QStringLiteral("High limit"));
    m_high = spin(-100, 2000, 1);
    m_lowOn = new QCheckBox(QStringLiteral("Low limit"));
    m_low = spin(-100, 2000, 1);
    m_hold = spin(0, 86400, 0, QStringLiteral(" s"));
    m_hysteresis = spin(0, 100, 1);
    // The limits keep their unit: readings in the other one are converted to be compared.
    m_unit = new QComboBox;
    m_unit->setObjectName(QStringLiteral("AlarmUnit"));
    m_unit->addItems({QStringLiteral("°C"), QStringLiteral("°F")});
    form->addRow(QStringLiteral("Unit of the limits"), m_unit);
    form->addRow(m_highOn, m_high);
    form->addRow(m_lowOn, m_low);
    form->addRow(QStringLiteral("Hold time"), m_hold);
    form->addRow(QStringLiteral("Hysteresis"), m_hysteresis);
    m_problem = new QLabel;
    m_problem->setStyleSheet(QStringLiteral("color: #b00000"));
    m_state = new QLabel;
    m_state->setObjectName(QStringLiteral("AlarmState"));
    m_state->setAlignment(Qt::AlignCenter);
    m_state->setMinimumHeight(36);
    QFont big = m_state->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    m_state->setFont(big);
    m_log = new QTableWidget(0, 8);
    m_log->setObjectName(QStringLiteral("AlarmLogTable"));
    m_log->setHorizontalHeaderLabels({QStringLiteral("Event"), QStringLiteral("Alarm"),
                                      QStringLiteral("Start"), QStringLiteral("End"),
                                      QStringLiteral("Limit"), QStringLiteral("Worst"),
                                      QStringLiteral("Duration (s)"), QStringLiteral("Detail")});
    m_log->verticalHeader()->hide();
    m_log->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_log->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // What a blind logger's alarm says is wrong takes the room that is left (whole in its tip).
    m_log->horizontalHeader()->setSectionResizeMode(7, QHeaderView::Stretch);
    auto *save = new QPushButton(QStringLiteral("Save alarm log..."));
    auto *close = new QPushButton(QStringLiteral("Close"));
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(save);
    buttons->addWidget(close);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_problem);
    layout->addWidget(m_state);
    layout->addWidget(new QLabel(QStringLiteral("The alarms of the readings in the table:")));
    layout->addWidget(m_log, 1);
    layout->addLayout(buttons);
    // The problem line takes room only while there is one; the list takes the rest (ten
    // rows at first, more as the window grows).
    m_problem->hide();
    resize(900, 560);

    const AlarmSettings a = monitor.settings();
    m_highOn->setChecked(a.High.has_value());
    m_high->setValue(a.High.value_or(30));
    m_lowOn->setChecked(a.Low.has_value());
    m_low->setValue(a.Low.value_or(0));
    m_hold->setValue(a.HoldSeconds);
    m_hysteresis->setValue(a.Hysteresis);
    // Limits set without a unit are in that of the readings.
    const QString unit = !a.Unit.isEmpty()                   ? a.Unit
                         : !monitor.rules().unit().isEmpty() ? monitor.rules().unit()
                                                             : monitor.unit();
    m_unit->setCurrentText(unit.isEmpty() ? QStringLiteral("°C") : unit);
    m_shownUnit = m_unit->currentText();
    // Another unit: the values shown are converted, so that they keep their meaning.
    connect(m_unit, &QComboBox::currentTextChanged, this, [this](const QString &to) {
        const QString from = std::exchange(m_shownUnit, to);
        const QSignalBlocker b1(m_high), b2(m_low), b3(m_hysteresis);
        for (QDoubleSpinBox *b : {m_high, m_low})
            b->setValue(AlarmRules::convert(b->value(), from, to));
        const double scale = AlarmRules::convert(1, from, to) - AlarmRules::convert(0, from, to);
        m_hysteresis->setValue(m_hysteresis->value() * scale);
        apply();
    });
    for (QCheckBox *c : {m_highOn, m_lowOn})
        connect(c, &QCheckBox::toggled, this, &AlarmsWindow::apply);
    for (QDoubleSpinBox *b : {m_high, m_low, m_hold, m_hysteresis})
        connect(b, &QDoubleSpinBox::valueChanged, this, &AlarmsWindow::apply);
    connect(save, &QPushButton::clicked, this, &AlarmsWindow::saveLogRequested);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    connect(&monitor, &AlarmMonitor::alarm, this, &AlarmsWindow::refresh);
    connect(&monitor, &AlarmMonitor::recomputedChanged, this, &AlarmsWindow::refresh);
    refresh();
}

void AlarmsWindow::apply()
{
    AlarmSettings a;
    if (m_highOn->isChecked())
        a.High = m_high->value();
    if (m_lowOn->isChecked())
        a.Low = m_low->value();
    a.HoldSeconds = m_hold->value();
    a.Hysteresis = m_hysteresis->value();
    a.Unit = m_unit->currentText();
    m_high->setEnabled(m_highOn->isChecked());
    m_low->setEnabled(m_lowOn->isChecked());
    if (a.High && a.Low && *a.Low >= *a.High) {
        m_problem->setText(QStringLiteral("The low limit must be below the high limit."));
        m_problem->show();
        return;
    }
    m_problem->clear();
    m_problem->hide();
    emit settingsChosen(a);
    refresh();
}

QString AlarmsWindow::stateText() const
{
    // The blind logger's alarms are on whatever the limits.
    if (!m_monitor.settings().any() && !m_monitor.anyActive())
        return QStringLiteral("No limits set");
    QStringList on;
    const QList<AlarmEvent> &entries = m_monitor.log().entries();
    for (const AlarmKind k : AllAlarmKinds) {
        if (!m_monitor.active(k))
            continue;
        QDateTime since;
        for (auto e = entries.crbegin(); e != entries.crend(); ++e)
            if (e->Kind == k && e->Start) {
                since = e->BreachStart;
                break;
            }
        on << QStringLiteral("%1 ALARM since %2")
                  .arg(AlarmRules::kindName(k).toUpper(),
                       since.toString(QStringLiteral("HH:mm:ss")));
    }
    return on.isEmpty() ? QStringLiteral("No alarm") : on.join(QStringLiteral(", "));
}

void AlarmsWindow::refresh()
{
    const bool alarm = m_monitor.anyActive();
    m_state->setText(stateText());
    m_state->setStyleSheet(alarm ? QStringLiteral("background: #c00000; color: white")
                                 : QStringLiteral("background: #2e7d32; color: white"));
    // What was seen live and what was worked out from restored or loaded readings, marked.
    const QList<AlarmEvent> entries = m_monitor.allEntries();
    m_log->setRowCount(int(entries.size()));
    const auto withUnit = [](std::optional<double> v, const QString &unit) {
        return v ? QStringLiteral("%1 %2").arg(AlarmLog::number(v), unit).trimmed() : QString();
    };
    for (int i = 0; i < entries.size(); ++i) {
        const AlarmEvent &e = entries[i];
        QString event = e.Start ? QStringLiteral("start") : QStringLiteral("end");
        if (e.Recomputed)
            event += QStringLiteral(" (recomputed)");
        const QStringList cells{event,
                                AlarmRules::kindName(e.Kind),
                                timeText(e.BreachStart),
                                e.OpenAtEnd ? QStringLiteral("on at the end of the readings")
                                : e.Start   ? QString()
                                            : timeText(e.Time),
                                withUnit(e.Limit, e.Unit),
                                withUnit(e.Worst, e.Unit),
                                e.Start && !e.OpenAtEnd ? QString()
                                                        : QString::number(e.Seconds, 'f', 1),
                                e.Detail};
        for (int c = 0; c < cells.size(); ++c) {
            auto *item = new QTableWidgetItem(cells[c]);
            if (e.Recomputed)
                item->setToolTip(QStringLiteral("Worked out from readings restored or loaded "
                                                "from a file, not seen as they came."));
            else if (!e.Detail.isEmpty())
                item->setToolTip(e.Detail);
            m_log->setItem(i, c, item);
        }
    }
    if (!entries.isEmpty())
        m_log->scrollToBottom();
}

StatisticsWindow::StatisticsWindow(TableStatistics &stats,
                                   std::function<std::vector<std::pair<qint64, qint64>>()> page,
                                   std::function<QString()> unit, QWidget *parent)
    : QWidget(parent, Qt::Window), m_stats(stats), m_page(std::move(page)), m_unit(std::move(unit))
{
    setObjectName(QStringLiteral("StatisticsWindow"));
    setWindowTitle(QStringLiteral("Statistics"));
    const QStringList rows{QStringLiteral("Readings"),
                           QStringLiteral("With a value"),
                           QStringLiteral("Minimum"),
                           QStringLiteral("Minimum at"),
                           QStringLiteral("Maximum"),
                           QStringLiteral("Maximum at"),
                           QStringLiteral("Mean"),
                           QStringLiteral("Standard deviation"),
                           QStringLiteral("First"),
                           QStringLiteral("Last"),
                           QStringLiteral("Time covered"),
                           QStringLiteral("Time above the high limit"),
                           QStringLiteral("Time below the low limit"),
                           QStringLiteral("Mean kinetic temperature"),
                           QStringLiteral("Time without a number")};
    m_grid = new QTableWidget(int(rows.size()), 2, this);
    m_grid->setObjectName(QStringLiteral("StatisticsGrid"));
    m_grid->setHorizontalHeaderLabels(
        {QStringLiteral("Whole table"), QStringLiteral("Page in view")});
    m_grid->setVerticalHeaderLabels(rows);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    // The mean kinetic temperature's activation energy: 83.144 kJ/mol unless the product's own
    // is known.
    m_activation = new QDoubleSpinBox(this);
    m_activation->setObjectName(QStringLiteral("ActivationEnergy"));
    m_activation->setRange(10, 500);
    m_activation->setDecimals(3);
    m_activation->setSuffix(QStringLiteral(" kJ/mol"));
    m_activation->setValue(stats.activationKJ());
    connect(m_activation, &QDoubleSpinBox::valueChanged, this, [this](double kj) {
        m_stats.setActivationKJ(kj);
        refresh();
    });
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Activation energy (mean kinetic temperature)"), m_activation);
    m_days = new QTableWidget(0, 10, this);
    m_days->setObjectName(QStringLiteral("DayTable"));
    m_days->setHorizontalHeaderLabels(
        {QStringLiteral("Day"), QStringLiteral("Readings"), QStringLiteral("Minimum"),
         QStringLiteral("Maximum"), QStringLiteral("Mean"), QStringLiteral("MKT"),
         QStringLiteral("Above"), QStringLiteral("Below"), QStringLiteral("Alarms"),
         QStringLiteral("Without readings")});
    m_days->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_days->verticalHeader()->hide();
    m_days->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    auto *tabs = new QTabWidget(this);
    tabs->addTab(m_grid, QStringLiteral("Whole table and page"));
    tabs->addTab(m_days, QStringLiteral("Day by day"));
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(tabs);
    m_grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_grid->verticalHeader()->setDefaultSectionSize(m_grid->fontMetrics().height() + 10);
    resize(640, int(rows.size()) * (m_grid->fontMetrics().height() + 10) + 140);
    // The page can move at any time; the figures are cheap to take (block sums).
    m_timer = new QTimer(this);
    m_timer->setInterval(500);
    connect(m_timer, &QTimer::timeout, this, &StatisticsWindow::refresh);
    m_timer->start();
    refresh();
}

void StatisticsWindow::setDays(std::function<std::vector<DayFigures>()> days)
{
    m_dayFigures = std::move(days);
    refresh();
}

QString StatisticsWindow::cell(int row, int column) const
{
    const QTableWidgetItem *item = m_grid->item(row, column);
    return item ? item->text() : QString();
}

void StatisticsWindow::refresh()
{
    const QString u = m_unit().isEmpty() ? QString() : QStringLiteral(" ") + m_unit();
    const StatSummary sums[2] = {m_stats.whole(), m_stats.ranges(m_page())};
    // A capture time as a person reads it; a time of day (a loaded row) as it is.
    auto when = [this](qint64 row) {
        return m_stats.timeOf(row, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    };
    auto duration = [](double s) {
        const qint64 total = qint64(s + 0.5);
        return QStringLiteral("%1:%2:%3")
            .arg(total / 3600)
            .arg(total / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(total % 60, 2, 10, QLatin1Char('0'));
    };
    for (int c = 0; c < 2; ++c) {
        const StatSummary &s = sums[c];
        const bool values = s.Count > 0;
        const QStringList cells{QString::number(s.Rows),
                                QString::number(s.Count),
                                values ? QString::number(s.Min, 'g', 10) + u : QString(),
                                values ? when(s.MinRow) : QString(),
                                values ? QString::number(s.Max, 'g', 10) + u : QString(),
                                values ? when(s.MaxRow) : QString(),
                                values ? QString::number(s.Mean, 'f', 2) + u : QString(),
                                values ? QString::number(s.StdDev, 'f', 2) + u : QString(),
                                when(s.FirstRow),
                                when(s.LastRow),
                                s.Rows ? duration(s.Seconds) : QString(),
                                s.Rows ? duration(s.SecondsAbove) : QString(),
                                s.Rows ? duration(s.SecondsBelow) : QString(),
                                s.MktCelsius ? TableStatistics::mktText(*s.MktCelsius, m_unit())
                                             : QString(),
                                s.Rows ? duration(s.SecondsWithoutNumber) : QString()};
        for (int r = 0; r < cells.size(); ++r) {
            if (!m_grid->item(r, c))
                m_grid->setItem(r, c, new QTableWidgetItem);
            m_grid->item(r, c)->setText(cells[r]);
        }
    }
    if (!m_dayFigures)
        return;
    const std::vector<DayFigures> days = m_dayFigures();
    m_days->setRowCount(int(days.size()));
    for (int r = 0; r < int(days.size()); ++r) {
        const StatSummary &f = days[size_t(r)].Figures;
        const bool values = f.Count > 0;
        const QStringList cells{days[size_t(r)].Day.toString(QStringLiteral("yyyy-MM-dd ddd")),
                                QString::number(f.Rows),
                                values ? QString::number(f.Min, 'g', 10) + u : QString(),
                                values ? QString::number(f.Max, 'g', 10) + u : QString(),
                                values ? QString::number(f.Mean, 'f', 2) + u : QString(),
                                f.MktCelsius ? TableStatistics::mktText(*f.MktCelsius, m_unit())
                                             : QString(),
                                duration(f.SecondsAbove),
                                duration(f.SecondsBelow),
                                QString::number(days[size_t(r)].Alarms),
                                duration(days[size_t(r)].SecondsWithoutReadings)};
        for (int c = 0; c < cells.size(); ++c) {
            if (!m_days->item(r, c))
                m_days->setItem(r, c, new QTableWidgetItem);
            m_days->item(r, c)->setText(cells[c]);
        }
    }
}
