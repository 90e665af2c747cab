// SPDX-License-Identifier: GPL-3.0-or-later
// ClickLabel: a label that reports mouse presses, releases and clicks.
#pragma once

#include <QAccessible>
#include <QLabel>

// A text label the user can press with any mouse button. pressed() comes
// for every press (a double click's second press too), released() for
// every release, clicked() when a left-button press is released inside the
// label; clicked() goes out before the matching released(). The cursor is
// whatever the layout sets. To assistive technology it is a link (or the
// role a subclass gives) with one action, "Press", which does what a left
// click does. UI thread only.
class ClickLabel : public QLabel {
    Q_OBJECT

public:
    explicit ClickLabel(QWidget* parent = nullptr, QAccessible::Role role = QAccessible::Link);

    QAccessible::Role accessibleRole() const { return m_role; }
    // A whole left click, as the accessible action gives it: pressed,
    // clicked, released.
    void press();

signals:
    void pressed(Qt::MouseButton button);
    void released(Qt::MouseButton button);
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QAccessible::Role m_role;
    bool m_leftPressed = false;
};
