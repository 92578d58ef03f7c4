// The Tools menu: limit alarms, statistics, the time chart, the CSV export and the alarm log.
// Beyond the recording itself; nothing of the main window's own controls changes for it.

#include "alarms/AlarmMonitor.h"
#include "alarms/Statistics.h"
#include "app/BackgroundTask.h"
#include "app/LoggersWindow.h"
#include "app/Prompts.h"
#include "app/RD7F.h"
#include "app/ToolWindows.h"
#include "headless/OptionTable.h"
#include "mqtt/MqttPublisher.h"
#include "output/DataFiles.h"
#include "output/ErrWriter.h"
#include "outputs/AuditTrail.h"
#include "outputs/Outputs.h"
#include "recording/MeasurementTable.h"
#include "recording/Recorder.h"
#include "recording/uCharControl.h"
#include "report/SummaryReport.h"
#include "session/Journal.h"
#include "timechart/TimeChart.h"
#include "timeline/Timeline.h"

#include <QPrinter>
#include <QScreen>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMenuBar>

void TFCOMM::buildTools()
{
    OutputOptions options;
    options.Alarms = ToolSettings::alarms();
    // Every alarm of every session, for an audit; appended as it happens.
    options.AlarmLog = RecoveryJournal->folder() + QStringLiteral("/alarm-log.txt");
    options.Timeline = true;
    options.AuditLog = RecoveryJournal->folder() + QStringLiteral("/audit-log.txt");
    // What the window's command line asks of the outputs the headless run offers too.
    Headless::applyWindowOptions(QCoreApplication::arguments(), options);
    Out = new Outputs(Session, options, this);
    // What they say goes to standard error, as a headless run's does.
    connect(Out, &Outputs::said, this, [](const QString &line, bool) { ErrWriter::say(line); });
    connect(Out, &Outputs::commandOutput, this,
            [](const QByteArray &bytes) { ErrWriter::standard().write(bytes); });
    Alarms = &Out->alarms();
    Stats = &Out->statistics();
    connect(Out, &Outputs::alarmLogFailed, this,
            [](const QString &path, const QString &reason, bool opening) {
                ErrWriter::say(QStringLiteral("Could not %1 the alarm log %2: %3")
                                   .arg(opening ? QStringLiteral("open") : QStringLiteral("write"),
                                        path, reason));
            });

    ToolsMenu = menuBar()->addMenu(QStringLiteral("Tools"));
    ToolsMenu->setObjectName(QStringLiteral("ToolsMenu"));
    AlarmsEntry = ToolsMenu->addAction(QStringLiteral("Alarms..."));
    StatisticsEntry = ToolsMenu->addAction(QStringLiteral("Statistics..."));
    TimeChartEntry = ToolsMenu->addAction(QStringLiteral("Time Chart..."));
    TimeChartEntry->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    SummaryReportEntry = ToolsMenu->addAction(QStringLiteral("Summary Report..."));
    LoggersEntry = ToolsMenu->addAction(QStringLiteral("Loggers..."));
    ToolsMenu->addSeparator();
    ExportCsvEntry = ToolsMenu->addAction(QStringLiteral("Export CSV..."));
    SaveAlarmLogEntry = ToolsMenu->addAction(QStringLiteral("Save alarm log..."));
    ToolsMenu->addSeparator();
    buildCableMenu();
    connect(AlarmsEntry, &QAction::triggered, this, &TFCOMM::showAlarmsWindow);
    connect(StatisticsEntry, &QAction::triggered, this, &TFCOMM::showStatisticsWindow);
    connect(TimeChartEntry, &QAction::triggered, this, &TFCOMM::showTimeChart);
    connect(SummaryReportEntry, &QAction::triggered, this, &TFCOMM::summaryReportClick);
    connect(ExportCsvEntry, &QAction::triggered, this, &TFCOMM::exportCsvClick);
    connect(SaveAlarmLogEntry, &QAction::triggered, this, &TFCOMM::saveAlarmLogClick);
    connect(LoggersEntry, &QAction::triggered, this, &TFCOMM::showLoggersWindow);
}

void TFCOMM::showLoggersWindow()
{
    if (!m_loggersWindow) {
        m_loggersWindow = new LoggersWindow(PublishingOptions, this);
        m_loggersWindow->setAttribute(Qt::WA_DeleteOnClose);
        // Watching begins at once with the broker this window publishes to.
        if (PublishingOptions)
            m_loggersWindow->connectToBroker();
    }
    m_loggersWindow->show();
    m_loggersWindow->raise();
    m_loggersWindow->activateWindow();
}

