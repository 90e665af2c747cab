// SPDX-License-Identifier: GPL-3.0-or-later
// DefaultButton: gives a plain top-level widget a default push button for Enter.
#include "default_button.h"

#include <QKeyEvent>
#include <QPushButton>
#include <QWidget>

DefaultButton::DefaultButton(QWidget* window, QAbstractButton* button)
    : QObject(window), m_window(window), m_button(button)
{
    window->installEventFilter(this);
}

bool DefaultButton::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_window || event->type() != QEvent::KeyPress)
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
        return false;

    // Modifier combinations stay free for other uses, except the keypad's own.
    if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
        return false;

    QAbstractButton* target = qobject_cast<QPushButton*>(m_window->focusWidget());
    if (!target)
        target = m_button;
    if (!target || !target->isEnabled() || !target->isVisibleTo(m_window))
        return false;
    target->click();
    return true;
}
