#include "timechart/TimeChart.h"

#include "alarms/AlarmMonitor.h"
#include "recording/MeasurementTable.h"
#include "session/LoggerSession.h"
#include "timechart/TimeChartPlot.h"
#include "timeline/Timeline.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

TimeChart::TimeChart(const Timeline &timeline, QWidget *parent)
    : QWidget(parent, Qt::Window), m_timeline(timeline), m_plot(new QCustomPlot(this)),
      m_replot(new QTimer(this))
{
    setWindowTitle(QStringLiteral("Time Chart"));
    setObjectName(QStringLiteral("TimeChart"));

    auto *bar = new QHBoxLayout;
    auto button = [&](const QString &text, auto slot) {
        auto *b = new QPushButton(text, this);
        b->setFocusPolicy(Qt::NoFocus);
        b->setObjectName(text);
        connect(b, &QPushButton::clicked, this, slot);
        bar->addWidget(b);
        return b;
    };
    button(QStringLiteral("10 min"), [this] { showLast(600); });
    button(QStringLiteral("Hour"), [this] { showLast(3600); });
    button(QStringLiteral("Day"), [this] { showLast(86400); });
    button(QStringLiteral("All"), [this] { showAll(); });
    m_follow = button(QStringLiteral("Follow"), [this](bool on) { setFollow(on); });
    m_follow->setCheckable(true);
    m_follow->setChecked(true);
    bar->addStretch();
    m_fixed = new QCheckBox(QStringLiteral("Fixed scale"), this);
    m_fixed->setFocusPolicy(Qt::NoFocus);
    m_min = new QDoubleSpinBox(this);
    m_max = new QDoubleSpinBox(this);
    for (QDoubleSpinBox *box : {m_min, m_max}) {
        box->setRange(-1000, 2000);
        box->setDecimals(1);
        box->setEnabled(false);
        connect(box, &QDoubleSpinBox::valueChanged, this, [this] { m_replot->start(); });
    }
    m_min->setValue(0);
    m_max->setValue(100);
    connect(m_fixed, &QCheckBox::toggled, this, [this](bool on) {
        m_min->setEnabled(on);
        m_max->setEnabled(on);
        if (on) {
            // The scale is held where it stands.
            m_min->setValue(m_plot->yAxis->range().lower);
            m_max->setValue(m_plot->yAxis->range().upper);
        }
        m_replot->start();
    });
    bar->addWidget(m_fixed);
    bar->addWidget(m_min);
    bar->addWidget(new QLabel(QStringLiteral("to"), this));
    bar->addWidget(m_max);
    m_save = button(QStringLiteral("Save picture..."), [this] { emit savePictureRequested(); });

    auto ticker = QSharedPointer<ClockTicker>::create();
    ticker->setTickCount(7);
    m_plot->xAxis->setTicker(ticker);
    m_plot->xAxis->setLabel(QStringLiteral("Local time"));
    m_plot->yAxis->setLabel(QStringLiteral("Temperature"));
    m_plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    m_plot->axisRect()->setRangeDrag(Qt::Horizontal);
    m_plot->axisRect()->setRangeZoom(Qt::Horizontal);
    m_plot->axisRect()->setRangeZoomFactor(0.8);
    m_plot->setFocusPolicy(Qt::StrongFocus);
    m_plot->setMinimumSize(360, 200);
    m_line = new TimelinePlottable(timeline, m_plot->xAxis, m_plot->yAxis);
    for (QCPItemStraightLine **limit : {&m_high, &m_low}) {
        *limit = new QCPItemStraightLine(m_plot);
        (*limit)->setPen(QPen(QColor(200, 30, 30), 1, Qt::DashLine));
        (*limit)->setVisible(false);
    }

    // A drag pans (and ends following), Shift and a drag draws a box to zoom to.
    connect(m_plot, &QCustomPlot::mousePress, this, [this](QMouseEvent *event) {
        m_plot->setSelectionRectMode(event->modifiers() & Qt::ShiftModifier ? QCP::srmCustom
                                                                            : QCP::srmNone);
    });
    connect(m_plot->selectionRect(), &QCPSelectionRect::accepted, this,
            [this](const QRect &rect, QMouseEvent *) {
                if (rect.width() < 3)
                    return;
                userMoved();
                setView(m_plot->xAxis->pixelToCoord(rect.left()),
                        m_plot->xAxis->pixelToCoord(rect.right()));
            });
    connect(m_plot, &QCustomPlot::mouseMove, this, &TimeChart::mouseMoved);
    m_plot->installEventFilter(this); // the cursor leaving the chart
    m_mark = new QCPItemTracer(m_plot);
    m_mark->setStyle(QCPItemTracer::tsCircle);
    m_mark->setSize(9);
    m_mark->setPen(QPen(Qt::black, 1.5));
    m_mark->setBrush(Qt::NoBrush);
    m_mark->setVisible(false);
    connect(m_plot, &QCustomPlot::mouseWheel, this, [this] {
        m_all = false;
        // Zoomed at the cursor: following ends when the newest reading leaves the view.
        QTimer::singleShot(0, this, [this] {
            qint64 first = 0, last = 0;
            if (m_timeline.series().timeRange(&first, &last) &&
                !view().contains(double(last) / 1000))
                setFollow(false);
            m_replot->start();
        });
    });
    connect(m_plot->xAxis, qOverload<const QCPRange &>(&QCPAxis::rangeChanged), this,
            [this] { updateTexts(); });

    m_cursor = new QLabel(this);
    m_inView = new QLabel(this);
    m_status = new QLabel(this);
    m_status->setWordWrap(true);
    for (QLabel *l : {m_cursor, m_inView, m_status})
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_cursor->setObjectName(QStringLiteral("cursor"));
    m_inView->setObjectName(QStringLiteral("inView"));
    m_status->setObjectName(QStringLiteral("status"));

    // The notes: listed, each to edit or remove; a double-click on one shows it.
    m_notes = new QListWidget(this);
    m_notes->setObjectName(QStringLiteral("notes"));
    m_notes->setMaximumHeight(90);
    m_notes->setFocusPolicy(Qt::NoFocus);
    auto *noteBar = new QHBoxLayout;
    auto noteButton = [&](const QString &text, auto signal) {
        auto *b = new QPushButton(text, this);
        b->setFocusPolicy(Qt::NoFocus);
        b->setObjectName(text);
        connect(b, &QPushButton::clicked, this, [this, signal] {
            if (const QListWidgetItem *item = m_notes->currentItem())
                emit(this->*signal)(item->data(Qt::UserRole).toLongLong());
        });
        noteBar->addWidget(b);
        m_noteWidgets << b;
    };
    auto *hint =
        new QLabel(QStringLiteral("Notes (N or a double-click on the chart adds one):"), this);
    noteBar->addWidget(hint);
    m_noteWidgets << hint << m_notes;
    noteBar->addStretch();
    noteButton(QStringLiteral("Edit note..."), &TimeChart::noteEditRequested);
    noteButton(QStringLiteral("Remove note"), &TimeChart::noteRemoveRequested);
    connect(m_notes, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem *item) {
        const Notes::Note *n = m_timeline.notes().find(item->data(Qt::UserRole).toLongLong());
        if (n) {
            const double span = view().size(), at = double(n->TimeMs) / 1000;
            m_all = false;
            setFollow(false);
            setView(at - span / 2, at + span / 2);
        }
    });
    connect(&timeline.notes(), &Notes::changed, this, [this] {
        listNotes();
        m_replot->start();
    });
    listNotes(); // those there already: restored, loaded
    connect(m_plot, &QCustomPlot::mouseDoubleClick, this, [this](QMouseEvent *event) {
        if (m_notesShown)
            emit noteRequested(m_plot->xAxis->pixelToCoord(event->position().x()));
    });

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(m_plot, 1);
    layout->addWidget(m_cursor);
    layout->addWidget(m_inView);
    layout->addWidget(m_status);
    layout->addLayout(noteBar);
    layout->addWidget(m_notes);

    // Rows arrive several times a second: drawn at most every 50 ms.
    m_replot->setSingleShot(true);
    m_replot->setInterval(50);
    connect(m_replot, &QTimer::timeout, this, &TimeChart::replotNow);
    connect(&timeline, &Timeline::changed, this, &TimeChart::changed);

    resize(QSettings().value(QStringLiteral("TimeChart/size"), QSize(960, 560)).toSize());
    showAll();
}

