// SPDX-License-Identifier: GPL-3.0-or-later
// Tells the tone engine when the user is about to act.
#include "input_watch.h"

#include "loop_buffer.h"

#include <QEvent>

InputWatch::InputWatch(quavira::LoopBuffer& engine, QObject* parent) : QObject(parent), m_engine(engine) {}

bool InputWatch::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    // A window gets every pointer move over it, even where no widget tracks
    // the mouse: the user reaching for a control.
    case QEvent::MouseMove:
    case QEvent::MouseButtonPress:
    case QEvent::KeyPress:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::WindowActivate:
        m_engine.expectChanges();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
