// SPDX-License-Identifier: GPL-3.0-or-later
// ClickLabel: a label that reports mouse presses, releases and clicks.
#include "click_label.h"

#include <QMouseEvent>

ClickLabel::ClickLabel(QWidget* parent) : QLabel(parent) {}

void ClickLabel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        m_leftPressed = true;
    event->accept();
    emit pressed(event->button());
}

void ClickLabel::mouseDoubleClickEvent(QMouseEvent* event)
{
    // Widgets get the second press of a double click only in this form.
    mousePressEvent(event);
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
    if (event->button() == Qt::LeftButton) {
        const bool wasPressed = m_leftPressed;
        m_leftPressed = false;
        if (wasPressed && rect().contains(event->position().toPoint()))
            emit clicked();
    }
    emit released(event->button());
}
