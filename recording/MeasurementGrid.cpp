#include "recording/MeasurementGrid.h"

#include "display/SevenSegment.h"
#include "recording/MeasurementTable.h"

#include "display/Fonts.h"
#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <cmath>

namespace {} // namespace

MeasurementGrid::MeasurementGrid(MeasurementTable *table, QWidget *parent)
    : QAbstractScrollArea(parent), m_table(table)
{
    setObjectName(QStringLiteral("DBGrid1"));
    setFont(Fonts::arial(12));
    m_rowHeight = QFontMetrics(font()).height() + 3;
    setFocusPolicy(Qt::StrongFocus);

    m_header = new QHeaderView(Qt::Horizontal, this);
    m_header->setObjectName(QStringLiteral("DBGrid1Header"));
    m_header->setModel(table);
    m_header->setFont(Fonts::arial(11));
    m_header->setDefaultAlignment(Qt::AlignCenter);
    m_header->setSectionResizeMode(QHeaderView::Interactive);
    m_header->setStretchLastSection(false);
    m_header->setHighlightSections(false);
    m_header->setSectionsClickable(false);
    m_header->setMinimumSectionSize(8);
    const int widths[] = {106, 74, 80, 49};
    for (int c = 0; c < MeasurementTable::FieldCount; ++c)
        m_header->resizeSection(c, widths[c]);
    setViewportMargins(0, m_header->sizeHint().height(), 0, 0);

    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setSingleStep(8);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    connect(m_header, &QHeaderView::sectionResized, this, [this] {
        updateScrollBars();
        viewport()->update();
    });
    connect(table, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { rowsAppended(first, last); });
    connect(table, &QAbstractItemModel::modelReset, this, [this] { tableReset(); });
    layoutHeader();
}

int MeasurementGrid::visibleRowCount() const
{
    return qMax(1, viewport()->height() / m_rowHeight);
}

qint64 MeasurementGrid::topRow() const
{
    return verticalScrollBar()->value();
}

bool MeasurementGrid::isRowVisible(qint64 row) const
{
    return row >= topRow() && row < topRow() + visibleRowCount();
}

QRect MeasurementGrid::cellRect(qint64 row, int column) const
{
    const int y = int(row - topRow()) * m_rowHeight;
    return QRect(m_header->sectionViewportPosition(column), y, m_header->sectionSize(column),
                 m_rowHeight);
}

void MeasurementGrid::updateScrollBars()
{
    const qint64 rows = m_table->count();
    const int visible = visibleRowCount();
    verticalScrollBar()->setPageStep(visible);
    verticalScrollBar()->setRange(0, int(qMax<qint64>(0, rows - visible)));
    const int width = m_header->length();
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setRange(0, qMax(0, width - viewport()->width()));
}

void MeasurementGrid::layoutHeader()
{
    const QRect vg = viewport()->geometry();
    m_header->setGeometry(vg.left(), vg.top() - m_header->sizeHint().height(), vg.width(),
                          m_header->sizeHint().height());
    m_header->setOffset(horizontalScrollBar()->value());
}

void MeasurementGrid::scrollToRow(qint64 row)
{
    if (row < 0 || isRowVisible(row))
        return;
    const int visible = visibleRowCount();
    const qint64 top = row < topRow() ? row : row - visible + 1;
    verticalScrollBar()->setValue(int(qMax<qint64>(0, top)));
}

void MeasurementGrid::setCurrentRow(qint64 row)
{
    row = qMin(row, m_table->count() - 1);
    if (row != m_current) {
        m_current = row;
        viewport()->update();
    }
    scrollToRow(row);
}

void MeasurementGrid::rowsAppended(int, int last)
{
    updateScrollBars();
    // The cursor moves to each appended row and the grid follows it.
    setCurrentRow(last);
    viewport()->update();
}

void MeasurementGrid::tableReset()
{
    m_current = m_table->count() > 0 ? 0 : -1;
    updateScrollBars();
    verticalScrollBar()->setValue(0);
    viewport()->update();
}

const QPixmap &MeasurementGrid::unitPixmap(const QString &unit, const QColor &ink, int height)
{
    const QString key =
        unit + QLatin1Char('/') + ink.name() + QLatin1Char('/') + QString::number(height);
    auto it = m_unitPixmaps.find(key);
    if (it == m_unitPixmaps.end()) {
        const qreal w = height * 0.75;
        QPixmap pm(qMax(1, int(std::ceil(w * unit.size()))), height);
        pm.fill(Qt::transparent);
        QPainter gp(&pm);
        SevenSegment::paintText(gp, QRectF(0, 0, pm.width(), height), unit, w, ink);
        gp.end();
        if (m_unitPixmaps.size() > 64)
            m_unitPixmaps.clear();
        it = m_unitPixmaps.insert(key, pm);
    }
    return *it;
}

