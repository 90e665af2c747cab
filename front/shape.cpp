// SPDX-License-Identifier: GPL-3.0-or-later
// Shape: a plain rectangle or rounded rectangle with a border drawn inside its bounds.
#include "shape.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

Shape::Shape(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Shape::setShapeKind(Kind kind)
{
    m_kind = kind;
    update();
}

void Shape::setPenWidth(int pixels)
{
    m_penWidth = std::max(0, pixels);
    update();
}

void Shape::setPenColor(const QColor& colour)
{
    m_penColor = colour;
    update();
}

void Shape::setBrushColor(const QColor& colour)
{
    m_brushColor = colour;
    update();
}

void Shape::setBrushClear(bool clear)
{
    m_brushClear = clear;
    update();
}

void Shape::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect bounds = rect();
    const int pen = m_penWidth;

    if (m_kind == Rectangle) {
        if (!m_brushClear)
            painter.fillRect(bounds.adjusted(pen, pen, -pen, -pen), m_brushColor);
        if (pen > 0) {
            const int w = bounds.width();
            const int h = bounds.height();
            painter.fillRect(0, 0, w, pen, m_penColor);
            painter.fillRect(0, h - pen, w, pen, m_penColor);
            painter.fillRect(0, 0, pen, h, m_penColor);
            painter.fillRect(w - pen, 0, pen, h, m_penColor);
        }
        return;
    }

    // Corners are quarter ellipses an eighth of the shorter side in radius.
    const qreal radius = std::min(bounds.width(), bounds.height()) / 8.0;
    const QRectF outline = QRectF(bounds).adjusted(pen / 2.0, pen / 2.0, -pen / 2.0, -pen / 2.0);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(m_brushClear ? QBrush(Qt::NoBrush) : QBrush(m_brushColor));
    if (pen > 0)
        painter.setPen(QPen(m_penColor, pen));
    else
        painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(outline, radius, radius);
}
