#include "output/PacketReader.h"

namespace DataFiles {

namespace {

constexpr size_t MaxNameBytes = 256;
constexpr size_t MaxDepth = 256;
constexpr size_t MaxKeptValueBytes = 4096; // texts are cut to 20 characters anyway
constexpr qint64 ChunkRows = 65536;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool isNameStart(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 0x80;
}
bool isNameChar(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return isNameStart(c) || (u >= '0' && u <= '9') || u == '-' || u == '.';
}
// XML 1.0 allows no C0 control but TAB, LF and CR, not even in comments.
bool forbidden(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 && c != '\t' && c != '\n' && c != '\r';
}
void appendUtf8(std::string &out, char32_t cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

} // namespace

PacketReader::PacketReader()
{
    m_rows.reserve(size_t(ChunkRows));
}

bool PacketReader::fail()
{
    m_failed = true;
    return false;
}

bool PacketReader::feed(const char *data, size_t n)
{
    if (m_failed)
        return false;
    for (size_t i = 0; i < n; ++i) {
        const char c = data[i];
        // Most bytes of a packet are inside ROW values: taken without the state machine.
        if (m_state == State::Value && c != m_quote && c != '&' && c != '<' &&
            static_cast<unsigned char>(c) >= 0x20) {
            if (m_slot >= 0 && m_value.size() < MaxKeptValueBytes)
                m_value += c;
            m_lastCr = false;
            continue;
        }
        if (!step(c))
            return fail();
        m_prev[0] = m_prev[1];
        m_prev[1] = c;
    }
    return true;
}

bool PacketReader::step(char c)
{
    if (forbidden(c))
        return false;
    switch (m_state) {
    case State::Text:
        if (c == '<') {
            m_state = State::Lt;
        } else if (c == '&') {
            if (m_stack.empty())
                return false;
            m_entity.clear();
            m_entityReturn = State::Text;
            m_state = State::Entity;
        } else if (m_stack.empty() && !isSpace(c)) {
            // Nothing but white space outside the packet element (a byte order mark at the
            // very start aside).
            static constexpr char Bom[] = "\xEF\xBB\xBF";
            const bool bom = !m_rootDone && !m_sawPacket && m_name.empty() && m_bang.size() < 3 &&
                             c == Bom[m_bang.size()];
            if (!bom)
                return false;
            m_bang += c; // reused as the count of the mark's bytes seen
        }
        return true;
    case State::Lt:
        m_bang.clear();
        if (c == '/') {
            m_name.clear();
            m_state = State::EndName;
        } else if (c == '?') {
            m_state = State::Pi;
            m_prev[1] = 0;
        } else if (c == '!') {
            m_state = State::Bang;
        } else if (isNameStart(c)) {
            if (m_rootDone)
                return false; // a second root element
            m_name.assign(1, c);
            m_attrNames.clear();
            m_state = State::Name;
        } else {
            return false;
        }
        return true;
    case State::Name:
        if (isNameChar(c)) {
            m_name += c;
            return m_name.size() <= MaxNameBytes;
        }
        m_tag = m_name == "ROW"                   ? Tag::Row
                : m_name == "FIELD" && m_inFields ? Tag::Field
                                                  : Tag::Other;
        if (m_tag == Tag::Row) {
            if (m_fields.empty())
                return false; // rows without fields have nothing to load
            for (std::string &f : m_row)
                f.clear();
        }
        m_fieldName.clear();
        m_needSpace = false;
        m_state = State::InTag;
        return step(c);
    case State::InTag:
        if (isSpace(c)) {
            m_needSpace = false;
        } else if (c == '>') {
            m_state = State::Text;
            return startElement();
        } else if (c == '/') {
            m_state = State::EmptyEnd;
        } else if (isNameStart(c) && !m_needSpace) {
            m_attr.assign(1, c);
            m_state = State::AttrName;
        } else {
            return false;
        }
        return true;
    case State::AttrName:
        if (isNameChar(c)) {
            m_attr += c;
            return m_attr.size() <= MaxNameBytes;
        }
        m_state = State::AfterAttrName;
        return step(c);
    case State::AfterAttrName:
        if (c == '=')
            m_state = State::AfterEquals;
        else if (!isSpace(c))
            return false;
        return true;
    case State::AfterEquals:
        if (c == '"' || c == '\'') {
            for (const std::string &seen : m_attrNames)
                if (seen == m_attr)
                    return false; // an attribute given twice
            if (m_attrNames.size() >= size_t(MaxAttributes))
                return false;
            m_attrNames.push_back(m_attr);
            m_quote = c;
            m_value.clear();
            m_lastCr = false;
            m_slot = -1;
            if (m_tag == Tag::Row) {
                for (size_t k = 0; k < m_fields.size(); ++k)
                    if (m_fields[k] == m_attr) {
                        m_slot = int(k);
                        break;
                    }
            } else if (m_tag == Tag::Field && m_attr == "attrname") {
                m_slot = MeasurementTable::FieldCount; // kept as the field's name
            }
            m_state = State::Value;
        } else if (!isSpace(c)) {
            return false;
        }
        return true;
    case State::Value:
        if (c == m_quote) {
            m_state = State::InTag;
            m_needSpace = true;
            return endAttribute();
        }
        if (c == '<')
            return false;
        if (c == '&') {
            m_entity.clear();
            m_entityReturn = State::Value;
            m_state = State::Entity;
            return true;
        }
        // White space in a value reads as a blank; CR LF as one.
        if (!(c == '\n' && m_lastCr) && m_slot >= 0 && m_value.size() < MaxKeptValueBytes)
            m_value += ' ';
        m_lastCr = c == '\r';
        return true;
    case State::Entity:
        if (c != ';') {
            m_entity += c;
            return m_entity.size() <= 10;
        }
        m_state = m_entityReturn;
        m_lastCr = false;
        return entity();
    case State::EmptyEnd:
        if (c != '>')
            return false;
        m_state = State::Text;
        return startElement() && endElement();
    case State::EndName:
        if (isNameChar(c) && (!m_name.empty() || isNameStart(c))) {
            m_name += c;
            return m_name.size() <= MaxNameBytes;
        }
        if (m_name.empty())
            return false;
        m_state = State::AfterEndName;
        return step(c);
    case State::AfterEndName:
        if (c == '>') {
            m_state = State::Text;
            return endElement();
        }
        return isSpace(c);
    case State::Bang:
        m_bang += c;
        if (m_bang == "--") {
            m_state = State::Comment;
            m_prev[0] = m_prev[1] = 0;
            return true;
        }
        if (m_bang == "[CDATA[") {
            m_state = State::Cdata;
            m_prev[0] = m_prev[1] = 0;
            return !m_stack.empty();
        }
        // Anything else that may follow "<!" is a declaration: no DTD is read.
        return std::string_view("[CDATA[").substr(0, m_bang.size()) == m_bang ||
                       std::string_view("--").substr(0, m_bang.size()) == m_bang
                   ? m_bang.size() < 7
                   : false;
    case State::Comment:
        if (c == '>' && m_prev[0] == '-' && m_prev[1] == '-')
            m_state = State::Text;
        return true;
    case State::Cdata:
        if (c == '>' && m_prev[0] == ']' && m_prev[1] == ']')
            m_state = State::Text;
        return true;
    case State::Pi:
        if (c == '>' && m_prev[1] == '?')
            m_state = State::Text;
        return true;
    }
    return false;
}

bool PacketReader::entity()
{
    char32_t cp = 0;
    if (m_entity == "lt")
        cp = '<';
    else if (m_entity == "gt")
        cp = '>';
    else if (m_entity == "amp")
        cp = '&';
    else if (m_entity == "apos")
        cp = '\'';
    else if (m_entity == "quot")
        cp = '"';
    else if (m_entity.size() >= 2 && m_entity[0] == '#') {
        const bool hex = m_entity[1] == 'x';
        const size_t from = hex ? 2 : 1;
        if (from >= m_entity.size())
            return false;
        for (size_t i = from; i < m_entity.size(); ++i) {
            const char d = m_entity[i];
            int v;
            if (d >= '0' && d <= '9')
                v = d - '0';
            else if (hex && d >= 'a' && d <= 'f')
                v = d - 'a' + 10;
            else if (hex && d >= 'A' && d <= 'F')
                v = d - 'A' + 10;
            else
                return false;
            cp = cp * (hex ? 16 : 10) + char32_t(v);
            if (cp > 0x10FFFF)
                return false;
        }
        const bool xmlChar = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                             (cp >= 0xE000 && cp <= 0xFFFD) || cp >= 0x10000;
        if (!xmlChar)
            return false;
    } else {
        return false; // an entity nobody declared
    }
    if (m_entityReturn == State::Value && m_slot >= 0 && m_value.size() < MaxKeptValueBytes)
        appendUtf8(m_value, cp);
    return true;
}

bool PacketReader::endAttribute()
{
    if (m_slot == MeasurementTable::FieldCount)
        m_fieldName = m_value;
    else if (m_slot >= 0)
        m_row[size_t(m_slot)] = m_value;
    return true;
}

bool PacketReader::startElement()
{
    if (m_stack.size() >= MaxDepth)
        return false;
    m_stack.push_back(m_name);
    if (m_name == "DATAPACKET") {
        m_sawPacket = true;
    } else if (m_name == "FIELDS") {
        m_inFields = m_sawFields = true;
    } else if (m_tag == Tag::Field) {
        m_fields.push_back(m_fieldName);
        if (m_fields.size() > size_t(MeasurementTable::FieldCount))
            return false;
    } else if (m_tag == Tag::Row) {
        endRow();
    }
    return true;
}

bool PacketReader::endElement()
{
    if (m_stack.empty() || m_stack.back() != m_name)
        return false;
    m_stack.pop_back();
    if (m_name == "FIELDS")
        m_inFields = false;
    else if (m_name == "DATAPACKET")
        m_sawEnd = true;
    if (m_stack.empty())
        m_rootDone = true;
    return true;
}

void PacketReader::endRow()
{
    if (m_badRow || m_cancelled)
        return;
    bool empty = false;
    const std::optional<qint32> no = parseNoBytes(m_row[0], &empty);
    if (!no && !empty) {
        m_badRow = true; // the rows before it are kept; the rest of the packet is only checked
        return;
    }
    auto intern = [this](std::string_view piece) {
        const QString text =
            m_decoder.decode(QByteArrayView(piece.data(), qsizetype(piece.size())));
        return m_temp.internText(text);
    };
    // A row whose first field goes into No, the second into Time..., by position.
    m_rows.push_back({no, m_times.idOf(m_row[1], intern),
                      m_pieces[MeasurementTable::FieldValue].idOf(m_row[2], intern),
                      m_pieces[MeasurementTable::FieldUnit].idOf(m_row[3], intern)});
    // The pieces' bytes are overwritten by the next row.
    m_times.forget();
    for (PieceIds &p : m_pieces)
        p.forget();
    if (qint64(m_rows.size()) >= ChunkRows) {
        m_temp.appendRows(m_rows);
        m_rows.clear();
    }
}

bool PacketReader::finish()
{
    m_temp.appendRows(m_rows);
    m_rows.clear();
    return !m_failed && m_state == State::Text && m_stack.empty() && m_rootDone && m_sawPacket &&
           m_sawEnd && m_sawFields && !m_fields.empty();
}

LoadStatus PacketReader::takeInto(MeasurementTable &table, bool whole)
{
    m_temp.appendRows(m_rows);
    m_rows.clear();
    if (!whole && !m_cancelled)
        return LoadStatus::Failed;
    table.appendFrom(std::move(m_temp));
    if (m_cancelled)
        return LoadStatus::Cancelled;
    return m_badRow ? LoadStatus::Failed : LoadStatus::Ok;
}

} // namespace DataFiles
