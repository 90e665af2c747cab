// SPDX-License-Identifier: GPL-3.0-or-later
// Canvas: the transparent drawing surface laid over another picture.
#include "canvas.h"

#include <QPainter>

#include <cstdlib>

Canvas::Canvas(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
}

void Canvas::ensurePicture()
{
    if (!m_picture.isNull())
        return;
    const QSize size = this->size().isEmpty() ? QSize(1, 1) : this->size();
    m_picture = QImage(size, QImage::Format_ARGB32);
    m_picture.fill(Qt::transparent);
}

const QImage& Canvas::picture()
{
    ensurePicture();
    return m_picture;
}

QRect Canvas::clipRect()
{
    ensurePicture();
    return m_picture.rect();
}

void Canvas::fill()
{
    ensurePicture();
    m_picture.fill(Qt::transparent);
    update();
}

void Canvas::moveTo(int x, int y)
{
    m_pen = QPoint(x, y);
}

void Canvas::plot(int x, int y)
{
    if (x < 0 || y < 0 || x >= m_picture.width() || y >= m_picture.height())
        return;
    reinterpret_cast<QRgb*>(m_picture.scanLine(y))[x] = m_penColor;
}

void Canvas::lineTo(int x, int y)
{
    ensurePicture();
    // Bresenham from the pen position, stopping one pixel short of the end
    // point, so that joined segments paint every joint once and a line of
    // zero length paints nothing.
    int x0 = m_pen.x();
    int y0 = m_pen.y();
    const int dx = std::abs(x - x0);
    const int dy = -std::abs(y - y0);
    const int sx = x0 < x ? 1 : -1;
    const int sy = y0 < y ? 1 : -1;
    int err = dx + dy;
    while (x0 != x || y0 != y) {
        plot(x0, y0);
        const int twice = 2 * err;
        if (twice >= dy) {
            err += dy;
            x0 += sx;
        }
        if (twice <= dx) {
            err += dx;
            y0 += sy;
        }
    }
    m_pen = QPoint(x, y);
    update();
}

void Canvas::paintEvent(QPaintEvent*)
{
    ensurePicture();
    QPainter painter(this);
    painter.drawImage(0, 0, m_picture);
}
