// SPDX-License-Identifier: GPL-3.0-or-later
// Tells the tone engine when the user is about to act, so that what follows
// is heard at once.
#pragma once

#include <QObject>

namespace quavira {
class LoopBuffer;
}

// An application-wide event filter: pointer movement over any of the
// program's windows, a press of a mouse button or key, the wheel and the
// activation of a window each call the engine's expectChanges. It lets
// every event through. UI thread only.
class InputWatch : public QObject {
    Q_OBJECT

public:
    explicit InputWatch(quavira::LoopBuffer& engine, QObject* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    quavira::LoopBuffer& m_engine;
};
