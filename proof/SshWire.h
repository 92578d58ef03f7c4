#pragma once
// The pieces OpenSSH's binary formats are made of (RFC 4251 section 5): a uint32 in network
// order and a string as its length followed by its bytes; and the armour that wraps a binary
// blob in base64 lines between BEGIN and END lines.

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

namespace SshWire {

void putU32(QByteArray &out, quint32 v);
void putString(QByteArray &out, QByteArrayView bytes);

// Reads pieces from a blob, every read checked against its end: a read past it fails and
// every later read fails too, so a caller checks ok() once after reading what it needs.
class Reader
{
public:
    explicit Reader(QByteArrayView bytes) : m_bytes(bytes) {}
    std::optional<quint32> u32();
    // A string no longer than max bytes.
    std::optional<QByteArray> string(qsizetype max = 1 << 20);
    // n raw bytes.
    std::optional<QByteArray> raw(qsizetype n);
    bool ok() const { return m_ok; }
    bool atEnd() const { return m_at == m_bytes.size(); }
    qsizetype left() const { return m_bytes.size() - m_at; }

private:
    QByteArrayView m_bytes;
    qsizetype m_at = 0;
    bool m_ok = true;
};

// "-----BEGIN <label>-----", the base64 of blob in lines of 70 characters, "-----END <label>-----".
QByteArray armour(const QByteArray &label, const QByteArray &blob);
// The blob inside the armour of label (blanks around it and a line break of either kind
// allowed); none when the text is not that armour or its base64 does not read.
std::optional<QByteArray> unarmour(const QByteArray &label, QByteArrayView text);

} // namespace SshWire