void TFCOMM::setAlarmSettings(const AlarmSettings &settings, bool remember)
{
    Out->setAlarmSettings(settings);
    if (remember)
        ToolSettings::setAlarms(settings);
}

void TFCOMM::showAlarmsWindow()
{
    if (!m_alarmsWindow) {
        m_alarmsWindow = new AlarmsWindow(*Alarms, this);
        m_alarmsWindow->setAttribute(Qt::WA_DeleteOnClose);
        connect(m_alarmsWindow, &AlarmsWindow::settingsChosen, this,
                [this](const AlarmSettings &s) { setAlarmSettings(s, true); });
        connect(m_alarmsWindow, &AlarmsWindow::saveLogRequested, this, &TFCOMM::saveAlarmLogClick);
    }
    m_alarmsWindow->show();
    m_alarmsWindow->raise();
    m_alarmsWindow->activateWindow();
}

std::vector<std::pair<qint64, qint64>> TFCOMM::pageRows() const
{
    return Plotted.rowsOf(ChartCtl->WindowMin(), ChartCtl->WindowMax());
}

void TFCOMM::showStatisticsWindow()
{
    if (!m_statisticsWindow) {
        m_statisticsWindow = new StatisticsWindow(
            *Stats, [this] { return pageRows(); }, [this] { return cds1->lastUnitName(); }, this);
        m_statisticsWindow->setAttribute(Qt::WA_DeleteOnClose);
        if (Out->timeline())
            m_statisticsWindow->setDays([this] {
                return dailyFigures(*Out->timeline(), Out->statistics(), Alarms->allEntries());
            });
    }
    m_statisticsWindow->show();
    m_statisticsWindow->raise();
    m_statisticsWindow->activateWindow();
}

QString TFCOMM::cableFilePart() const
{
    // The cable recorded, in a default file name: the files of several cables never meet.
    QString name = Engine.cableName(chosenRow());
    for (QChar &c : name)
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('.'))
            c = QLatin1Char('_');
    return name.isEmpty() ? QString() : QLatin1Char('-') + name;
}