void TimeChart::setNotesShown(bool shown)
{
    m_notesShown = shown;
    for (QWidget *w : m_noteWidgets)
        w->setVisible(shown);
}

TimeChart::~TimeChart() = default;

void TimeChart::setSession(LoggerSession *session)
{
    m_session = session;
    LoggerEngine *engine = &session->engine();
    connect(engine, &LoggerEngine::recordLimitReached, this, [this] {
        m_limitReached = true;
        updateTexts();
    });
    connect(engine, &LoggerEngine::tableCleared, this, [this] {
        m_limitReached = false;
        updateTexts();
    });
    // The cable being recorded, by its ID, from the moment the chart opens.
    auto follow = [this, engine](bool connected) {
        const std::optional<CableIds::Cable> cable =
            connected ? engine->connectedCable() : std::nullopt;
        m_cable = cable ? cable->Id : QString();
        if (!m_cable.isEmpty())
            m_lastCable = m_cable;
        updateTexts();
    };
    connect(engine, &LoggerEngine::recallLocked, this, follow);
    connect(engine, &LoggerEngine::connectionLost, this, [follow] { follow(false); });
    follow(engine->connectedCable().has_value());
}

void TimeChart::setAlarms(AlarmMonitor *alarms)
{
    m_alarms = alarms;
    connect(alarms, &AlarmMonitor::alarm, this, [this] { m_replot->start(); });
    connect(alarms, &AlarmMonitor::recomputedChanged, this, [this] { m_replot->start(); });
    m_replot->start();
}

