// SPDX-License-Identifier: GPL-3.0-or-later
// The media player's playback interface on the bus.
#include "mpris_player_adaptor.h"

#include "media_player_service.h"

MprisPlayerAdaptor::MprisPlayerAdaptor(MediaPlayerService* service) : QDBusAbstractAdaptor(service), m_service(service)
{
}

QString MprisPlayerAdaptor::playbackStatus() const
{
    return m_service->playbackStatus();
}

QVariantMap MprisPlayerAdaptor::metadata() const
{
    return m_service->metadata();
}

void MprisPlayerAdaptor::setRate(double rate)
{
    m_service->setRate(rate);
}

double MprisPlayerAdaptor::volume() const
{
    return m_service->volume();
}

void MprisPlayerAdaptor::setVolume(double level)
{
    m_service->setVolume(level);
}

void MprisPlayerAdaptor::Play()
{
    m_service->play();
}

void MprisPlayerAdaptor::Pause()
{
    m_service->pause();
}

void MprisPlayerAdaptor::PlayPause()
{
    m_service->playPause();
}

void MprisPlayerAdaptor::Stop()
{
    m_service->stop();
}

void MprisPlayerAdaptor::Next() {}

void MprisPlayerAdaptor::Previous() {}

void MprisPlayerAdaptor::Seek(qlonglong) {}

void MprisPlayerAdaptor::SetPosition(const QDBusObjectPath&, qlonglong) {}

void MprisPlayerAdaptor::OpenUri(const QString&) {}
