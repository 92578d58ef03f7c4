#pragma once
// The XML data packet read straight from its bytes, a buffer at a time, into a table of its
// own: well-formed XML is required (elements nested and closed, quoted attributes, the five
// entities and character references, comments and processing instructions skipped), but no
// DTD is read and no other entity is known, so nothing is ever expanded. A table's worth of
// bytes needs no memory beyond its rows: attribute values that are not needed (the
// CHANGE_LOG of ten million rows) are passed over, not kept.

#include "output/DataFiles.h"
#include "output/PieceIds.h"
#include "recording/MeasurementTable.h"

#include <QStringDecoder>
#include <array>
#include <string>
#include <vector>

namespace DataFiles {

class PacketReader
{
public:
    // No element of a packet needs more attributes; a start tag with more is refused.
    static constexpr int MaxAttributes = 64;

    PacketReader();
    // The next bytes of the packet; false once it is known to be bad.
    bool feed(const char *data, size_t n);
    // No more bytes: whether the packet was whole and well formed.
    bool finish();
    // Asked to stop: the rows read so far are kept.
    void cancel() { m_cancelled = true; }
    // The rows into table: all of a whole packet's, those before the first row whose first
    // field is no whole number (the packet then counts as failed), nothing of a packet that
    // is not whole (unless cancelled).
    LoadStatus takeInto(MeasurementTable &table, bool whole);

private:
    enum class State
    {
        Text,
        Lt,
        Name,
        InTag,
        AttrName,
        AfterAttrName,
        AfterEquals,
        Value,
        Entity,
        EmptyEnd,
        EndName,
        AfterEndName,
        Bang,
        Comment,
        Cdata,
        Pi,
    };
    bool fail();
    bool step(char c);
    bool endAttribute();
    bool startElement();
    bool endElement();
    bool entity();
    void endRow();

    State m_state = State::Text;
    State m_entityReturn = State::Text; // where a reference in text or a value goes back to
    std::string m_name;                 // of the element whose tag is read
    std::string m_attr;                 // of the attribute whose value is read
    std::string m_entity;
    std::string m_bang; // what follows "<!"
    char m_quote = 0;
    char m_prev[2] = {}; // the last bytes, for the ends of comments and the like
    bool m_lastCr = false;
    bool m_needSpace = false;
    std::vector<std::string> m_attrNames; // of the tag being read
    std::vector<std::string> m_stack;     // open elements
    bool m_rootDone = false;
    bool m_failed = false;
    bool m_cancelled = false;

    // The packet's meaning.
    enum class Tag
    {
        Other,
        Field,
        Row
    };
    Tag m_tag = Tag::Other;
    int m_slot = -1;     // the field position the attribute being read fills, -1 for none
    std::string m_value; // its value, when it is kept
    std::vector<std::string> m_fields; // FIELD attrname values, in order
    std::string m_fieldName;           // a FIELD's attrname while its tag is read
    std::array<std::string, MeasurementTable::FieldCount> m_row;
    bool m_inFields = false, m_sawPacket = false, m_sawEnd = false, m_sawFields = false;
    bool m_badRow = false; // a row whose No is no whole number came: no row after it is kept

    MeasurementTable m_temp;
    QStringDecoder m_decoder{QStringConverter::Utf8, QStringConverter::Flag::Stateless};
    TimeIds m_times;
    PieceIds m_pieces[MeasurementTable::FieldCount];
    std::vector<MeasurementTable::IdRow> m_rows;
};

} // namespace DataFiles