QCPRange TimeChart::view() const
{
    return m_plot->xAxis->range();
}

void TimeChart::setView(double from, double to)
{
    if (to <= from)
        to = from + 1;
    m_plot->xAxis->setRange(from, to);
    m_replot->start();
}

void TimeChart::showLast(double seconds)
{
    m_all = false;
    qint64 first = 0, last = 0;
    const double end = m_timeline.series().timeRange(&first, &last)
                           ? double(last) / 1000
                           : double(QDateTime::currentMSecsSinceEpoch()) / 1000;
    setFollow(true);
    setView(end - seconds * 0.98, end + seconds * 0.02);
}

void TimeChart::showAll()
{
    m_all = true;
    qint64 first = 0, last = 0;
    if (!m_timeline.series().timeRange(&first, &last)) {
        const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000;
        setView(now - 600, now);
        return;
    }
    const double span = qMax(60.0, double(last - first) / 1000);
    setView(double(first) / 1000 - span * 0.01, double(last) / 1000 + span * 0.02);
}

void TimeChart::setFollow(bool follow)
{
    m_follow->setChecked(follow);
    if (follow && !m_all) {
        qint64 first = 0, last = 0;
        if (m_timeline.series().timeRange(&first, &last)) {
            const double span = view().size(), end = double(last) / 1000;
            if (!view().contains(end) || view().upper - end > span * 0.1)
                setView(end - span * 0.98, end + span * 0.02);
        }
    }
}

bool TimeChart::following() const
{
    return m_follow->isChecked();
}

