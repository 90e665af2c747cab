// SPDX-License-Identifier: GPL-3.0-or-later
// Announcer: a line said to screen readers, whatever has the focus.
#pragma once

#include <QString>
#include <QWidget>

// An empty, zero-sized child of a window that assistive technology sees as
// a notification. announce() names it with the line and reports it shown,
// which screen readers speak at once wherever the focus is (Orca presents
// notifications that show; Qt before 6.8 has no announcement event, and its
// name and description changes carry no text). UI thread only.
class Announcer : public QWidget {
    Q_OBJECT

public:
    explicit Announcer(QWidget* window);

    void announce(const QString& line);
    // The last line announced; empty before the first.
    QString line() const { return accessibleName(); }
};
