#pragma once
// Which cable is which, whatever its hidraw number or the order the system lists it in: each
// cable's ID is its USB serial number when it has one that no other present cable shares, else
// its USB port path ("1-1.2": the same socket gives the same ID), else its device node. IDs
// are unique among the cables present: where one cable's serial number reads like another's
// port path, the serial number keeps it and the other takes its next rule. A cable is asked
// for by its node, or by an ID (a serial number first, then a port path).

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace CableIds {

// The product string of the thermometer's cable.
inline const QString ThermometerProduct = QStringLiteral("USB to Serial");

// A HID interface as the device list has it, built once when it is listed.
struct Cable
{
    QString Node;             // /dev/hidraw3
    QString Serial;           // the USB serial number (or the HID unique id); empty when none
    QString PortPath;         // the USB port path; empty when not on USB
    QString Product = {};     // the USB product string
    QString Description = {}; // its line in the device list: "USB to Serial (Serial=A1)"
    QString Id = {};          // its ID among the cables present (assignIds)

    // Whether the ID stays with the cable (a serial number or a port path, not its node).
    bool stable() const { return !Id.isEmpty() && Id != Node; }
    // Whether it is the thermometer's cable, with or without a serial number.
    bool isThermometer() const { return Product == ThermometerProduct; }
};

// A cable as the platform's properties describe it (HID_UNIQ, serial, usb_port).
Cable fromProperties(const QString &node, const QMap<QString, QString> &properties);

// The ID of each cable, in the order given: unique among them.
QStringList idsOf(const QList<Cable> &cables);
// Each cable's Id set as idsOf gives it.
void assignIds(QList<Cable> &cables);

// The index of the cable asked for by want: its node, else a serial number, else an ID as
// idsOf gives it, else a port path; -1 when none. A serial number two cables share names
// neither of them.
int find(const QList<Cable> &cables, const QString &want);

// An ID short enough for every name made of it (a lock file, a systemd instance): itself up
// to MaxIdBytes bytes of UTF-8, else its first characters, '~' and 16 hex digits of its
// SHA-256. find() takes this form too.
constexpr int MaxIdBytes = 48;
QString boundedId(const QString &id);

// The systemd unit of the logger of the cable with ID id: tx9-logger@<instance>.service, the
// bounded ID escaped as systemd-escape does it (at most 4 bytes a byte of it, so the name
// stays within systemd's 255).
QString unitName(const QString &id);

} // namespace CableIds