void TimeChart::zoom(double factor)
{
    // Following, the newest reading stays where it is; else the middle does.
    qint64 first = 0, last = 0;
    if (following() && m_timeline.series().timeRange(&first, &last) &&
        view().contains(double(last) / 1000))
        zoomAt(factor, double(last) / 1000);
    else
        zoomAt(factor, view().center());
}

void TimeChart::zoomAt(double factor, double at)
{
    m_all = false;
    const QCPRange r = view();
    setView(at - (at - r.lower) * factor, at + (r.upper - at) * factor);
}

void TimeChart::pan(double fraction)
{
    userMoved();
    const QCPRange r = view();
    double shift = r.size() * fraction;
    // Never past the data's ends by more than a margin: beyond them is only an empty month.
    qint64 first = 0, last = 0;
    if (m_timeline.series().timeRange(&first, &last)) {
        const double margin = r.size() * 0.05;
        const double lo = double(first) / 1000 - margin, hi = double(last) / 1000 + margin;
        if (shift > 0)
            shift = qMax(0.0, qMin(shift, hi - r.upper));
        else
            shift = qMin(0.0, qMax(shift, lo - r.lower));
    }
    setView(r.lower + shift, r.upper + shift);
}

void TimeChart::userMoved()
{
    m_all = false;
    setFollow(false);
}

void TimeChart::changed()
{
    if (m_all)
        showAll();
    else if (following())
        setFollow(true);
    if (isVisible())
        m_replot->start();
}

void TimeChart::fitValues()
{
    QCPRange values;
    if (m_fixed->isChecked()) {
        values = QCPRange(m_min->value(), qMax(m_max->value(), m_min->value() + 0.1));
    } else {
        // What is in view, with a margin; readings without a number never count.
        const TimeSeries::Summary s =
            m_timeline.series().summaryIn(view().lower * 1000, view().upper * 1000);
        if (!s.hasNumbers())
            return;
        const double margin = qMax(0.5, (double(s.Max) - s.Min) * 0.08);
        values = QCPRange(double(s.Min) - margin, double(s.Max) + margin);
    }
    m_plot->yAxis->setRange(values);
}

void TimeChart::updateAlarms()
{
    std::vector<std::pair<double, double>> spans;
    if (m_alarms) {
        const AlarmSettings &limits = m_alarms->settings();
        const std::pair<QCPItemStraightLine *, std::optional<double>> lines[] = {
            {m_high, limits.High}, {m_low, limits.Low}};
        for (const auto &[line, limit] : lines) {
            line->setVisible(limit.has_value());
            if (limit) {
                // Where the limit lies in the unit the readings come in.
                const double at =
                    AlarmRules::convert(*limit, m_alarms->rules().unit(), m_alarms->unit());
                line->point1->setCoords(0, at);
                line->point2->setCoords(1, at);
            }
        }
        // Each alarm from its start to its end (or to now, while it lasts); one worked out from
        // stored rows and on at their end, to that end.
        QHash<QString, double> open;
        for (const AlarmEvent &e : m_alarms->allEntries()) {
            if (e.OpenAtEnd) {
                spans.emplace_back(double(e.BreachStart.toMSecsSinceEpoch()) / 1000,
                                   double(e.Time.toMSecsSinceEpoch()) / 1000);
                continue;
            }
            const QString key = (e.Recomputed ? QStringLiteral("r") : QString()) +
                                QString::number(int(e.Kind)) +
                                e.BreachStart.toString(Qt::ISODateWithMs);
            if (e.Start)
                open.insert(key, double(e.BreachStart.toMSecsSinceEpoch()) / 1000);
            else
                spans.emplace_back(double(e.BreachStart.toMSecsSinceEpoch()) / 1000,
                                   double(e.Time.toMSecsSinceEpoch()) / 1000);
            if (!e.Start)
                open.remove(key);
        }
        for (const double from : std::as_const(open))
            spans.emplace_back(from, double(QDateTime::currentMSecsSinceEpoch()) / 1000);
    }
    m_line->setAlarmSpans(std::move(spans));
}

