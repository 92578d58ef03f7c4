#pragma once
// The measurement table: an append-only row store behind a table model. Rows are only ever
// appended or emptied as a whole. Texts are interned: a day of readings has at most 86,400
// distinct times and few distinct values, so a row costs 24 bytes, its full capture time
// included (the Time column holds only the time of day; rows loaded from a file have none). Rows
// live in blocks of 65,536 that never move and, once full, never change, so a snapshot shares them.

#include <QAbstractTableModel>
#include <QDateTime>
#include <QHash>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

class TextPool
{
public:
    quint32 intern(QStringView text);
    // The same for a text that can be shared as it is.
    quint32 intern(const QString &text);
    const QString &at(quint32 id) const { return m_texts.at(id); }
    void clear();
    qsizetype size() const { return m_texts.size(); }

private:
    QList<QString> m_texts{QString()}; // id 0 is the empty text
    QHash<QString, quint32> m_ids;
};

class MeasurementTable : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Field
    {
        FieldNo = 0,
        FieldTime,
        FieldValue,
        FieldUnit,
        FieldCount
    };
    static constexpr int MaxTextLength = 20;

    struct Row
    {
        std::optional<qint32> No;
        QString Time, Value, Unit;
        std::optional<QDateTime> Captured = std::nullopt; // none for a row from a file
        // A recorded row: the steady clock (ms, any origin) when it was captured, so that the
        // time between rows stays true when the wall clock is set.
        std::optional<qint64> SteadyMs = std::nullopt;
    };
    // A row whose texts live elsewhere (a file being loaded) for as long as the call runs.
    struct RowView
    {
        std::optional<qint32> No;
        QStringView Time, Value, Unit;
        qint64 Captured = 0; // packTime's form; 0: none
    };

    // A row whose texts are already interned (internText), for loaders that meet the same
    // text many times.
    struct IdRow
    {
        std::optional<qint32> No;
        quint32 Time = 0, Value = 0, Unit = 0;
        qint64 Captured = 0; // packTime's form; 0: none
    };

    explicit MeasurementTable(QObject *parent = nullptr);

    // Appends one row; texts longer than 20 characters are cut.
    void appendRow(const Row &row);
    // Appends many rows with one notification (loading files).
    void appendRows(const std::vector<Row> &rows);
    void appendRows(const std::vector<RowView> &rows);
    void appendRows(const std::vector<IdRow> &rows);
    // The id of a text (cut to 20 characters) for IdRow; valid until the table is emptied.
    quint32 internText(QStringView text) { return m_pool.intern(text.left(MaxTextLength)); }
    // Empties the table.
    void clear();
    // A copy of the rows as they are now, for work on another thread (saving) while this
    // table goes on growing. Full blocks of rows and the texts are shared, not copied: no
    // table writes into a full block.
    std::unique_ptr<MeasurementTable> snapshot() const;
    // Appends every row of other, in one notification (a file loaded elsewhere).
    void appendFrom(const MeasurementTable &other);
    // The same, taking other's rows over when this table is empty; other is left empty.
    void appendFrom(MeasurementTable &&other);

    qint64 count() const { return m_count; }
    std::optional<qint32> no(qint64 row) const;
    const QString &text(qint64 row, Field field) const;
    // Interned texts: equal texts share one id, so per-text work can be done once per id.
    quint32 textId(qint64 row, Field field) const;
    quint32 textIdCount() const { return quint32(m_pool.size()); }
    const QString &textById(quint32 id) const { return m_pool.at(id); }
    Row row(qint64 row) const;
    // When the row was captured (with the offset it had), or none for a row from a file.
    std::optional<QDateTime> captured(qint64 row) const { return unpackTime(at(row).captured); }
    // The same in packTime's form (0: none), for work on many rows.
    qint64 capturedPacked(qint64 row) const { return at(row).captured; }
    // The time from row to the next one as the steady clock measured it, where the wall clock
    // was set between their captures (they disagree); none where the capture times hold.
    std::optional<qint64> steadySpanMs(qint64 row) const;
    // A capture time in 8 bytes: milliseconds since the epoch and the offset in quarter hours.
    static qint64 packTime(const std::optional<QDateTime> &t);
    static std::optional<QDateTime> unpackTime(qint64 packed);
    // The milliseconds since the epoch of a packed time (not 0).
    static qint64 msOfPacked(qint64 packed) { return (packed - (packed & 0xFF)) / 256; }
    // A moment packed with the local offset it has.
    static qint64 packLocal(qint64 ms);
    // Display text of a cell: No in decimal (empty when empty), or the text.
    QString cellText(qint64 row, int column) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    static QString fieldName(int field);
    // The unit as people write it: the table holds the LCD font's glyphs ('#' degrees
    // Celsius, '?' Fahrenheit); anything else is given as it is.
    static QString unitName(const QString &glyph);
    // The unit of the last row as people write it; empty without rows.
    QString lastUnitName() const;
    // A value text as a number (a decimal comma or point); none for a reading without one.
    static std::optional<double> numberOf(const QString &valueText);

private:
    // A row; the unit id's top bit marks an empty No.
    struct Packed
    {
        qint32 no;
        quint32 time, value, unit;
        qint64 captured; // packTime
    };
    static constexpr quint32 NoEmpty = 0x80000000u;
    static constexpr int BlockBits = 16;
    static constexpr qint64 BlockRows = qint64(1) << BlockBits;
    struct Block
    {
        Packed rows[BlockRows];
    };
    const Packed &at(qint64 row) const
    {
        return m_blocks[size_t(row >> BlockBits)]->rows[row & (BlockRows - 1)];
    }
    void pushPacked(const Packed &p)
    {
        if ((m_count & (BlockRows - 1)) == 0 && size_t(m_count >> BlockBits) == m_blocks.size())
            m_blocks.push_back(newBlock());
        m_blocks[size_t(m_count >> BlockBits)]->rows[m_count & (BlockRows - 1)] = p;
        ++m_count;
    }
    static std::shared_ptr<Block> newBlock();
    void push(const RowView &row);
    quint32 internCached(int field, QStringView text);

    std::vector<std::shared_ptr<Block>> m_blocks;
    qint64 m_count = 0;
    // The few spans between recorded rows across which the wall clock was set: row, ms.
    std::vector<std::pair<qint64, qint64>> m_steadySpans;
    qint64 m_lastSteadyRow = -1, m_lastSteadyMs = 0;
    TextPool m_pool;
    // The last text interned per field: consecutive rows mostly repeat their unit and value.
    quint32 m_lastId[FieldCount] = {};
};
