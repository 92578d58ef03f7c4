#include "display/LcdPanel.h"

#include "display/SevenSegment.h"

#include <QPainter>

LcdGlyph::LcdGlyph(const QString &name, const QRect &geometry, int glyphHeight, QWidget *parent)
    : QWidget(parent), m_glyphHeight(glyphHeight)
{
    setObjectName(name);
    setGeometry(geometry);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void LcdGlyph::setCaption(const QString &caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    update();
}

QRectF LcdGlyph::glyphCell() const
{
    // The glyph fills the font height, centred in the cell.
    const qreal top = (height() - m_glyphHeight) / 2.0;
    return QRectF(0, top, width(), m_glyphHeight);
}

void LcdGlyph::paintEvent(QPaintEvent *)
{
    if (m_caption.isEmpty())
        return;
    QPainter p(this);
    SevenSegment::paint(p, glyphCell(), m_caption.at(0), Qt::black);
}

LcdDot::LcdDot(const QString &name, const QRect &geometry, QWidget *parent) : QWidget(parent)
{
    setObjectName(name);
    setGeometry(geometry);
}

void LcdDot::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
}

LcdPanel::LcdPanel(QWidget *parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("Panel1"));
    setFixedHeight(145);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);

    LcdD4 = new LcdGlyph(QStringLiteral("LcdD4"), QRect(56, 15, 43, 126), 113, this);
    LcdP0 = new LcdDot(QStringLiteral("LcdP0"), QRect(106, 110, 7, 8), this);
    LcdD3 = new LcdGlyph(QStringLiteral("LcdD3"), QRect(119, 15, 43, 126), 113, this);
    LcdP1 = new LcdDot(QStringLiteral("LcdP1"), QRect(168, 110, 7, 8), this);
    LcdD2 = new LcdGlyph(QStringLiteral("LcdD2"), QRect(182, 15, 43, 126), 113, this);
    LcdP2 = new LcdDot(QStringLiteral("LcdP2"), QRect(232, 110, 7, 8), this);
    LcdD1 = new LcdGlyph(QStringLiteral("LcdD1"), QRect(245, 15, 43, 126), 113, this);
    LCDC = new LcdGlyph(QStringLiteral("LCDC"), QRect(295, 38, 24, 36), 32, this);
    LCDF = new LcdGlyph(QStringLiteral("LCDF"), QRect(295, 42, 23, 36), 32, this);
    LCDC->setCaption(QStringLiteral("#"));
    LCDF->setCaption(QStringLiteral("?"));

    // Before the first reading the readout shows 3.999 without a unit sign.
    LcdD4->setCaption(QStringLiteral("3"));
    LcdD3->setCaption(QStringLiteral("9"));
    LcdD2->setCaption(QStringLiteral("9"));
    LcdD1->setCaption(QStringLiteral("9"));
    LcdP1->hide();
    LcdP2->hide();
    LCDC->hide();
    LCDF->hide();
}

void LcdPanel::paintEvent(QPaintEvent *)
{
    // A raised inner and a lowered outer bevel around the white face.
    QPainter p(this);
    const QRect r = rect();
    const QColor light = Qt::white, shadow(128, 128, 128), dark(64, 64, 64);
    p.setPen(shadow);
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(light);
    p.drawLine(r.bottomLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomRight());
    const QRect in = r.adjusted(1, 1, -1, -1);
    p.setPen(QColor(224, 224, 224));
    p.drawLine(in.topLeft(), in.topRight());
    p.drawLine(in.topLeft(), in.bottomLeft());
    p.setPen(dark);
    p.drawLine(in.bottomLeft(), in.bottomRight());
    p.drawLine(in.topRight(), in.bottomRight());
}
