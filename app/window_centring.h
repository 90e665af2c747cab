// SPDX-License-Identifier: GPL-3.0-or-later
// Keeps every window of the program centred on its screen when it is shown.
#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <vector>

// An application-wide event filter: each top-level window or dialog is
// centred, frame included, at its final size. Qt learns the size of the
// window manager's frame only after the window is on screen, and no event
// need follow, so a window is centred on its show, again whenever its size
// changes, and once more as soon as its frame is known, which a short timer
// looks for during the first seconds; from then on it stays where the user
// puts it. Without a window manager there is no frame and the window keeps
// the centre it got on its show. UI thread only.
class WindowCentring : public QObject {
public:
    explicit WindowCentring(QObject* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void checkFrames();

    struct Unframed {
        QPointer<QWidget> window;
        QDeadlineTimer giveUp;  // no window manager framed it by then
    };
    // Shown windows whose frame is not known yet.
    std::vector<Unframed> m_unframed;
    QTimer m_frameCheck;
};
