// SPDX-License-Identifier: GPL-3.0-or-later
// ArrowGlyph: the builder's up and down arrows, a symbol-font character or a drawn triangle.
#include "arrow_glyph.h"

#include <QFontInfo>
#include <QPainter>

ArrowGlyph::ArrowGlyph(QWidget* parent) : ClickLabel(parent, QAccessible::Button) {}

bool ArrowGlyph::drawsTriangle() const
{
    return QFontInfo(font()).family().compare(font().family(), Qt::CaseInsensitive) != 0;
}

QPolygonF ArrowGlyph::triangle() const
{
    // Proportions of the symbol font's triangles: about 0.6 em wide, 0.52
    // em high, their base on the text's baseline.
    const qreal em = QFontInfo(font()).pixelSize();
    const qreal left = 0.06 * em;
    const qreal width = 0.6 * em;
    const qreal bottom = 0.8 * em;
    const qreal top = bottom - 0.52 * em;
    const bool up = text() != QStringLiteral("6");
    if (up)
        return QPolygonF({QPointF(left, bottom), QPointF(left + width / 2, top), QPointF(left + width, bottom)});
    return QPolygonF({QPointF(left, top), QPointF(left + width, top), QPointF(left + width / 2, bottom)});
}

void ArrowGlyph::paintEvent(QPaintEvent* event)
{
    if (!drawsTriangle()) {
        ClickLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette().color(foregroundRole()));
    painter.drawPolygon(triangle());
}
