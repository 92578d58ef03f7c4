#pragma once
// The LCD readout: four seven-segment digits, three decimal dots and the two unit signs,
// each a child element at its fixed place in the panel.

#include <QFrame>
#include <QWidget>

// One glyph cell of the readout ("LcdD4", "LCDC", ...). The caption is what it shows.
class LcdGlyph : public QWidget
{
    Q_OBJECT
public:
    LcdGlyph(const QString &name, const QRect &geometry, int glyphHeight, QWidget *parent);
    void setCaption(const QString &caption);
    QString caption() const { return m_caption; }
    // The part of the cell the glyph is drawn into.
    QRectF glyphCell() const;

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QString m_caption;
    int m_glyphHeight;
};

// A decimal dot: a small rectangle drawn with a 5-pixel black pen.
class LcdDot : public QWidget
{
    Q_OBJECT
public:
    LcdDot(const QString &name, const QRect &geometry, QWidget *parent);

protected:
    void paintEvent(QPaintEvent *) override;
};

class LcdPanel : public QFrame
{
    Q_OBJECT
public:
    explicit LcdPanel(QWidget *parent = nullptr);

    LcdGlyph *LcdD4, *LcdD3, *LcdD2, *LcdD1, *LCDC, *LCDF;
    LcdDot *LcdP0, *LcdP1, *LcdP2;

protected:
    void paintEvent(QPaintEvent *) override;
};
