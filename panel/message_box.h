// SPDX-License-Identifier: GPL-3.0-or-later
// Message boxes: the modal note the panel shows for a device failure, and the
// standard exception display. Tests replace them with a recorder.
#pragma once

#include <QString>

#include <exception>

class QWidget;

inline constexpr const char* kApplicationTitle = "Quavira 2025";

// The text of the standard exception display: the message, with a full stop
// appended when it is not empty and its last character sorts after "." in
// byte order ("abc" -> "abc.", "(-1)" stays as it is).
QString exceptionDisplayText(const QString& message);

// UI thread only. Every box is modal, centred on the screen, captioned with
// the application title, with one OK button.
class MessageBox {
public:
    virtual ~MessageBox() = default;
    // A plain message: no icon.
    virtual void inform(const QString& text) = 0;
    // The standard exception display: error icon, text as given.
    virtual void error(const QString& text) = 0;

    void showException(const std::exception& e) { error(exceptionDisplayText(QString::fromLocal8Bit(e.what()))); }
};

// The real boxes, blocking until dismissed.
class ModalMessageBox final : public MessageBox {
public:
    void inform(const QString& text) override;
    void error(const QString& text) override;
};
