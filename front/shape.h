// SPDX-License-Identifier: GPL-3.0-or-later
// Shape: a plain rectangle or rounded rectangle with a border drawn inside its bounds.
#pragma once

#include <QColor>
#include <QWidget>

// A decoration of the front window: a solid or transparent fill framed by a
// border of penWidth pixels that lies wholly inside the widget's rectangle.
// It takes no mouse input. UI thread only.
class Shape : public QWidget {
    Q_OBJECT
    Q_PROPERTY(Kind shapeKind READ shapeKind WRITE setShapeKind)
    Q_PROPERTY(int penWidth READ penWidth WRITE setPenWidth)
    Q_PROPERTY(QColor penColor READ penColor WRITE setPenColor)
    Q_PROPERTY(QColor brushColor READ brushColor WRITE setBrushColor)
    Q_PROPERTY(bool brushClear READ brushClear WRITE setBrushClear)

public:
    enum Kind { Rectangle, RoundRect };
    Q_ENUM(Kind)

    explicit Shape(QWidget* parent = nullptr);

    Kind shapeKind() const { return m_kind; }
    void setShapeKind(Kind kind);
    int penWidth() const { return m_penWidth; }
    void setPenWidth(int pixels);
    QColor penColor() const { return m_penColor; }
    void setPenColor(const QColor& colour);
    QColor brushColor() const { return m_brushColor; }
    void setBrushColor(const QColor& colour);
    // A clear brush leaves the inside unpainted, so whatever lies beneath shows.
    bool brushClear() const { return m_brushClear; }
    void setBrushClear(bool clear);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Kind m_kind = Rectangle;
    int m_penWidth = 1;
    QColor m_penColor = Qt::black;
    QColor m_brushColor = Qt::white;
    bool m_brushClear = false;
};
