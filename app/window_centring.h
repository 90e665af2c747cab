// Keeps every window of the program centred on its screen when it is shown.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <vector>

// An application-wide event filter: each top-level window or dialog is
// centred, frame included, at its final size. Qt learns the size of the
// window manager's frame only after the window is mapped, so a window is
// centred on its show, again whenever its size changes before the frame is
// known, and once more when the frame first becomes known; from then on it
// stays where the user puts it. Without a window manager there is no frame
// and the first centring is final. UI thread only.
class WindowCentring : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Shown windows whose frame is not known yet.
    std::vector<QPointer<QWidget>> m_unframed;
};
