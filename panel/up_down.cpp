// SPDX-License-Identifier: GPL-3.0-or-later
// UpDown: a stand-alone pair of up/down arrows holding a position.
#include "up_down.h"

#include <QToolButton>

#include <algorithm>

UpDown::UpDown(QWidget* parent) : QWidget(parent), m_up(new QToolButton(this)), m_down(new QToolButton(this))
{
    m_up->setObjectName(QStringLiteral("upArrow"));
    m_down->setObjectName(QStringLiteral("downArrow"));
    for (QToolButton* arrow : {m_up, m_down}) {
        arrow->setAutoRepeat(true);
        arrow->setFocusPolicy(Qt::NoFocus);
    }
    m_up->setArrowType(Qt::UpArrow);
    m_down->setArrowType(Qt::DownArrow);
    connect(m_up, &QToolButton::clicked, this, [this] { step(Button::Up); });
    connect(m_down, &QToolButton::clicked, this, [this] { step(Button::Down); });
}

void UpDown::step(Button button)
{
    // Widened to int so that a 16-bit position at its limit cannot wrap.
    const int moved = m_position + (button == Button::Up ? 1 : -1);
    const int low = std::min(m_minimum, m_maximum);
    const int high = std::max(m_minimum, m_maximum);
    setPosition(std::clamp(moved, low, high));
    emit clicked(button);
}

void UpDown::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int upper = height() / 2;
    m_up->setGeometry(0, 0, width(), upper);
    m_down->setGeometry(0, upper, width(), height() - upper);
}
