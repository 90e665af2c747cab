// SPDX-License-Identifier: GPL-3.0-or-later
// Announcer: a line said to screen readers, whatever has the focus.
#include "announcer.h"

#include <QAccessibleWidget>

namespace {

QAccessibleInterface* announcerAccessible(const QString& className, QObject* object)
{
    if (className == QLatin1String("Announcer"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Notification);
    return nullptr;
}

}  // namespace

Announcer::Announcer(QWidget* window) : QWidget(window)
{
    [[maybe_unused]] static const bool installed = (QAccessible::installFactory(announcerAccessible), true);
    setObjectName(QStringLiteral("announcer"));
    setGeometry(0, 0, 0, 0);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Announcer::announce(const QString& line)
{
    setAccessibleName(line);
    QAccessibleEvent shown(this, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}
