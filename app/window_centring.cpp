// SPDX-License-Identifier: GPL-3.0-or-later
// Centring of the program's windows on their screen.
#include "window_centring.h"

#include <QEvent>
#include <QScreen>
#include <QWindow>

#include <algorithm>

namespace {

constexpr int kFrameCheckMs = 10;
constexpr int kFrameWaitMs = 3000;  // a window manager frames a window well within this

bool isCentredKind(const QWidget* widget)
{
    const Qt::WindowType type = widget->windowType();
    return widget->isWindow() && (type == Qt::Window || type == Qt::Dialog);
}

// The frame the window manager put round the window, straight from the
// platform window (the widget's own copy is refreshed only when it moves).
// While the window manager reparents a window a frame can briefly seem
// negative; only a real one counts.
QMargins knownFrame(const QWidget* window)
{
    const QWindow* handle = window->windowHandle();
    const QMargins frame = handle ? handle->frameMargins() : QMargins();
    const bool real = !frame.isNull() && frame.left() >= 0 && frame.top() >= 0 && frame.right() >= 0 &&
                      frame.bottom() >= 0;
    return real ? frame : QMargins();
}

void centre(QWidget* window)
{
    const QScreen* screen = window->screen();
    if (!screen)
        return;
    const QMargins frame = knownFrame(window);
    QRect outer(QPoint(), window->size().grownBy(frame));
    outer.moveCenter(screen->availableGeometry().center());
    const QPoint client = outer.topLeft() + QPoint(frame.left(), frame.top());
    if (QWindow* handle = window->windowHandle(); handle && !frame.isNull())
        handle->setPosition(client);
    else
        window->move(client);  // no frame: the window's own top-left corner
}

}  // namespace

WindowCentring::WindowCentring(QObject* parent) : QObject(parent)
{
    m_frameCheck.setInterval(kFrameCheckMs);
    connect(&m_frameCheck, &QTimer::timeout, this, &WindowCentring::checkFrames);
}

bool WindowCentring::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if ((type != QEvent::Show && type != QEvent::Resize && type != QEvent::Hide) || !watched->isWidgetType())
        return false;
    auto* widget = static_cast<QWidget*>(watched);
    const auto tracked =
        std::find_if(m_unframed.begin(), m_unframed.end(), [widget](const Unframed& u) { return u.window == widget; });
    if (tracked == m_unframed.end()) {
        if (type == QEvent::Show && !event->spontaneous() && isCentredKind(widget)) {
            m_unframed.push_back({widget, QDeadlineTimer(kFrameWaitMs)});
            m_frameCheck.start();
            centre(widget);
        }
    } else if (type == QEvent::Resize) {
        centre(widget);  // a message box sets its final size in its show handler
    } else if (type == QEvent::Hide) {
        m_unframed.erase(tracked);
    }
    return false;
}

void WindowCentring::checkFrames()
{
    std::erase_if(m_unframed, [](const Unframed& u) {
        if (u.window.isNull() || u.giveUp.hasExpired())
            return true;
        if (knownFrame(u.window).isNull())
            return false;
        centre(u.window);
        return true;
    });
    if (m_unframed.empty())
        m_frameCheck.stop();
}
