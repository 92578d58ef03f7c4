#include "recording/MeasurementTable.h"

#include <cmath>

#include <new>
#include <sys/mman.h>

quint32 TextPool::intern(QStringView text)
{
    return text.isEmpty() ? 0 : intern(text.toString());
}

quint32 TextPool::intern(const QString &text)
{
    if (text.isEmpty())
        return 0;
    const auto it = m_ids.constFind(text);
    if (it != m_ids.constEnd())
        return *it;
    const quint32 id = quint32(m_texts.size());
    m_texts.append(text);
    m_ids.insert(text, id);
    return id;
}

void TextPool::clear()
{
    m_texts = {QString()};
    m_ids.clear();
}

std::shared_ptr<MeasurementTable::Block> MeasurementTable::newBlock()
{
    // A megabyte whose pages are all made at once: faulted in one by one as rows arrive, fresh
    // memory costs a virtual machine more than the rows' whole handling does.
    void *memory = ::mmap(nullptr, sizeof(Block), PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
    return std::shared_ptr<Block>(static_cast<Block *>(memory),
                                  [](Block *block) { ::munmap(block, sizeof(Block)); });
}

MeasurementTable::MeasurementTable(QObject *parent) : QAbstractTableModel(parent)
{
    setObjectName(QStringLiteral("cds1"));
}

quint32 MeasurementTable::internCached(int field, QStringView text)
{
    text = text.left(MaxTextLength);
    quint32 &last = m_lastId[field];
    if (text == m_pool.at(last))
        return last;
    last = m_pool.intern(text);
    return last;
}

void MeasurementTable::push(const RowView &row)
{
    pushPacked(Packed{row.No.value_or(0), internCached(FieldTime, row.Time),
                      internCached(FieldValue, row.Value),
                      internCached(FieldUnit, row.Unit) | (row.No ? 0 : NoEmpty), row.Captured});
}

void MeasurementTable::appendRow(const Row &row)
{
    const int at = rowCount();
    if (row.SteadyMs && row.Captured && m_lastSteadyRow == at - 1 && at > 0) {
        const qint64 before = this->at(at - 1).captured;
        const qint64 wall = (packTime(row.Captured) >> 8) - (before >> 8);
        const qint64 steady = *row.SteadyMs - m_lastSteadyMs;
        // Both clocks are read together: more than a tenth of a second apart, the wall clock
        // was set in between.
        if (before != 0 && qAbs(wall - steady) > 100)
            m_steadySpans.emplace_back(at - 1, qMax<qint64>(0, steady));
    }
    if (row.SteadyMs) {
        m_lastSteadyRow = at;
        m_lastSteadyMs = *row.SteadyMs;
    }
    beginInsertRows(QModelIndex(), at, at);
    push(RowView{row.No, row.Time, row.Value, row.Unit, packTime(row.Captured)});
    endInsertRows();
}

qint64 MeasurementTable::packTime(const std::optional<QDateTime> &t)
{
    if (!t || !t->isValid())
        return 0;
    const int quarters = qBound(-127, t->offsetFromUtc() / 900, 127);
    return t->toMSecsSinceEpoch() * 256 + (quarters + 128);
}

QString MeasurementTable::lastUnitName() const
{
    return m_count > 0 ? unitName(text(m_count - 1, FieldUnit)) : QString();
}

std::optional<qint64> MeasurementTable::steadySpanMs(qint64 row) const
{
    const auto it = std::lower_bound(
        m_steadySpans.cbegin(), m_steadySpans.cend(), std::pair<qint64, qint64>(row, 0),
        [](const auto &a, const auto &b) { return a.first < b.first; });
    if (it == m_steadySpans.cend() || it->first != row)
        return std::nullopt;
    return it->second;
}

qint64 MeasurementTable::packLocal(qint64 ms)
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(ms);
    return packTime(t.toOffsetFromUtc(t.offsetFromUtc()));
}

std::optional<QDateTime> MeasurementTable::unpackTime(qint64 packed)
{
    if (packed == 0)
        return std::nullopt;
    const qint64 low = packed & 0xFF;
    const qint64 ms = (packed - low) / 256;
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, int(low - 128) * 900);
}

void MeasurementTable::appendRows(const std::vector<RowView> &rows)
{
    if (rows.empty())
        return;
    const int at = rowCount();
    beginInsertRows(QModelIndex(), at, at + int(rows.size()) - 1);
    for (const RowView &r : rows)
        push(r);
    endInsertRows();
}

void MeasurementTable::appendRows(const std::vector<IdRow> &rows)
{
    if (rows.empty())
        return;
    const int at = rowCount();
    beginInsertRows(QModelIndex(), at, at + int(rows.size()) - 1);
    for (const IdRow &r : rows)
        pushPacked(
            Packed{r.No.value_or(0), r.Time, r.Value, r.Unit | (r.No ? 0 : NoEmpty), r.Captured});
    endInsertRows();
}

