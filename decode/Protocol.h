#pragma once
// The cable's wire protocol, as bytes. The cable is a HID device that carries the meter's
// 2400-baud serial line: a feature report sets the line, output reports carry commands to
// the meter, input reports carry its bytes back.
//
// Feature report, 10 bytes:
//   byte 0     report ID 0
//   bytes 1-2  the baud rate, little-endian (2400: 60 09, 4800: C0 12, 9600: 80 25)
//   bytes 3-4  0
//   byte 5     3 (the line format the meter speaks)
//   bytes 6-9  0
// Output report, as long as the device's output report (at least 3 bytes):
//   byte 0     report ID 0
//   byte 1     the kind (ReportKind)
//   byte 2     the command code (MeterCommand)
//   the rest   0

#include "decode/MeterCommand.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <array>
#include <optional>

namespace Protocol {

enum class ReportKind : quint8
{
    BaudRate = 0, // the feature report (said when it had no device to go to)
    Command = 1,  // a command to the meter
    Start = 2,    // the start command of the connect sequence
};

constexpr int FeatureReportLength = 10;
// The feature report for baud (2400, 4800 or 9600; any other leaves the rate 0).
std::array<quint8, FeatureReportLength> baudRateReport(int baud);
// An output report of length bytes (at least 3) carrying code.
QByteArray commandReport(ReportKind kind, quint8 code, int length);

// The device's side of the same reports, for what stands in for the cable (the simulated
// thermometer, the virtual cable): what it reads in the host's reports, and what it sends.
//
// The baud rate a feature report (with its report ID byte) sets; none for one too short.
std::optional<int> baudOf(const QByteArray &featureReport);
// Whether a report as a uhid device receives it (without the report ID byte) is the
// feature report: it begins with the low byte of a rate (2400, 4800, 9600), a command does
// with its kind.
bool isFeatureReport(const QByteArray &reportWithoutId);
// The command code an output report (with its report ID byte) carries; none for one too short.
std::optional<quint8> commandOf(const QByteArray &outputReport);
// The serial bytes of a frame, from its 11 hex digits as frameTextFromAccum gives them back
// (the line feed's digit first): digits 2 to 10 as 0x30 | digit, then CR and LF.
QByteArray frameBytes(const QString &frameText);
// One input report of the cable carrying serial (at most 9 bytes; more are cut): 11 bytes,
// report ID 0, a count byte 0xF0 | n, the bytes, zeros. No bytes: an idle report.
QByteArray inputReport(const QByteArray &serial);

// The instrument's range in degrees: the low end, and the high end until a frame names it.
constexpr qint32 RangeMin = -50;
constexpr qint32 DefaultRangeMax = 855;

// The watchdog: a tick every WatchdogTickMs; every WatchdogTicks + 1 ticks it looks whether
// WatchdogIdleReports idle reports (about 30 s of them) came without a serial byte.
constexpr int WatchdogTickMs = 10;
constexpr int WatchdogTicks = 2;
constexpr int WatchdogIdleReports = 3000;

} // namespace Protocol
