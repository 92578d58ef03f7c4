#pragma once
// Builds the report stream a cable sends for an instrument frame.

#include <QByteArray>
#include <QList>
#include <QString>

namespace TestFrames {

// The 11 frame bytes for a frame text such as "A1A235010 0D" written as its 11 characters
// (line-feed nibble first, as the program keeps it).
inline QByteArray frameBytes(const QString &frameText)
{
    QByteArray b;
    // Byte order on the wire: bytes 1..10 are characters 2..11, byte 11 is character 1.
    auto nib = [](QChar c) { return char(QString(c).toInt(nullptr, 16)); };
    for (int i = 1; i < frameText.size(); ++i)
        b.append(char(0x30 | nib(frameText.at(i))));
    b.append(char(0x00 | nib(frameText.at(0))));
    return b;
}

// Data part of a report (after the report ID): count byte, then serial bytes.
inline QByteArray dataReport(const QByteArray &serial, int padTo = 0)
{
    QByteArray d;
    d.append(char(serial.size()));
    d.append(serial);
    while (d.size() < padTo)
        d.append('\0');
    return d;
}

inline QByteArray idleReport(int padTo = 0)
{
    return dataReport(QByteArray(), padTo);
}

// The reports for one frame split into chunks of `chunk` bytes, ended by one idle report.
inline QList<QByteArray> reportsFor(const QString &frameText, int chunk = 9)
{
    const QByteArray f = frameBytes(frameText);
    QList<QByteArray> out;
    for (int i = 0; i < f.size(); i += chunk)
        out << dataReport(f.mid(i, chunk));
    out << idleReport();
    return out;
}

// A live reading frame: flags and four digit codes, e.g. live("1", "A235").
inline QString live(const QString &flags, const QString &digits, const QString &type = "01",
                    const QString &marker = "00")
{
    return QStringLiteral("A") + flags + digits + type + marker + QStringLiteral("D");
}

} // namespace TestFrames
