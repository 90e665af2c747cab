// SPDX-License-Identifier: GPL-3.0-or-later
// The application object and its standard exception display.
#include "quavira_application.h"

#include "message_box.h"
#include "version.h"

QuaviraApplication::QuaviraApplication(int& argc, char** argv, MessageBox& messages)
    : QApplication(argc, argv), m_messages(messages)
{
    // The title goes into the application name, not the display name: Qt
    // appends a display name to every window title on X11.
    setApplicationName(QString::fromLatin1(kApplicationTitle));
    setApplicationVersion(QStringLiteral(QUAVIRA_FILE_VERSION));
    setDesktopFileName(QStringLiteral("quavira"));
    installEventFilter(&m_centring);
}

bool QuaviraApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const SilentAbort&) {
    } catch (const std::exception& e) {
        m_messages.showException(e);
    }
    return false;
}
