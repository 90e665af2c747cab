// SPDX-License-Identifier: GPL-3.0-or-later
// Canvas: the transparent drawing surface laid over another picture.
#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QSize>
#include <QWidget>

// A picture the program draws on with a pen, shown over whatever lies
// beneath the widget: every pixel still holding the cleared background lets
// the picture below show through. The surface is made on first use with
// the widget's size; fill() clears it, moveTo()/lineTo() draw one-pixel
// solid lines that leave out their end point, clipped to the surface.
// UI thread only.
class Canvas : public QWidget {
    Q_OBJECT

public:
    explicit Canvas(QWidget* parent = nullptr);

    // The drawing area; its right edge is width - 1.
    QRect clipRect();
    void fill();  // the whole clip rectangle, back to transparent
    void moveTo(int x, int y);
    void lineTo(int x, int y);
    void setPenColor(QColor color) { m_penColor = color.rgb(); }
    QColor penColor() const { return QColor::fromRgb(m_penColor); }
    QPoint penPosition() const { return m_pen; }

    // The surface itself: ARGB, transparent where cleared.
    const QImage& picture();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void ensurePicture();
    void plot(int x, int y);

    QImage m_picture;
    QPoint m_pen;
    QRgb m_penColor = qRgb(0, 0, 0);
};
