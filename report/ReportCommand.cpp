#include "report/ReportCommand.h"

#include "proof/Trail.h"
#include "proof/Verify.h"

#include "alarms/AlarmMonitor.h"
#include "alarms/AlarmRules.h"
#include "alarms/Statistics.h"
#include "output/DataFiles.h"
#include "output/ErrWriter.h"
#include "output/SafeFile.h"
#include "recording/MeasurementTable.h"
#include "report/SummaryReport.h"
#include "timeline/Timeline.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>

namespace ReportCommand {

namespace {

void say(const QString &line)
{
    ErrWriter::say(line);
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
    QString Cable;                   // as its journal names it; empty: not named
    qint64 FirstMs = 0, LastMs = -1; // the span of its capture times; none when Last < First
    QString Unit;                    // of its first reading
};

// The recordings of one cable (as far as the files tell), in time order.
struct Group
{
    QString Cable;
    std::vector<Input *> Files;
    qint64 LastMs = std::numeric_limits<qint64>::min();
};

// Where the files come from: each joins the first group of its cable (or of none named) that
// it does not overlap in time (one cable records one reading at a time), else begins one.
std::vector<Group> groupsOf(std::vector<Input> &inputs)
{
    std::vector<Group> groups;
    for (Input &in : inputs) {
        const bool timed = in.LastMs >= in.FirstMs;
        Group *joins = nullptr;
        for (Group &g : groups)
            if ((g.Cable.isEmpty() || in.Cable.isEmpty() || g.Cable == in.Cable) &&
                (!timed || in.FirstMs > g.LastMs)) {
                joins = &g;
                break;
            }
        if (!joins)
            joins = &groups.emplace_back();
        joins->Files.push_back(&in);
        if (joins->Cable.isEmpty())
            joins->Cable = in.Cable;
        if (timed)
            joins->LastMs = qMax(joins->LastMs, in.LastMs);
    }
    return groups;
}

// A file's readings in the other unit of temperature converted to unit (values with one
// decimal, as the panel shows them); the number converted.
qint64 convertTo(MeasurementTable &rows, const QString &unit)
{
    const QString glyph = unit == QStringLiteral("°C")   ? QStringLiteral("#")
                          : unit == QStringLiteral("°F") ? QStringLiteral("?")
                                                         : QString();
    if (glyph.isEmpty())
        return 0;
    qint64 converted = 0;
    MeasurementTable out;
    for (qint64 r = 0; r < rows.count(); ++r) {
        MeasurementTable::Row row = rows.row(r);
        const QString from = MeasurementTable::unitName(row.Unit);
        if (from != unit && !AlarmRules::unitOf(from).isEmpty()) {
            if (const std::optional<double> v = MeasurementTable::numberOf(row.Value))
                row.Value = QString::number(AlarmRules::convert(*v, from, unit), 'f', 1);
            row.Unit = glyph;
            ++converted;
        }
        out.appendRow(row);
    }
    if (converted > 0) {
        rows.clear();
        rows.appendFrom(std::move(out));
    }
    return converted;
}

void sortInTime(Input &in);

bool read(Input &in, QString *why)
{
    const QString ext = DataFiles::extensionOf(in.Path);
    DataFiles::LoadStatus status;
    if (ext == QLatin1String(".csv")) {
        status = DataFiles::loadCsv(in.Path, *in.Rows, why, &in.CsvNotes);
    } else if (ext == QLatin1String(".xml")) {
        status = DataFiles::loadTable(in.Path, *in.Rows, false, nullptr, nullptr, &in.Marks);
        if (status != DataFiles::LoadStatus::Ok)
            *why = QFileInfo(in.Path).isFile() && QFileInfo(in.Path).isReadable()
                       ? QStringLiteral("it is not one of this program's data files")
                       : QStringLiteral("it cannot be read");
    } else {
        // A text data file, or a kept journal: its header first, then read as a restore reads
        // a journal, a damaged line passed over and counted, never the whole file lost.
        QFile file(in.Path);
        if (!file.open(QIODevice::ReadOnly)) {
            *why = QStringLiteral("it cannot be read");
            return false;
        }
        const QList<QByteArray> head = file.read(512).split('\n');
        file.close();
        if (head.size() < 4 || !head[0].startsWith("Report created on: ") ||
            head[2].trimmed() != "No\tTime\tValue\tUnit") {
            *why = QStringLiteral("it does not begin with the text data file's header");
            return false;
        }
        qint64 unreadable = 0;
        status =
            DataFiles::loadJournal(in.Path, *in.Rows, &unreadable, nullptr, nullptr, &in.Marks);
        if (status != DataFiles::LoadStatus::Ok)
            *why = QStringLiteral("it cannot be read");
        else if (unreadable > 0)
            say(QStringLiteral("Lines of %1 that are no readings, left out: %2.")
                    .arg(in.Path)
                    .arg(unreadable));
    }
    if (status != DataFiles::LoadStatus::Ok)
        return false;
    // Notes that cannot be read never cost the readings: said, and left out.
    QString notesWhy;
    qint64 unread = 0;
    if (!Notes::readBeside(in.Path, in.Beside, &notesWhy, &unread))
        say(QStringLiteral("The notes beside %1 (%2) cannot be read: %3; the report has its "
                           "readings without them.")
                .arg(in.Path, Notes::besideFile(in.Path), notesWhy));
    else if (unread > 0)
        say(QStringLiteral("Lines of the notes beside %1 (%2) that are no notes, left out: %3.")
                .arg(in.Path, Notes::besideFile(in.Path))
                .arg(unread));
    in.FileDate = QFileInfo(in.Path).lastModified().date();
    sortInTime(in);
    // The cable its journal names, the span of its capture times, its unit.
    for (const DataFiles::Mark &m : in.Marks)
        if (m.Word == "connected" && in.Cable.isEmpty())
            in.Cable = QString::fromUtf8(m.Rest.split('\t').value(1)).trimmed();
    for (qint64 r = 0; r < in.Rows->count(); ++r)
        if (const qint64 packed = in.Rows->capturedPacked(r)) {
            const qint64 ms = MeasurementTable::msOfPacked(packed);
            if (in.LastMs < in.FirstMs)
                in.FirstMs = in.LastMs = ms;
            in.FirstMs = qMin(in.FirstMs, ms);
            in.LastMs = qMax(in.LastMs, ms);
        }
    // Its place among the others: its first capture time, or its date.
    in.StartsMs = in.LastMs >= in.FirstMs ? in.FirstMs
                                          : QDateTime(in.FileDate, QTime(0, 0)).toMSecsSinceEpoch();
    if (in.Rows->count() > 0)
        in.Unit = MeasurementTable::unitName(in.Rows->text(0, MeasurementTable::FieldUnit));
    return true;
}

// Rows out of time order (a file put together from others) are put in time order, their
// notes with them; a journal's, whose marks stand between its rows, and rows without a date
// stay as they are (their alarms are still worked out in time order).
void sortInTime(Input &in)
{
    MeasurementTable &rows = *in.Rows;
    std::vector<qint64> ms(size_t(rows.count()));
    bool ordered = true;
    for (qint64 r = 0; r < rows.count(); ++r) {
        const qint64 packed = rows.capturedPacked(r);
        if (packed == 0)
            return;
        ms[size_t(r)] = MeasurementTable::msOfPacked(packed);
        ordered = ordered && (r == 0 || ms[size_t(r)] >= ms[size_t(r - 1)]);
    }
    if (ordered || !in.Marks.empty())
        return;
    std::vector<qint64> order(ms.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](qint64 a, qint64 b) { return ms[size_t(a)] < ms[size_t(b)]; });
    std::vector<qint64> placed(ms.size());
    MeasurementTable sorted;
    for (size_t i = 0; i < order.size(); ++i) {
        placed[size_t(order[i])] = qint64(i);
        sorted.appendRow(rows.row(order[i]));
    }
    rows.clear();
    rows.appendFrom(std::move(sorted));
    for (DataFiles::CsvNote &n : in.CsvNotes)
        if (n.Row >= 0 && n.Row < qint64(placed.size()))
            n.Row = placed[size_t(n.Row)];
    say(QStringLiteral("The readings of %1 are not in time order: they are taken in time order.")
            .arg(in.Path));
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
    const QCommandLineOption overwrite(QStringLiteral("overwrite"),
                                       QStringLiteral("replace a file that is not a PDF"));
    const QCommandLineOption merge(QStringLiteral("merge"),
                                   QStringLiteral("report files of several cables as one"));
    const QCommandLineOption signAs(QStringLiteral("sign-as"), QStringLiteral("who signs"),
                                    QStringLiteral("NAME"));
    const QCommandLineOption meaning(QStringLiteral("meaning"),
                                     QStringLiteral("reviewed, approved or responsible"),
                                     QStringLiteral("WORD"));
    const QCommandLineOption comment(QStringLiteral("comment"), QStringLiteral("a comment"),
                                     QStringLiteral("TEXT"));
    const QCommandLineOption activation(QStringLiteral("activation-energy"),
                                        QStringLiteral("kJ/mol"), QStringLiteral("KJ"));
    parser.addOptions({report, high, low, hold, hysteresis, overwrite, merge, signAs, meaning,
                       comment, activation});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("recordings"));
    auto usage = [](const QString &why) {
        say(QStringLiteral("tx9-logger: %1").arg(why));
        say(QStringLiteral("Usage: tx9-logger --report OUT.pdf [--high V] [--low V] [--hold S] "
                           "[--hysteresis V] [--overwrite] [--merge] [--sign-as NAME --meaning "
                           "reviewed|approved|responsible [--comment TEXT]] [--activation-energy "
                           "KJ] FILE..."));
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
    auto given = [&](const QCommandLineOption &o) {
        return parser.isSet(o) ? std::optional<QString>(parser.value(o)) : std::nullopt;
    };
    AlarmSettings limits;
    if (const QString wrong =
            readAlarmOptions(given(high), given(low), given(hold), given(hysteresis), limits);
        !wrong.isEmpty())
        return usage(wrong);
    double activationKJ = TableStatistics::DefaultActivationKJ;
    if (parser.isSet(activation)) {
        bool ok = false;
        activationKJ = parser.value(activation).toDouble(&ok);
        if (!ok || activationKJ < 10 || activationKJ > 500)
            return usage(QStringLiteral("--activation-energy takes kJ/mol, 10 to 500"));
    }
    std::optional<SignOff> signOff;
    if (const QString wrong = SignOff::read(given(signAs), given(meaning), given(comment), signOff);
        !wrong.isEmpty())
        return usage(wrong);
    // The report never replaces what it reports on, nor (unasked) anything but a PDF.
    for (const QString &path : parser.positionalArguments())
        if (FileIo::sameFile(path, out))
            return usage(QStringLiteral("--report %1 and the recording %2 are the same file")
                             .arg(out, path));
    if (const QString other = FileIo::holdsSomethingElse(out, "%PDF-", QStringLiteral("PDF"));
        !other.isEmpty() && !parser.isSet(overwrite)) {
        say(QStringLiteral("Cannot write %1: %2; --overwrite replaces it.").arg(out, other));
        return 5;
    }

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
    // Several files of one cable make one recording, in time order. Files of several cables
    // are never mixed unasked; merged, each cable's rows stay together, its alarms its own.
    std::stable_sort(inputs.begin(), inputs.end(),
                     [](const Input &a, const Input &b) { return a.StartsMs < b.StartsMs; });
    const std::vector<Group> groups = groupsOf(inputs);
    SummaryInput input;
    if (groups.size() > 1) {
        QStringList which;
        for (const Group &g : groups) {
            QStringList files;
            for (const Input *in : g.Files)
                files << in->Path;
            which << (g.Cable.isEmpty() ? QString() : g.Cable + QStringLiteral(": ")) +
                         files.join(QStringLiteral(", "));
        }
        if (!parser.isSet(merge))
            return usage(QStringLiteral("the files are recordings of %1 cables (%2), as their "
                                        "journals or their overlapping times say; report each "
                                        "on its own, or give --merge to report them as one")
                             .arg(groups.size())
                             .arg(which.join(QStringLiteral("; "))));
        input.Remarks << QStringLiteral("Merged (--merge), the recordings of %1 cables: %2. The "
                                        "alarms are worked out for each on its own.")
                             .arg(groups.size())
                             .arg(which.join(QStringLiteral("; ")));
    }
    // One unit: readings in the other are converted to that of the first file, never averaged
    // with it.
    const QString unit = inputs.empty() ? QString() : inputs.front().Unit;
    for (Input &in : inputs)
        if (const qint64 n = convertTo(*in.Rows, unit); n > 0)
            input.Remarks
                << QStringLiteral("%1 readings of %2 converted to %3.").arg(n).arg(in.Path, unit);
    MeasurementTable table;
    Timeline line;
    line.follow(&table);
    QStringList cables;
    // The limits each file's trail says were in force, from its first row on (a file without
    // them: none known).
    LimitsHistory recorded;
    for (const Group &g : groups) {
        input.RunStarts.push_back(table.count());
        if (!g.Cable.isEmpty())
            cables << g.Cable;
        for (Input *file : g.Files) {
            Input &in = *file;
            const qint64 firstRow = table.count();
            // A kept journal's own entries (a data file's are in its trail).
            std::vector<AuditEntry> entries;
            for (const DataFiles::Mark &m : in.Marks)
                if (m.Word == "audit")
                    if (const auto e = AuditEntry::fromJournal(m.Rest, qMax<qint64>(0, m.Row)))
                        entries.push_back(*e);
            // A kept journal's breaks and notes, the notes beside a file or in a CSV's column.
            line.appendBatch(table, std::move(*in.Rows),
                             {Timeline::Why::Loaded, in.FileDate, std::move(in.Marks),
                              std::move(in.Beside), std::move(in.CsvNotes)});
            input.Sources << in.Path;
            // Its seal as its rows and trail give it, and the trail's entries.
            const Verify::Result checked = Verify::file(in.Path, {});
            input.Verification << FileVerification::of(in.Path, checked);
            if (!checked.Seal.isEmpty())
                input.Seals << (inputs.size() > 1 ? in.Path + QStringLiteral(": ") : QString()) +
                                   checked.Seal;
            Trail::Contents trail;
            QString unread;
            if (QFileInfo::exists(Trail::trailOf(in.Path)) &&
                Trail::read(Trail::trailOf(in.Path), &trail, &unread))
                entries = trail.Entries;
            input.Audit.insert(input.Audit.end(), entries.begin(), entries.end());
            changeFrom(recorded, firstRow, {});
            for (const LimitChange &c : limitsHistory(entries, firstRow))
                changeFrom(recorded, c.FromRow, c.Settings);
        }
    }
    input.Cable = cables.join(QStringLiteral(", "));
    if (line.untimedRows() > 0)
        say(QStringLiteral("Readings whose time does not read as one: %1; each is placed at the "
                           "time of the reading before it.")
                .arg(line.untimedRows()));
    if (line.unreadNotes() > 0)
        say(QStringLiteral("Notes in the journals that cannot be read, left out: %1.")
                .arg(line.unreadNotes()));
    // The sign-off: on the page, and an audit entry after the files' own.
    if (signOff) {
        signOff->stamp();
        input.Audit.push_back(AuditEntry::now(table.count(), QStringLiteral("report signed"), {},
                                              signOff->sentence()));
        input.Signed = signOff;
    }
    input.Table = &table;
    input.Line = &line;
    // Limits given replace the recorded ones (the page says so); none given, each reading is
    // judged by those in force when it was taken, and the last count the time beyond them.
    if (limits.any() || !anyLimits(recorded)) {
        input.Limits = limits;
        input.LimitsReplaced = limits.any() && anyLimits(recorded);
    } else {
        input.LimitsInForce = recorded;
        input.Limits = recorded.back().Settings;
    }
    input.ActivationKJ = activationKJ;
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
