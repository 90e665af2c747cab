// SPDX-License-Identifier: GPL-3.0-or-later
// UpDown: a stand-alone pair of up/down arrows holding a position.
#pragma once

#include <QWidget>

#include <cstdint>

class QToolButton;

// Up-down arrows not attached to any edit. The position is stored as a
// 16-bit number: a program assignment truncates to 16 bits, is not clamped
// to the range and notifies nothing. A click on an arrow moves the position
// by one step within minimum..maximum (no wrap) and then emits clicked(),
// also when the position could not move. UI thread only.
class UpDown : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int minimum READ minimum WRITE setMinimum)
    Q_PROPERTY(int maximum READ maximum WRITE setMaximum)
    Q_PROPERTY(int position READ position WRITE setPosition)

public:
    enum class Button { Up, Down };
    Q_ENUM(Button)

    explicit UpDown(QWidget* parent = nullptr);

    int minimum() const { return m_minimum; }
    int maximum() const { return m_maximum; }
    void setMinimum(int minimum) { m_minimum = minimum; }
    void setMaximum(int maximum) { m_maximum = maximum; }

    // The stored 16-bit position, read as signed.
    int position() const { return m_position; }
    void setPosition(int position) { m_position = static_cast<std::int16_t>(position); }

    // What a click on one arrow does.
    void step(Button button);

    QToolButton* upButton() const { return m_up; }
    QToolButton* downButton() const { return m_down; }

signals:
    void clicked(UpDown::Button button);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QToolButton* m_up = nullptr;
    QToolButton* m_down = nullptr;
    int m_minimum = 0;
    int m_maximum = 100;
    std::int16_t m_position = 0;
};
