#pragma once
// What a summary report is made of (Qt Core types only: a headless run hands it to the report's
// writer without linking it).

#include "alarms/AlarmRules.h"
#include "proof/Seal.h"
#include "proof/Verify.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class MeasurementTable;
class Timeline;

// A person's sign-off of a report: their printed name, who they are on this machine
// (login@host), when, what the signature means (reviewed, approved, responsible) and a comment.
struct SignOff
{
    QString Name;
    QString Meaning; // "reviewed", "approved", "responsible"
    QString Comment;
    QString Who; // login@host
    QDateTime When;
    static QStringList meanings()
    {
        return {QStringLiteral("reviewed"), QStringLiteral("approved"),
                QStringLiteral("responsible")};
    }
    // The options --sign-as, --meaning, --comment as given (none: not given) into a sign-off
    // (none without --sign-as); what is wrong with them, empty when nothing is.
    static QString read(const std::optional<QString> &name, const std::optional<QString> &meaning,
                        const std::optional<QString> &comment, std::optional<SignOff> &into)
    {
        into.reset();
        if (!name)
            return meaning || comment ? QStringLiteral("--meaning and --comment need --sign-as")
                                      : QString();
        if (name->trimmed().isEmpty())
            return QStringLiteral("--sign-as takes the name of the person who signs");
        if (!meaning || !meanings().contains(*meaning))
            return QStringLiteral("--sign-as needs --meaning reviewed, approved or responsible");
        SignOff s;
        s.Name = name->trimmed();
        s.Meaning = *meaning;
        s.Comment = comment.value_or(QString()).trimmed();
        into = s;
        return {};
    }
    // Signed now, by this login on this host.
    void stamp()
    {
        const AuditEntry here = AuditEntry::now(0, QString());
        Who = here.Login + QLatin1Char('@') + here.Host;
        When = QDateTime::currentDateTime();
    }
    // "Reviewed by NAME (login@host) on 2026-12-10 14:03:07 CET — comment".
    QString sentence() const
    {
        const QString verb = Meaning == QLatin1String("approved") ? QStringLiteral("Approved by")
                             : Meaning == QLatin1String("responsible")
                                 ? QStringLiteral("Under the responsibility of")
                                 : QStringLiteral("Reviewed by");
        return QStringLiteral("%1 %2 (%3) on %4 %5%6")
            .arg(verb, Name, Who, When.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                 When.timeZoneAbbreviation(),
                 Comment.isEmpty() ? QString() : QStringLiteral(" \u2014 ") + Comment);
    }
};

// What --verify says of a file the report reads.
struct FileVerification
{
    QString File;
    QString Sentence;    // as --verify says it
    bool Failed = false; // changed, or not readable as a data file: the report cannot be trusted
    static FileVerification of(const QString &file, const Verify::Result &result)
    {
        return {file, result.Sentence,
                result.What == Verify::Outcome::Changed ||
                    result.What == Verify::Outcome::Unreadable};
    }
};

struct SummaryInput
{
    QString LoggerId;    // empty: not named
    QString Cable;       // the cable recorded; empty: none (files)
    QStringList Sources; // the files the readings come from; empty: recorded here
    const MeasurementTable *Table = nullptr;
    const Timeline *Line = nullptr;
    // The limits the statistics count time above and below against; the report's alarms are
    // worked out from the rows against them too, unless their history is given: then each
    // reading is judged by the limits in force at it (rows before the first change by none).
    AlarmSettings Limits;
    LimitsHistory LimitsInForce;
    bool LimitsReplaced = false; // the limits given replace those the recording had
    // The sampling interval of the recording (0: every reading); none: not known (files).
    std::optional<int> IntervalSeconds;
    QString Version;
    // Where each cable's rows begin in the table (files of several cables merged), so that
    // alarms are worked out per cable; empty: one run.
    std::vector<qint64> RunStarts;
    // Lines the report says below its sources (what was converted, what was merged).
    QStringList Remarks;
    // The recording's audit entries, and its seal (HASH@ROWS; of several files, each as
    // "FILE: HASH@ROWS"); empty: not known.
    std::vector<AuditEntry> Audit;
    QStringList Seals;
    // The alarms of a logger gone blind (the cable lost, a file not writable...), as they
    // were seen: rows cannot give them.
    QList<AlarmEvent> BlindAlarms;
    // The sign-off the report carries (none: "Not signed"), and what verifying each file it
    // reads said.
    std::optional<SignOff> Signed;
    // The mean kinetic temperature's activation energy (kJ/mol).
    double ActivationKJ = 83.144;
    QList<FileVerification> Verification;
};