void MeasurementTable::appendRows(const std::vector<Row> &rows)
{
    if (rows.empty())
        return;
    const int at = rowCount();
    beginInsertRows(QModelIndex(), at, at + int(rows.size()) - 1);
    for (const Row &r : rows)
        push(RowView{r.No, r.Time, r.Value, r.Unit, packTime(r.Captured)});
    endInsertRows();
}

std::unique_ptr<MeasurementTable> MeasurementTable::snapshot() const
{
    auto copy = std::make_unique<MeasurementTable>();
    copy->m_blocks = m_blocks;
    copy->m_count = m_count;
    copy->m_pool = m_pool;
    // The block still being filled is the only one written to: the copy takes its own.
    if (m_count & (BlockRows - 1))
        copy->m_blocks.back() = std::make_shared<Block>(*m_blocks.back());
    return copy;
}

void MeasurementTable::appendFrom(const MeasurementTable &other)
{
    if (other.count() == 0)
        return;
    // Each of other's texts is interned here once, then the rows are copied with their ids
    // changed to this table's.
    std::vector<quint32> ids(size_t(other.m_pool.size()));
    for (size_t i = 1; i < ids.size(); ++i)
        ids[i] = m_pool.intern(other.m_pool.at(quint32(i)));
    const int at = rowCount();
    beginInsertRows(QModelIndex(), at, at + int(other.count()) - 1);
    for (qint64 r = 0; r < other.m_count; ++r) {
        const Packed &p = other.at(r);
        pushPacked(Packed{p.no, ids[p.time], ids[p.value],
                          ids[p.unit & ~NoEmpty] | (p.unit & NoEmpty), p.captured});
    }
    endInsertRows();
}

void MeasurementTable::appendFrom(MeasurementTable &&other)
{
    if (m_count > 0 || other.m_count == 0) {
        appendFrom(std::as_const(other));
        other.clear();
        return;
    }
    beginInsertRows(QModelIndex(), 0, int(other.m_count) - 1);
    m_blocks = std::exchange(other.m_blocks, {});
    m_count = std::exchange(other.m_count, 0);
    m_pool = std::exchange(other.m_pool, TextPool());
    std::fill(std::begin(m_lastId), std::end(m_lastId), 0u);
    endInsertRows();
    other.clear();
}

void MeasurementTable::clear()
{
    beginResetModel();
    m_blocks.clear();
    m_count = 0;
    m_steadySpans.clear();
    m_lastSteadyRow = -1;
    m_pool.clear();
    std::fill(std::begin(m_lastId), std::end(m_lastId), 0u);
    endResetModel();
}

std::optional<qint32> MeasurementTable::no(qint64 row) const
{
    const Packed &p = at(row);
    if (p.unit & NoEmpty)
        return std::nullopt;
    return p.no;
}

const QString &MeasurementTable::text(qint64 row, Field field) const
{
    const Packed &p = at(row);
    switch (field) {
    case FieldTime:
        return m_pool.at(p.time);
    case FieldValue:
        return m_pool.at(p.value);
    case FieldUnit:
        return m_pool.at(p.unit & ~NoEmpty);
    default:
        return m_pool.at(0);
    }
}

quint32 MeasurementTable::textId(qint64 row, Field field) const
{
    const Packed &p = at(row);
    return field == FieldTime ? p.time : field == FieldValue ? p.value : p.unit & ~NoEmpty;
}

MeasurementTable::Row MeasurementTable::row(qint64 r) const
{
    return Row{no(r), text(r, FieldTime), text(r, FieldValue), text(r, FieldUnit), captured(r)};
}

QString MeasurementTable::cellText(qint64 row, int column) const
{
    if (column == FieldNo) {
        const auto n = no(row);
        return n ? QString::number(*n) : QString();
    }
    return text(row, Field(column));
}

int MeasurementTable::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_count);
}

int MeasurementTable::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : FieldCount;
}

QVariant MeasurementTable::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role == Qt::DisplayRole) {
        if (index.column() == FieldNo) {
            const auto n = no(index.row());
            return n ? QVariant(*n) : QVariant();
        }
        return text(index.row(), Field(index.column()));
    }
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    return {};
}

QVariant MeasurementTable::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::DisplayRole) {
        static const char *titles[] = {"Measurement No.", "Time", "Value", "Unit"};
        return section >= 0 && section < FieldCount ? QString::fromLatin1(titles[section])
                                                    : QString();
    }
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    return {};
}

Qt::ItemFlags MeasurementTable::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

QString MeasurementTable::fieldName(int field)
{
    static const char *names[] = {"No", "Time", "Value", "Unit"};
    return field >= 0 && field < FieldCount ? QString::fromLatin1(names[field]) : QString();
}

QString MeasurementTable::unitName(const QString &glyph)
{
    if (glyph == QLatin1String("#"))
        return QStringLiteral("\u00B0C");
    if (glyph == QLatin1String("?"))
        return QStringLiteral("\u00B0F");
    return glyph;
}

std::optional<double> MeasurementTable::numberOf(const QString &valueText)
{
    QString t = valueText.trimmed();
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double v = t.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return std::nullopt;
    return v;
}
