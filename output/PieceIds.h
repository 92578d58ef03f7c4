#pragma once
// What the loaders of both formats share: the rule for the No field, and the tables that give
// each distinct piece of a field its text id once, however many rows repeat it.

#include "recording/MeasurementTable.h"

#include <QtGlobal>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace DataFiles {

// A whole number from the bytes of a No piece: optional leading blanks and sign, digits, in
// range. An empty piece leaves No empty.
inline std::optional<qint32> parseNoBytes(std::string_view piece, bool *empty)
{
    *empty = piece.empty();
    size_t i = 0;
    while (i < piece.size() && piece[i] == ' ')
        ++i;
    bool negative = false;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-'))
        negative = piece[i++] == '-';
    if (i == piece.size())
        return std::nullopt;
    qint64 v = 0;
    for (; i < piece.size(); ++i) {
        const char c = piece[i];
        if (c < '0' || c > '9' || v > (qint64(1) << 32))
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    v = negative ? -v : v;
    if (v < std::numeric_limits<qint32>::min() || v > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return qint32(v);
}

// The table ids of the distinct pieces of one field: open addressing with a cheap hash, the
// bytes of short pieces kept in the slot itself (and longer ones beside it), and the last
// piece remembered, because consecutive rows mostly repeat their value and unit. The file is
// read a piece at a time: views into it are valid until forget().
class PieceIds
{
public:
    template <typename Intern> quint32 idOf(std::string_view piece, Intern intern)
    {
        if (m_lastValid && piece == m_last)
            return m_lastId;
        if (2 * (m_used + 1) > m_slots.size())
            grow();
        const quint64 h = hash(piece);
        size_t i = size_t(h) & (m_slots.size() - 1);
        for (;; i = (i + 1) & (m_slots.size() - 1)) {
            Slot &slot = m_slots[i];
            if (!slot.used) {
                slot.used = true;
                slot.hash = h;
                slot.inlineSize = piece.size() <= sizeof slot.bytes ? quint8(piece.size()) : 255;
                if (slot.inlineSize != 255 && !piece.empty())
                    std::memcpy(slot.bytes, piece.data(), piece.size());
                if (slot.inlineSize == 255) {
                    m_long.emplace_back(piece);
                    slot.longPiece = m_long.size() - 1;
                }
                slot.id = intern(piece);
                ++m_used;
                break;
            }
            if (slot.hash == h && matches(slot, piece))
                break;
        }
        m_last = piece;
        m_lastValid = true;
        m_lastId = m_slots[i].id;
        return m_lastId;
    }
    // The bytes viewed so far are about to go.
    void forget() { m_lastValid = false; }

private:
    struct Slot
    {
        quint64 hash = 0;
        size_t longPiece = 0; // in m_long, when too long to keep here
        char bytes[22];
        quint8 inlineSize = 0; // 255: too long to keep here
        bool used = false;
        quint32 id = 0;
    };
    bool matches(const Slot &slot, std::string_view p) const
    {
        if (slot.inlineSize == 255)
            return p == m_long[slot.longPiece];
        return p.size() == slot.inlineSize &&
               (p.empty() || std::memcmp(p.data(), slot.bytes, slot.inlineSize) == 0);
    }
    static quint64 hash(std::string_view s)
    {
        quint64 h = 0x9E3779B97F4A7C15ull ^ s.size();
        size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            quint64 w;
            std::memcpy(&w, s.data() + i, 8);
            h = (h ^ w) * 0xFF51AFD7ED558CCDull;
            h ^= h >> 32;
        }
        quint64 w = 0;
        if (i < s.size()) // an empty view may have no data pointer at all
            std::memcpy(&w, s.data() + i, s.size() - i);
        h ^= w;
        // splitmix64's finaliser: every input bit reaches the low bits the index is taken from.
        h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
        h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
        return h ^ (h >> 31);
    }
    void grow()
    {
        std::vector<Slot> old(std::max<size_t>(64, m_slots.size() * 2));
        old.swap(m_slots);
        for (const Slot &s : old) {
            if (!s.used)
                continue;
            size_t i = size_t(s.hash) & (m_slots.size() - 1);
            while (m_slots[i].used)
                i = (i + 1) & (m_slots.size() - 1);
            m_slots[i] = s;
        }
    }

    std::vector<Slot> m_slots;
    std::vector<std::string> m_long;
    size_t m_used = 0;
    std::string_view m_last;
    bool m_lastValid = false;
    quint32 m_lastId = 0;
};

// The ids of the Time field. Times as the program writes them, "hh:mm:ss" with one separator,
// are looked up by their second of the day in a table small enough to stay in the cache: a
// day of readings has 86,400 of them, each coming back only a day of rows later, so a hash
// table would miss the cache on every row. Anything else goes through PieceIds.
class TimeIds
{
public:
    template <typename Intern> quint32 idOf(std::string_view piece, Intern intern)
    {
        if (piece.size() == 8) {
            const auto d = [&](int i) { return unsigned(piece[size_t(i)] - '0'); };
            const char sep = piece[2];
            if (sep == piece[5] && (m_sep == 0 || sep == m_sep) && d(2) > 9 && d(0) <= 2 &&
                d(1) <= 9 && d(3) <= 5 && d(4) <= 9 && d(6) <= 5 && d(7) <= 9) {
                const unsigned hour = d(0) * 10 + d(1);
                if (hour < 24) {
                    m_sep = sep;
                    if (m_ids.empty())
                        m_ids.assign(86400, Unknown);
                    quint32 &id = m_ids[hour * 3600 + (d(3) * 10 + d(4)) * 60 + d(6) * 10 + d(7)];
                    if (id == Unknown)
                        id = intern(piece);
                    return id;
                }
            }
        }
        return m_other.idOf(piece, intern);
    }
    void forget() { m_other.forget(); }

private:
    static constexpr quint32 Unknown = 0xFFFFFFFFu;
    std::vector<quint32> m_ids;
    char m_sep = 0;
    PieceIds m_other;
};

} // namespace DataFiles