void MeasurementGrid::paintEvent(QPaintEvent *)
{
    QPainter p(viewport());
    const QRect area = viewport()->rect();
    p.fillRect(area, palette().base());
    const qint64 rows = m_table->count();
    const qint64 top = topRow();
    const QColor lines(192, 192, 192);
    const QFontMetrics fm(font());
    for (qint64 r = top; r < rows; ++r) {
        const int y = int(r - top) * m_rowHeight;
        if (y >= area.height())
            break;
        const bool current = (r == m_current);
        const QRect rowRect(0, y, area.width(), m_rowHeight);
        if (current)
            p.fillRect(rowRect.intersected(
                           QRect(0, y, m_header->length() - m_header->offset(), m_rowHeight)),
                       palette().highlight());
        p.setPen(current ? palette().highlightedText().color() : palette().text().color());
        const QColor ink = p.pen().color();
        for (int c = 0; c < MeasurementTable::FieldCount; ++c) {
            const QRect cell = cellRect(r, c);
            if (c == MeasurementTable::FieldUnit) {
                // Unit glyphs are drawn by the seven-segment painter so "#" reads as a
                // degree-Celsius sign and "?" as degree-Fahrenheit.
                const QString &unit = m_table->text(r, MeasurementTable::FieldUnit);
                const QPixmap &glyphs = unitPixmap(unit, ink, fm.ascent());
                p.drawPixmap(cell.center().x() - glyphs.width() / 2,
                             cell.top() + (cell.height() - glyphs.height()) / 2, glyphs);
            } else {
                // Centred by hand: a plain drawText at a point skips the text layout engine.
                const QString text = m_table->cellText(r, c);
                const int x = cell.left() + (cell.width() - fm.horizontalAdvance(text)) / 2;
                const int y = cell.top() + (cell.height() - fm.height()) / 2 + fm.ascent();
                p.save();
                p.setClipRect(cell);
                p.drawText(QPoint(x, y), text);
                p.restore();
            }
        }
    }
    // Lines between rows and columns.
    p.setPen(lines);
    const int used = int(qMin<qint64>(rows - top, area.height() / m_rowHeight + 1)) * m_rowHeight;
    for (int y = m_rowHeight - 1; y < used; y += m_rowHeight)
        p.drawLine(0, y, qMin(area.width(), m_header->length() - m_header->offset()), y);
    for (int c = 0; c < MeasurementTable::FieldCount; ++c) {
        const int x = m_header->sectionViewportPosition(c) + m_header->sectionSize(c) - 1;
        p.drawLine(x, 0, x, used - 1);
    }
    // The keyboard's focus: a frame in the highlight colour around the rows.
    if (hasFocus()) {
        p.setPen(QPen(palette().highlight().color(), 2));
        p.setBrush(Qt::NoBrush);
        p.drawRect(area.adjusted(1, 1, -1, -1));
    }
}

void MeasurementGrid::focusInEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusInEvent(e);
    viewport()->update();
}

void MeasurementGrid::focusOutEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusOutEvent(e);
    viewport()->update();
}

void MeasurementGrid::resizeEvent(QResizeEvent *e)
{
    QAbstractScrollArea::resizeEvent(e);
    layoutHeader();
    updateScrollBars();
}

void MeasurementGrid::scrollContentsBy(int, int)
{
    m_header->setOffset(horizontalScrollBar()->value());
    viewport()->update();
}

void MeasurementGrid::mousePressEvent(QMouseEvent *e)
{
    const qint64 row = topRow() + e->position().toPoint().y() / m_rowHeight;
    if (row < m_table->count())
        setCurrentRow(row);
    QAbstractScrollArea::mousePressEvent(e);
}

void MeasurementGrid::keyPressEvent(QKeyEvent *e)
{
    const qint64 last = m_table->count() - 1;
    if (last < 0) {
        QAbstractScrollArea::keyPressEvent(e);
        return;
    }
    const qint64 page = visibleRowCount();
    qint64 row = qMax<qint64>(0, m_current);
    switch (e->key()) {
    case Qt::Key_Up:
        row -= 1;
        break;
    case Qt::Key_Down:
        row += 1;
        break;
    case Qt::Key_PageUp:
        row -= page;
        break;
    case Qt::Key_PageDown:
        row += page;
        break;
    case Qt::Key_Home:
        row = 0;
        break;
    case Qt::Key_End:
        row = last;
        break;
    default:
        QAbstractScrollArea::keyPressEvent(e);
        return;
    }
    setCurrentRow(qBound<qint64>(0, row, last));
}
