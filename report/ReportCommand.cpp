#include "report/ReportCommand.h"

#include "output/DataFiles.h"
#include "recording/MeasurementTable.h"
#include "report/SummaryReport.h"
#include "timeline/Timeline.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <cstdio>
#include <cstring>
#include <memory>

namespace ReportCommand {

namespace {

void say(const QString &line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));
}

// A file read into a table of its own, and where it begins in time.
struct Input
{
    QString Path;
    std::unique_ptr<MeasurementTable> Rows = std::make_unique<MeasurementTable>();
    QDate FileDate;
    qint64 StartsMs = 0;
    // Its notes: a CSV export's column, a kept journal's marks, or those saved beside it.
    std::vector<DataFiles::CsvNote> CsvNotes;
    std::vector<DataFiles::Mark> Marks;
    std::vector<Notes::Note> Beside;
};

bool read(Input &in, QString *why)
{
    const QString ext = DataFiles::extensionOf(in.Path);
    DataFiles::LoadStatus status;
    if (ext == QLatin1String(".csv")) {
        status = DataFiles::loadCsv(in.Path, *in.Rows, why, &in.CsvNotes);
    } else {
        status = DataFiles::loadTable(in.Path, *in.Rows, false, nullptr, nullptr, &in.Marks);
        if (status != DataFiles::LoadStatus::Ok)
            *why = QFileInfo(in.Path).isFile() && QFileInfo(in.Path).isReadable()
                       ? QStringLiteral("it is not one of this program's data files")
                       : QStringLiteral("it cannot be read");
    }
    if (status != DataFiles::LoadStatus::Ok)
        return false;
    QString notesWhy;
    if (!Notes::readBeside(in.Path, in.Beside, &notesWhy)) {
        *why = QStringLiteral("the notes beside it (%1) cannot be read: %2")
                   .arg(Notes::besideFile(in.Path), notesWhy);
        return false;
    }
    in.FileDate = QFileInfo(in.Path).lastModified().date();
    // Its place among the others: its first capture time, or its date.
    in.StartsMs = in.Rows->count() > 0 && in.Rows->capturedPacked(0) != 0
                      ? MeasurementTable::msOfPacked(in.Rows->capturedPacked(0))
                      : QDateTime(in.FileDate, QTime(0, 0)).toMSecsSinceEpoch();
    return true;
}

} // namespace

bool requested(int argc, char **argv)
{
    bool report = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--headless"))
            return false;
        report =
            report || !std::strcmp(argv[i], "--report") || !std::strncmp(argv[i], "--report=", 9);
    }
    return report;
}

int run(int argc, char **argv)
{
    // A report needs no display, whatever the session has.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("tx9-logger"));
    QCommandLineParser parser;
    const QCommandLineOption report(QStringLiteral("report"),
                                    QStringLiteral("the summary report to write (PDF)"),
                                    QStringLiteral("FILE.pdf"));
    const QCommandLineOption high(QStringLiteral("high"), QStringLiteral("high limit"),
                                  QStringLiteral("VALUE"));
    const QCommandLineOption low(QStringLiteral("low"), QStringLiteral("low limit"),
                                 QStringLiteral("VALUE"));
    const QCommandLineOption hold(QStringLiteral("hold"), QStringLiteral("hold time (s)"),
                                  QStringLiteral("SECONDS"));
    const QCommandLineOption hysteresis(QStringLiteral("hysteresis"), QStringLiteral("hysteresis"),
                                        QStringLiteral("VALUE"));
    parser.addOptions({report, high, low, hold, hysteresis});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("recordings"));
    auto usage = [](const QString &why) {
        say(QStringLiteral("tx9-logger: %1").arg(why));
        say(QStringLiteral("Usage: tx9-logger --report OUT.pdf [--high V] [--low V] [--hold S] "
                           "[--hysteresis V] FILE..."));
        return 2;
    };
    if (!parser.parse(app.arguments()))
        return usage(parser.errorText());
    const QString out = parser.value(report);
    if (out.isEmpty())
        return usage(QStringLiteral("--report needs the name of the PDF to write"));
    if (parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("--report needs the recordings to report on (files), or "
                                    "--headless to report on a run"));
    AlarmSettings limits;
    auto number = [&](const QCommandLineOption &o, std::optional<double> &into) {
        if (!parser.isSet(o))
            return true;
        bool ok = false;
        into = parser.value(o).toDouble(&ok);
        return ok;
    };
    std::optional<double> holdSeconds, hysteresisValue;
    if (!number(high, limits.High) || !number(low, limits.Low) || !number(hold, holdSeconds) ||
        !number(hysteresis, hysteresisValue))
        return usage(QStringLiteral("--high, --low, --hold and --hysteresis take numbers"));
    limits.HoldSeconds = holdSeconds.value_or(0);
    limits.Hysteresis = hysteresisValue.value_or(AlarmSettings::DefaultHysteresis);

    std::vector<Input> inputs;
    for (const QString &path : parser.positionalArguments()) {
        Input in;
        in.Path = path;
        QString why;
        if (!read(in, &why)) {
            say(QStringLiteral("Cannot read %1: %2.").arg(path, why));
            return InputUnreadable;
        }
        inputs.push_back(std::move(in));
    }
    // Several files make one recording, in time order.
    std::stable_sort(inputs.begin(), inputs.end(),
                     [](const Input &a, const Input &b) { return a.StartsMs < b.StartsMs; });
    MeasurementTable table;
    Timeline line;
    line.follow(&table);
    SummaryInput input;
    for (Input &in : inputs) {
        line.setFileDate(in.FileDate);
        line.breakNext(Timeline::Why::Loaded);
        const qint64 first = table.count();
        line.setMarks(in.Marks); // a kept journal's breaks and notes
        table.appendFrom(std::move(*in.Rows));
        line.setMarks({});
        line.placeNotes(in.CsvNotes, first);
        line.placeNotes(in.Beside, first);
        input.Sources << in.Path;
    }
    input.Table = &table;
    input.Line = &line;
    input.Limits = limits;
    input.Alarms = SummaryReport::alarmsOf(table, line, limits);
    input.Version = QStringLiteral(TX9_VERSION);
    QString why;
    if (!SummaryReport::writePdf(input, out, &why)) {
        say(QStringLiteral("Cannot write %1: %2.").arg(out, why));
        return 5;
    }
    return 0;
}

std::unique_ptr<QCoreApplication> application(int &argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "--report") || !std::strncmp(argv[i], "--report=", 9)) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            return std::make_unique<QApplication>(argc, argv);
        }
    return std::make_unique<QCoreApplication>(argc, argv);
}

bool writeRunReport(const SummaryInput &input, const QString &path, QString *reason)
{
    return SummaryReport::writePdf(input, path, reason);
}

} // namespace ReportCommand
