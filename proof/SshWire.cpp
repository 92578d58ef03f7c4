#include "proof/SshWire.h"

#include <cctype>

namespace SshWire {

void putU32(QByteArray &out, quint32 v)
{
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(b, 4);
}

void putString(QByteArray &out, QByteArrayView bytes)
{
    putU32(out, quint32(bytes.size()));
    out.append(bytes.data(), bytes.size());
}

std::optional<quint32> Reader::u32()
{
    if (!m_ok || left() < 4)
        return m_ok = false, std::nullopt;
    const auto *p = reinterpret_cast<const unsigned char *>(m_bytes.data() + m_at);
    m_at += 4;
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

std::optional<QByteArray> Reader::string(qsizetype max)
{
    const std::optional<quint32> n = u32();
    if (!n || qsizetype(*n) > max)
        return m_ok = false, std::nullopt;
    return raw(qsizetype(*n));
}

std::optional<QByteArray> Reader::raw(qsizetype n)
{
    if (!m_ok || n < 0 || left() < n)
        return m_ok = false, std::nullopt;
    QByteArray out(m_bytes.data() + m_at, n);
    m_at += n;
    return out;
}

QByteArray armour(const QByteArray &label, const QByteArray &blob)
{
    QByteArray out = "-----BEGIN " + label + "-----\n";
    const QByteArray b64 = blob.toBase64();
    for (qsizetype i = 0; i < b64.size(); i += 70)
        out += b64.mid(i, 70) + '\n';
    out += "-----END " + label + "-----\n";
    return out;
}

std::optional<QByteArray> unarmour(const QByteArray &label, QByteArrayView text)
{
    const QByteArray t = text.toByteArray().trimmed();
    const QByteArray begin = "-----BEGIN " + label + "-----", end = "-----END " + label + "-----";
    if (!t.startsWith(begin) || !t.endsWith(end) || t.size() < begin.size() + end.size())
        return std::nullopt;
    QByteArray body = t.mid(begin.size(), t.size() - begin.size() - end.size());
    body.replace('\r', QByteArray()).replace('\n', QByteArray());
    for (char c : body)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '='))
            return std::nullopt;
    auto decoded = QByteArray::fromBase64Encoding(body, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return decoded.decoded;
}

} // namespace SshWire
