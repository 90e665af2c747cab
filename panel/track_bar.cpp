// SPDX-License-Identifier: GPL-3.0-or-later
// TrackBar: the slider used for every slider of both windows.
#include "track_bar.h"

TrackBar::TrackBar(QWidget* parent) : QSlider(parent)
{
    init();
}

TrackBar::TrackBar(Qt::Orientation orientation, QWidget* parent) : QSlider(orientation, parent)
{
    init();
}

void TrackBar::init()
{
    // QAbstractSlider::triggerAction emits actionTriggered before it stores
    // the new value, so the notification waits for valueChanged or, when the
    // value stays, for the end of the event that triggered the action.
    connect(this, &QAbstractSlider::actionTriggered, this, [this](int) { m_actionPending = true; });
    connect(this, &QAbstractSlider::valueChanged, this, [this](int) {
        m_actionPending = false;
        emit changed();
    });
}

bool TrackBar::event(QEvent* e)
{
    const bool handled = QSlider::event(e);
    if (m_actionPending) {
        m_actionPending = false;
        emit changed();
    }
    return handled;
}