void TFCOMM::exportCsvClick()
{
    const QString path = Prompts::current().saveFileName(ToolSettings::exportRequest(
        QStringLiteral("Export CSV"), QStringLiteral("CSV (*.csv)|*.csv"), QStringLiteral("csv"),
        QStringLiteral("readings%1-%2.csv")
            .arg(cableFilePart(),
                 QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmm")))));
    if (path.isEmpty())
        return;
    ToolSettings::setExportFolder(QFileInfo(path).absolutePath());
    const LongCommand busy(this);
    const std::shared_ptr<const MeasurementTable> rows = cds1->snapshot();
    // The notes go in the last column, on their readings or on lines of their own.
    auto notes = std::make_shared<std::vector<DataFiles::CsvNote>>();
    if (Out && Out->timeline())
        for (const Notes::Note &n : Out->timeline()->notes().all())
            notes->push_back({n.Row < rows->count() ? n.Row : -1, n.TimeMs, n.Text});
    const auto reason = std::make_shared<QString>();
    const auto proof = std::make_shared<SavedProof>(*this, cds1);
    const bool saved = BackgroundTask::run<bool>(
        QStringLiteral("Exporting %1").arg(path), rows->count(),
        [rows, path, reason, notes, proof](std::atomic<qint64> &done) {
            if (!DataFiles::saveCsv(*rows, path, &done, reason.get(), notes.get()))
                return false;
            proof->make(path, *rows);
            return true;
        });
    if (saved) {
        Prompts::current().message(
            QStringLiteral("%1 readings exported to %2.").arg(rows->count()).arg(path),
            DialogKind::Information, {DialogButton::OK});
        recordSaved(cds1, QStringLiteral("exported"), path, rows->count(), *proof);
    } else
        Prompts::current().message(QStringLiteral("Could not export to %1: %2.").arg(path, *reason),
                                   DialogKind::Warning, {DialogButton::OK});
}

void TFCOMM::saveToolList(const QString &what, const QString &base, const QString &items,
                          const std::function<bool(const QString &, QString *)> &save,
                          const std::function<qint64()> &count)
{
    // "the alarm log": "Save alarm log", alarms-<cable>-<time>.txt in the last folder.
    const QString path = Prompts::current().saveFileName(ToolSettings::exportRequest(
        QStringLiteral("Save ") + what.mid(4), QStringLiteral("Text (*.txt)|*.txt"),
        QStringLiteral("txt"),
        QStringLiteral("%1%2-%3.txt")
            .arg(base, cableFilePart(),
                 QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmm")))));
    if (path.isEmpty())
        return;
    ToolSettings::setExportFolder(QFileInfo(path).absolutePath());
    QString reason;
    if (save(path, &reason))
        Prompts::current().message(
            QStringLiteral("%1 %2 saved to %3.").arg(count()).arg(items, path),
            DialogKind::Information, {DialogButton::OK});
    else
        Prompts::current().message(
            QStringLiteral("Could not save %1 to %2: %3.").arg(what, path, reason),
            DialogKind::Warning, {DialogButton::OK});
}

void TFCOMM::saveAlarmLogClick()
{
    saveToolList(
        QStringLiteral("the alarm log"), QStringLiteral("alarms"), QStringLiteral("alarm entries"),
        [this](const QString &path, QString *reason) { return Alarms->log().saveAs(path, reason); },
        [this] { return qint64(Alarms->log().entries().size()); });
}

TimeChart *TFCOMM::timeChart() const
{
    return m_timeChart;
}

void TFCOMM::showTimeChart()
{
    if (!m_timeChart) {
        m_timeChart = new TimeChart(*Out->timeline(), this);
        m_timeChart->setSession(&Session);
        m_timeChart->setAlarms(Alarms);
        m_timeChart->setStatistics(&Out->statistics());
        connect(m_timeChart, &TimeChart::savePictureRequested, this, &TFCOMM::saveTimeChartPicture);
        connect(m_timeChart, &TimeChart::noteRequested, this, &TFCOMM::noteAt);
        connect(m_timeChart, &TimeChart::noteEditRequested, this, &TFCOMM::editNote);
        connect(m_timeChart, &TimeChart::noteRemoveRequested, this,
                [this](qint64 id) { Out->timeline()->notes().remove(id); });
        // Beside the main window, where the screen has room.
        m_timeChart->move(frameGeometry().topRight() + QPoint(8, 0));
    }
    m_timeChart->show();
    // Whole on the screen, whatever the main window's size and place: moved in, and made
    // smaller only where the screen is smaller than the chart.
    if (const QScreen *screen = m_timeChart->screen()) {
        const QRect room = screen->availableGeometry();
        QRect frame = m_timeChart->frameGeometry();
        const QSize inner = m_timeChart->size();
        const QSize extra = frame.size() - inner;
        if (frame.width() > room.width() || frame.height() > room.height())
            m_timeChart->resize(qMin(inner.width(), room.width() - extra.width()),
                                qMin(inner.height(), room.height() - extra.height()));
        frame = m_timeChart->frameGeometry();
        // (qBound would want its bounds in order: a chart wider than the screen starts at its
        // left edge.)
        m_timeChart->move(qMax(room.left(), qMin(frame.left(), room.right() - frame.width() + 1)),
                          qMax(room.top(), qMin(frame.top(), room.bottom() - frame.height() + 1)));
    }
    m_timeChart->raise();
    m_timeChart->activateWindow();
}

void TFCOMM::saveTimeChartPicture()
{
    saveChartPicture(m_timeChart);
}

void saveChartPicture(QPointer<TimeChart> chart)
{
    FileDialogRequest request;
    request.title = QStringLiteral("Save picture");
    request.filter = QStringLiteral("PNG picture (*.png)|*.png|PDF document (*.pdf)|*.pdf");
    request.defaultExt = QStringLiteral("*.png");
    request.overwritePrompt = true;
    request.fileName =
        QStringLiteral("time-chart-") + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    const QString path = Prompts::current().saveFileName(request);
    if (path.isEmpty() || !chart)
        return; // the window may have gone while the dialog was open
    QString reason;
    if (!chart->savePicture(path, &reason))
        Prompts::current().message(
            QStringLiteral("Could not save the picture to %1: %2.").arg(path, reason),
            DialogKind::Warning, {DialogButton::OK});
}

SummaryInput TFCOMM::summaryInput() const
{
    // The cable by its ID, as the Cable menu names it.
    const std::optional<CableIds::Cable> cable = Engine.connectedCable();
    SummaryInput in = Out->summaryInput(cable ? cable->Id : QString(), QStringLiteral(TX9_VERSION));
    if (!recordSI())
        in.IntervalSeconds = 0;
    else if (const auto interval = Recorder::parseInterval(intervalText()))
        in.IntervalSeconds = int(*interval);
    return in;
}

std::optional<std::optional<SignOff>> TFCOMM::askSignOff()
{
    const QString title = QStringLiteral("Sign the report");
    const std::optional<QString> name = Prompts::current().textInput(
        title, QStringLiteral("Your name, to sign the report (empty or Cancel: not signed):"),
        QString());
    if (!name || name->trimmed().isEmpty())
        return std::optional<SignOff>();
    const std::optional<QString> meaning = Prompts::current().textInput(
        title, QStringLiteral("What your signature means: reviewed, approved or responsible:"),
        QStringLiteral("reviewed"));
    if (!meaning)
        return std::nullopt;
    const std::optional<QString> comment = Prompts::current().textInput(
        title, QStringLiteral("A comment printed with it (may be empty):"), QString());
    if (!comment)
        return std::nullopt;
    std::optional<SignOff> signOff;
    if (const QString wrong = SignOff::read(*name, meaning->trimmed().toLower(), *comment, signOff);
        !wrong.isEmpty()) {
        Prompts::current().message(
            QStringLiteral("The report is not made: its signature must mean reviewed, approved "
                           "or responsible."),
            DialogKind::Warning, {DialogButton::OK});
        return std::nullopt;
    }
    return signOff;
}

void TFCOMM::summaryReportClick()
{
    // Signed, optionally: the name, what the signature means and a comment, asked first.
    const std::optional<std::optional<SignOff>> signOff = askSignOff();
    if (!signOff)
        return;
    const LongCommand busy(this);
    // What the pages show is taken once, at the first page: the seal as it stood then, and
    // the sign-off recorded after it (the preview paints again on every zoom).
    auto shown = std::make_shared<std::optional<SummaryInput>>();
    const std::optional<SignOff> sign = *signOff;
    Prompts::current().printPreview([this, sign, shown](QPrinter *printer) {
        printer->setPageSize(SummaryReport::localePageSize());
        if (!*shown) {
            SummaryInput first = summaryInput();
            if (sign)
                Out->signReport(first, *sign);
            *shown = first;
        }
        SummaryInput in = summaryInput();
        in.Seals = (*shown)->Seals;
        in.Audit = (*shown)->Audit;
        in.Signed = (*shown)->Signed;
        if (printer->outputFormat() == QPrinter::PdfFormat &&
            !printer->outputFileName().isEmpty()) {
            // Printed to a file: written through the checked write, replaced whole or not at all.
            const QString path = printer->outputFileName();
            QString reason;
            if (SummaryReport::writePdf(in, path, &reason))
                Out->audit().record(QStringLiteral("report written"), QString(), path);
            else
                Prompts::current().message(
                    QStringLiteral("Could not write the summary report to %1: %2.")
                        .arg(path, reason),
                    DialogKind::Warning, {DialogButton::OK});
            return;
        }
        SummaryReport::paint(in, printer);
    });
}

void TFCOMM::noteAt(double at)
{
    if (!m_timeChart)
        return;
    const auto [timeMs, row] = m_timeChart->noteTarget(at);
    const std::optional<qint32> no = row >= 0 ? cds1->no(row) : std::nullopt;
    const std::optional<QString> text = Prompts::current().textInput(
        QStringLiteral("Note"),
        no ? QStringLiteral("A note on reading No %1 at %2:")
                 .arg(*no)
                 .arg(Timeline::clockText(timeMs))
           : QStringLiteral("A note at %1:").arg(Timeline::clockText(timeMs)),
        QString());
    if (!text || text->trimmed().isEmpty())
        return;
    // The question ran a loop of its own: the table may have been emptied meanwhile, and the
    // row is then no longer the reading the note was asked for.
    Timeline *line = Out->timeline();
    const bool rowStands =
        row >= 0 && row < line->series().rows() && line->series().timeMs(row) == timeMs;
    line->notes().add(timeMs, rowStands ? row : -1, rowStands ? no : std::nullopt, *text);
}

void TFCOMM::editNote(qint64 id)
{
    Notes &notes = Out->timeline()->notes();
    const Notes::Note *note = notes.find(id);
    if (!note)
        return;
    const std::optional<QString> text = Prompts::current().textInput(
        QStringLiteral("Note"),
        QStringLiteral("The note at %1:").arg(Timeline::clockText(note->TimeMs)), note->Text);
    if (!text)
        return;
    // Emptied, it goes (it may have gone meanwhile, which is no matter).
    if (text->trimmed().isEmpty())
        notes.remove(id);
    else
        notes.edit(id, *text);
}
