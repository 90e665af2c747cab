// SPDX-License-Identifier: GPL-3.0-or-later
// The program as a media player on the session bus.
#include "media_player_service.h"

#include "loop_buffer.h"
#include "mpris_player_adaptor.h"
#include "mpris_root_adaptor.h"
#include "tform1.h"
#include "tmform.h"
#include "tone_description.h"
#include "tone_saving.h"
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

}  // namespace

MediaPlayerService::MediaPlayerService(TForm1& front, TMForm& panel, quavira::LoopBuffer& engine,
                                       const QDBusConnection& bus, QObject* parent)
    : QObject(parent), m_front(front), m_panel(panel), m_engine(engine), m_bus(bus)
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
    // A second copy of the program is a second player, under a name of its own.
    const QString plainName = QString::fromLatin1(kServiceName);
    const QString instanceName = plainName + QStringLiteral(".instance%1").arg(QCoreApplication::applicationPid());
    for (const QString& name : {plainName, instanceName}) {
        if (m_bus.registerService(name)) {
            m_serviceName = name;
            break;
        }
    }
    if (m_serviceName.isEmpty()) {
        m_bus.unregisterObject(QString::fromLatin1(kObjectPath));
        return;
    }
    m_announcedStatus = playbackStatus();
    m_announcedMetadata = metadata();
    m_announcedVolume = volume();
    const auto changed = [this] { m_announcement.start(); };
    connect(&m_panel, &TMForm::startCaptionChanged, this, &MediaPlayerService::startCaptionChanged);
    connect(m_panel.ui().LFreqTrackBar, &TrackBar::changed, this, changed);
    connect(m_panel.ui().RFreqTrackBar, &TrackBar::changed, this, changed);
    connect(&m_panel, &TMForm::noiseChanged, this, changed);
    // Told on the sound server's thread; announced from the loop. A call
    // posted here is dropped with the service.
    m_engine.setVolumeListener(
        [this] { QMetaObject::invokeMethod(this, [this] { m_announcement.start(); }, Qt::QueuedConnection); });
}

MediaPlayerService::~MediaPlayerService()
{
    if (!isPublished())
        return;
    m_engine.setVolumeListener({});
    m_bus.unregisterService(m_serviceName);
    m_bus.unregisterObject(QString::fromLatin1(kObjectPath));
}

bool MediaPlayerService::playing() const
{
    return m_panel.playing();
}

QString MediaPlayerService::playbackStatus() const
{
    if (playing())
        return QStringLiteral("Playing");
    return m_paused ? QStringLiteral("Paused") : QStringLiteral("Stopped");
}

QVariantMap MediaPlayerService::metadata() const
{
    // What is heard: the panel's sliders, after they clamped the builder's pair.
    const int leftHz = m_panel.frequencyPosition(Channel::Left);
    const int rightHz = m_panel.frequencyPosition(Channel::Right);
    QStringList artist{quavira::beatDescription(leftHz, rightHz)};
    QVariantMap tone{
        {QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(kTrackId))},
        {QStringLiteral("xesam:title"), quavira::toneTitle(leftHz, rightHz)},
    };
    // The artist line is what the desktop's controls show under the title,
    // so the noise goes there too, as well as in the comment.
    const QString noise = quavira::noiseDescription(m_panel.noiseColour(), m_panel.noiseLevelDb());
    if (!noise.isEmpty()) {
        artist << noise;
        tone.insert(QStringLiteral("xesam:comment"), QStringList{noise});
    }
    tone.insert(QStringLiteral("xesam:artist"), artist);
    return tone;
}

double MediaPlayerService::volume() const
{
    return m_engine.volume();
}

void MediaPlayerService::setVolume(double level)
{
    // Read back at once: the engine keeps what it set (capped) until the
    // server says otherwise.
    m_engine.setVolume(level);
    m_announcement.start();
}

void MediaPlayerService::setRate(double rate)
{
    if (rate == 0.0)
        pause();
}

bool MediaPlayerService::messageBoxWaits()
{
    // A message box is modal: while it waits the user cannot reach the
    // window, and a second box must not open over it, nor the program end
    // under it. A save's dialogs are no such box: the tone plays on beside
    // them by design.
    const QWidget* modal = QApplication::activeModalWidget();
    return modal && !isToneSavingWindow(modal);
}

bool MediaPlayerService::acceptAction()
{
    if (!messageBoxWaits())
        return true;
    if (calledFromDBus())
        sendErrorReply(QString::fromLatin1(kBusyError),
                       QStringLiteral("A message box is waiting for an answer; answer it first."));
    return false;
}

template <typename Action>
void MediaPlayerService::later(Action action)
{
    QTimer::singleShot(0, this, std::move(action));
}

void MediaPlayerService::toggle(bool pausing)
{
    if (messageBoxWaits())
        return;
    m_pausing = pausing;
    m_front.togglePlaying();
    m_pausing = false;
}

void MediaPlayerService::startCaptionChanged()
{
    m_paused = std::exchange(m_pausing, false) && !playing();
    m_announcement.start();
}

void MediaPlayerService::play()
{
    if (acceptAction())
        later([this] {
            if (!playing())
                toggle(false);
        });
}

void MediaPlayerService::pause()
{
    if (acceptAction())
        later([this] {
            if (playing())
                toggle(true);
        });
}

void MediaPlayerService::playPause()
{
    if (acceptAction())
        later([this] { toggle(playing()); });
}

void MediaPlayerService::stop()
{
    if (!acceptAction())
        return;
    later([this] {
        if (playing()) {
            toggle(false);
        } else if (m_paused) {
            m_paused = false;
            m_announcement.start();
        }
    });
}

void MediaPlayerService::raise()
{
    later([this] {
        m_front.setWindowState(m_front.windowState() & ~Qt::WindowMinimized);
        m_front.show();
        m_front.raise();
        m_front.activateWindow();
        // A message box waiting for an answer belongs on top of it.
        if (QWidget* box = QApplication::activeModalWidget()) {
            box->raise();
            box->activateWindow();
        }
    });
}

void MediaPlayerService::quit()
{
    // As the title bar's Close, which a waiting message box refuses too. A
    // save under way ends first, as its Cancel ends it.
    if (acceptAction())
        later([this] {
            if (messageBoxWaits())
                return;
            if (!cancelToneSaving(this, [this] { m_front.close(); }))
                m_front.close();
        });
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
    const double level = volume();
    if (level != m_announcedVolume)
        changed.insert(QStringLiteral("Volume"), level);
    if (changed.isEmpty())
        return;
    m_announcedStatus = status;
    m_announcedMetadata = now;
    m_announcedVolume = level;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kObjectPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(kPlayerInterface) << changed << QStringList();
    m_bus.send(signal);
}
