// SPDX-License-Identifier: GPL-3.0-or-later
// The program as a media player on the session bus.
#include "media_player_service.h"

#include "mpris_player_adaptor.h"
#include "mpris_root_adaptor.h"
#include "tform1.h"
#include "tmform.h"
#include "tone_description.h"
#include "track_bar.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QStringList>

#include <utility>

namespace {

using quavira::Channel;

// The one "track" there is: whatever the two channels play. Paths under
// /org/mpris are the interface's own.
const QString kTrackId = QStringLiteral("/org/quavira/Tone");
const QString kStartCaption = QStringLiteral("Start");

}  // namespace

MediaPlayerService::MediaPlayerService(TForm1& front, TMForm& panel, const QDBusConnection& bus, QObject* parent)
    : QObject(parent), m_front(front), m_panel(panel), m_bus(bus)
{
    // Exported with the object, so they exist before it is registered.
    new MprisRootAdaptor(this);
    new MprisPlayerAdaptor(this);
    m_announcement.setSingleShot(true);
    m_announcement.setInterval(0);
    connect(&m_announcement, &QTimer::timeout, this, &MediaPlayerService::announceChanges);

    // The object goes first: a desktop asks for its properties as soon as
    // it sees the name.
    if (!m_bus.isConnected() || !m_bus.registerObject(QString::fromLatin1(kObjectPath), this,
                                                      QDBusConnection::ExportAdaptors))
        return;
    if (!m_bus.registerService(QString::fromLatin1(kServiceName))) {
        m_bus.unregisterObject(QString::fromLatin1(kObjectPath));
        return;
    }
    m_published = true;
    m_announcedStatus = playbackStatus();
    m_announcedMetadata = metadata();
    const auto changed = [this] { m_announcement.start(); };
    connect(&m_panel, &TMForm::startCaptionChanged, this, changed);
    connect(m_panel.ui().LFreqTrackBar, &TrackBar::changed, this, changed);
    connect(m_panel.ui().RFreqTrackBar, &TrackBar::changed, this, changed);
}

MediaPlayerService::~MediaPlayerService()
{
    if (!m_published)
        return;
    m_bus.unregisterService(QString::fromLatin1(kServiceName));
    m_bus.unregisterObject(QString::fromLatin1(kObjectPath));
}

bool MediaPlayerService::playing() const
{
    // The panel's own rule: any caption but "Start" means a tone plays.
    return m_panel.startCaption() != kStartCaption;
}

QString MediaPlayerService::playbackStatus() const
{
    return playing() ? QStringLiteral("Playing") : QStringLiteral("Stopped");
}

QVariantMap MediaPlayerService::metadata() const
{
    // What is heard: the panel's sliders, after they clamped the builder's pair.
    const int leftHz = m_panel.frequencyPosition(Channel::Left);
    const int rightHz = m_panel.frequencyPosition(Channel::Right);
    return {
        {QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(kTrackId))},
        {QStringLiteral("xesam:title"), quavira::toneTitle(leftHz, rightHz)},
        {QStringLiteral("xesam:artist"), QStringList{quavira::beatDescription(leftHz, rightHz)}},
    };
}

void MediaPlayerService::pressStart()
{
    // A message box is modal: while it is open the user cannot reach the
    // button, and a second box must not open over it.
    if (QApplication::activeModalWidget())
        return;
    m_front.bstartClick();
}

void MediaPlayerService::play()
{
    if (!playing())
        pressStart();
}

void MediaPlayerService::pause()
{
    stop();
}

void MediaPlayerService::playPause()
{
    pressStart();
}

void MediaPlayerService::stop()
{
    if (playing())
        pressStart();
}

void MediaPlayerService::raise()
{
    m_front.setWindowState(m_front.windowState() & ~Qt::WindowMinimized);
    m_front.show();
    m_front.raise();
    m_front.activateWindow();
    // A message box waiting for an answer belongs on top of it.
    if (QWidget* box = QApplication::activeModalWidget()) {
        box->raise();
        box->activateWindow();
    }
}

void MediaPlayerService::quit()
{
    // As the title bar's Close: refused while a message box waits. Closed
    // from the loop, so that the caller has its answer before the program ends.
    if (QApplication::activeModalWidget())
        return;
    QTimer::singleShot(0, &m_front, [this] { m_front.close(); });
}

void MediaPlayerService::announceChanges()
{
    QVariantMap changed;
    const QString status = playbackStatus();
    if (status != m_announcedStatus)
        changed.insert(QStringLiteral("PlaybackStatus"), status);
    const QVariantMap now = metadata();
    if (now != m_announcedMetadata)
        changed.insert(QStringLiteral("Metadata"), now);
    if (changed.isEmpty())
        return;
    m_announcedStatus = status;
    m_announcedMetadata = now;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kObjectPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(kPlayerInterface) << changed << QStringList();
    m_bus.send(signal);
}
