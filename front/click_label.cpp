// SPDX-License-Identifier: GPL-3.0-or-later
// ClickLabel: a label that reports mouse presses, releases and clicks.
#include "click_label.h"

#include <QAccessibleWidget>
#include <QMouseEvent>

namespace {

// What assistive technology sees of a ClickLabel: its role, its name (the
// layout's accessible name, else the text shown) and its press action.
class ClickLabelAccessible : public QAccessibleWidget {
public:
    explicit ClickLabelAccessible(ClickLabel* label) : QAccessibleWidget(label, label->accessibleRole()) {}

    QString text(QAccessible::Text t) const override
    {
        QString text = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && text.isEmpty())
            text = label()->text();
        return text;
    }

    QStringList actionNames() const override { return {pressAction()}; }

    void doAction(const QString& actionName) override
    {
        if (actionName == pressAction() && label()->isEnabled())
            label()->press();
    }

    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    ClickLabel* label() const { return static_cast<ClickLabel*>(widget()); }
};

QAccessibleInterface* clickLabelAccessible(const QString&, QObject* object)
{
    // Asked for the object's own class first, then each base class.
    if (auto* label = qobject_cast<ClickLabel*>(object))
        return new ClickLabelAccessible(label);
    return nullptr;
}

}  // namespace

ClickLabel::ClickLabel(QWidget* parent, QAccessible::Role role) : QLabel(parent), m_role(role)
{
    [[maybe_unused]] static const bool installed = (QAccessible::installFactory(clickLabelAccessible), true);
}

void ClickLabel::press()
{
    emit pressed(Qt::LeftButton);
    emit clicked();
    emit released(Qt::LeftButton);
}

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
