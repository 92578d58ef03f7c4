#pragma once
// The read-only measurement grid: four centred columns under a resizable header, whole-row
// selection, and a current row that follows every appended row. It is a small virtual grid:
// only the visible rows are painted and nothing is kept per row, so following new rows
// costs the same at ten million rows as at ten.

#include <QAbstractScrollArea>
#include <QHash>
#include <QPixmap>

class QHeaderView;
class MeasurementTable;

class MeasurementGrid : public QAbstractScrollArea
{
    Q_OBJECT
public:
    explicit MeasurementGrid(MeasurementTable *table, QWidget *parent = nullptr);

    QHeaderView *header() const { return m_header; }
    MeasurementTable *table() const { return m_table; }
    qint64 currentRow() const { return m_current; }
    void setCurrentRow(qint64 row);
    // First row painted at the top of the viewport.
    qint64 topRow() const;
    int rowHeight() const { return m_rowHeight; }
    int visibleRowCount() const;
    bool isRowVisible(qint64 row) const;
    // The rectangle of a cell in viewport coordinates.
    QRect cellRect(qint64 row, int column) const;

protected:
    void paintEvent(QPaintEvent *) override;
    void resizeEvent(QResizeEvent *) override;
    void mousePressEvent(QMouseEvent *) override;
    void keyPressEvent(QKeyEvent *) override;
    void focusInEvent(QFocusEvent *) override;
    void focusOutEvent(QFocusEvent *) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void rowsAppended(int first, int last);
    void tableReset();
    void updateScrollBars();
    void scrollToRow(qint64 row);
    void layoutHeader();
    const QPixmap &unitPixmap(const QString &unit, const QColor &ink, int height);

    MeasurementTable *m_table;
    QHeaderView *m_header;
    qint64 m_current = -1;
    int m_rowHeight = 17;
    QHash<QString, QPixmap> m_unitPixmaps;
};
