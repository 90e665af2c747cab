// SPDX-License-Identifier: GPL-3.0-or-later
// The application object: title, and the standard exception display for
// anything a handler throws. UI thread only.
#pragma once

#include "window_centring.h"

#include <QApplication>

#include <exception>

class MessageBox;

// Thrown to leave a handler quietly: the display ignores it.
class SilentAbort : public std::exception {
public:
    const char* what() const noexcept override { return ""; }
};

class QuaviraApplication : public QApplication {
    Q_OBJECT

public:
    // `messages` shows the standard exception display; it must outlive the
    // application object.
    QuaviraApplication(int& argc, char** argv, MessageBox& messages);

    // Delivers the event; an exception escaping the receiver's handler is
    // shown and the loop goes on.
    bool notify(QObject* receiver, QEvent* event) override;

private:
    MessageBox& m_messages;
    WindowCentring m_centring;
};
