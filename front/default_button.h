// SPDX-License-Identifier: GPL-3.0-or-later
// DefaultButton: gives a plain top-level widget a default push button for Enter.
#pragma once

#include <QObject>
#include <QPointer>

class QAbstractButton;
class QWidget;

// Watches the key presses that reach `window` because no child took them.
// Enter or Return then clicks the focused push button, if focus is on one,
// and `button` otherwise. Owned by the window. UI thread only.
class DefaultButton : public QObject {
    Q_OBJECT

public:
    DefaultButton(QWidget* window, QAbstractButton* button);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_window;
    QPointer<QAbstractButton> m_button;
};
