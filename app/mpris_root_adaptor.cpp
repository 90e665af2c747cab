// SPDX-License-Identifier: GPL-3.0-or-later
// The media player's root interface on the bus.
#include "mpris_root_adaptor.h"

#include "media_player_service.h"
#include "version.h"

#include <QGuiApplication>

MprisRootAdaptor::MprisRootAdaptor(MediaPlayerService* service) : QDBusAbstractAdaptor(service), m_service(service)
{
}

QString MprisRootAdaptor::identity() const
{
    return QStringLiteral(QUAVIRA_PRODUCT_NAME);
}

QString MprisRootAdaptor::desktopEntry() const
{
    // The name the desktop already knows the windows by, that of the
    // installed desktop entry without ".desktop".
    return QGuiApplication::desktopFileName();
}

void MprisRootAdaptor::Raise()
{
    m_service->raise();
}

void MprisRootAdaptor::Quit()
{
    m_service->quit();
}