void TimeChart::replotNow()
{
    m_replot->stop();
    updateAlarms();
    fitValues();
    updateTexts();
    m_plot->replot(QCustomPlot::rpImmediateRefresh);
}

void TimeChart::mouseMoved(QMouseEvent *event)
{
    if ((event->buttons() & Qt::LeftButton) && m_plot->selectionRectMode() == QCP::srmNone) {
        userMoved(); // a drag pans
        m_replot->start();
    }
    m_cursorX = event->position().x();
    followCursor();
    m_plot->replot(QCustomPlot::rpQueuedReplot);
    const QString gap = gapAt(m_cursorAt);
    if (gap.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(event->globalPosition().toPoint(), gap, m_plot);
}

bool TimeChart::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_plot && event->type() == QEvent::Leave) {
        m_cursorX = m_cursorAt = -1;
        followCursor();
        m_plot->replot(QCustomPlot::rpQueuedReplot);
    }
    return QWidget::eventFilter(watched, event);
}

void TimeChart::followCursor()
{
    // Time and data pass under a still cursor (the view follows new readings, keys pan it):
    // the readout reads what is under it now.
    if (m_cursorX >= 0)
        m_cursorAt = m_plot->xAxis->pixelToCoord(m_cursorX);
    m_cursor->setText(m_cursorAt >= 0 ? readingAt(m_cursorAt)
                                      : QStringLiteral("Point at the chart to read the reading "
                                                       "there; hover over a shaded gap for its "
                                                       "span."));
    const qint64 row = readoutRow();
    const TimeSeries &s = m_timeline.series();
    const float v = row >= 0 ? s.value(row) : std::numeric_limits<float>::quiet_NaN();
    // A reading beyond the range is marked at the edge it went past.
    const QCPRange values = m_plot->yAxis->range();
    const double y = std::isnan(v)   ? values.center()
                     : std::isinf(v) ? (v > 0 ? values.upper : values.lower)
                                     : double(v);
    m_mark->setVisible(row >= 0 && !std::isnan(v));
    m_mark->position->setCoords(row >= 0 ? double(s.timeMs(row)) / 1000 : 0, y);
}

qint64 TimeChart::readoutRow() const
{
    return m_cursorAt >= 0 ? m_timeline.series().nearest(m_cursorAt * 1000) : -1;
}

void TimeChart::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoom(0.5);
        break;
    case Qt::Key_Minus:
        zoom(2);
        break;
    case Qt::Key_Left:
        pan(-0.2);
        break;
    case Qt::Key_Right:
        pan(0.2);
        break;
    case Qt::Key_Home: {
        qint64 first = 0, last = 0;
        if (m_timeline.series().timeRange(&first, &last)) {
            userMoved();
            const double span = view().size();
            setView(double(first) / 1000 - span * 0.02, double(first) / 1000 + span * 0.98);
        }
        break;
    }
    case Qt::Key_End:
        m_all = false;
        setFollow(true);
        break;
    case Qt::Key_0:
        showAll();
        break;
    case Qt::Key_N: {
        // On the reading the readout shows, or on the newest when the cursor is not over the
        // chart.
        qint64 first = 0, last = 0;
        if (!m_notesShown)
            return;
        if (const qint64 row = readoutRow(); row >= 0)
            emit noteRequested(double(m_timeline.series().timeMs(row)) / 1000);
        else if (m_timeline.series().timeRange(&first, &last))
            emit noteRequested(double(last) / 1000);
        return;
    }
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    replotNow();
}

void TimeChart::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_plot->setFocus();
    replotNow();
}

void TimeChart::hideEvent(QHideEvent *event)
{
    QSettings().setValue(QStringLiteral("TimeChart/size"), size());
    QWidget::hideEvent(event);
}
