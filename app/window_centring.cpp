// Centring of the program's windows on their screen.
#include "window_centring.h"

#include <QEvent>
#include <QScreen>

#include <algorithm>

namespace {

bool isCentredKind(const QWidget* widget)
{
    const Qt::WindowType type = widget->windowType();
    return widget->isWindow() && (type == Qt::Window || type == Qt::Dialog);
}

void centre(QWidget* window)
{
    const QScreen* screen = window->screen();
    if (!screen)
        return;
    QRect frame(QPoint(), window->frameGeometry().size());
    frame.moveCenter(screen->availableGeometry().center());
    // A top-level move places the frame's top-left corner.
    window->move(frame.topLeft());
}

bool frameKnown(const QWidget* window)
{
    return window->frameGeometry() != window->geometry();
}

}  // namespace

bool WindowCentring::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if ((m_unframed.empty() && type != QEvent::Show) || !watched->isWidgetType())
        return false;
    auto* widget = static_cast<QWidget*>(watched);
    std::erase_if(m_unframed, [](const QPointer<QWidget>& w) { return w.isNull(); });
    const auto tracked = std::find(m_unframed.begin(), m_unframed.end(), widget);
    if (tracked == m_unframed.end()) {
        if (type == QEvent::Show && !event->spontaneous() && isCentredKind(widget)) {
            m_unframed.emplace_back(widget);
            centre(widget);
        }
        return false;
    }
    switch (type) {
    case QEvent::Resize:  // a message box sets its final size in its show handler
        centre(widget);
        break;
    case QEvent::Move:
    case QEvent::Paint:
        // On screen now. Once the frame is known the window is centred one
        // last time, after the event that told.
        if (frameKnown(widget)) {
            m_unframed.erase(tracked);
            QMetaObject::invokeMethod(widget, [widget] { centre(widget); }, Qt::QueuedConnection);
        }
        break;
    case QEvent::Hide:
        m_unframed.erase(tracked);
        break;
    default:
        break;
    }
    return false;
}
