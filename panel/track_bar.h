// SPDX-License-Identifier: GPL-3.0-or-later
// TrackBar: the slider used for every slider of both windows.
#pragma once

#include <QSlider>

// A QSlider with one extra notification, changed(): emitted once for every
// user action on the slider (key, click, drag step, wheel), even when the
// action leaves the position as it was, and once for every program
// assignment that changes the stored position. Program assignments clamp
// (minimum first) as QSlider does and notify nothing when the value stays.
// UI thread only.
class TrackBar : public QSlider {
    Q_OBJECT

public:
    explicit TrackBar(QWidget* parent = nullptr);
    explicit TrackBar(Qt::Orientation orientation, QWidget* parent = nullptr);

signals:
    void changed();

protected:
    bool event(QEvent* e) override;

private:
    void init();

    // Set when the user triggered an action whose value change, if any, has
    // not been reported yet; cleared when changed() goes out.
    bool m_actionPending = false;
};
