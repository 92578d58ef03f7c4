#pragma once
// What a summary report is made of (Qt Core types only: a headless run hands it to the report's
// writer without linking it).

#include "alarms/AlarmRules.h"
#include "proof/Seal.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class MeasurementTable;
class Timeline;

struct SummaryInput
{
    QString LoggerId;    // empty: not named
    QString Cable;       // the cable recorded; empty: none (files)
    QStringList Sources; // the files the readings come from; empty: recorded here
    const MeasurementTable *Table = nullptr;
    const Timeline *Line = nullptr;
    AlarmSettings Limits; // the report's alarms are worked out from the rows against them
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
};
