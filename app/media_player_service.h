// SPDX-License-Identifier: GPL-3.0-or-later
// The program as a media player on the session bus (MPRIS 2), so that media
// keys, headset buttons and the desktop's media controls start and stop the tone.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

class TForm1;
class TMForm;
namespace quavira {
class LoopBuffer;
}

// Publishes the two windows as org.mpris.MediaPlayer2.quavira at
// /org/mpris/MediaPlayer2, or, when another copy of the program holds that
// name, as org.mpris.MediaPlayer2.quavira.instance<pid>.
//
// Every request is answered at once and acted on afterwards from the event
// loop, so a failure's message box opens after the caller has its answer.
// While a message box waits for the user, requests that start, stop or quit
// are answered with an error that says so, as the box would stop the user.
// A save's dialogs are not such a box: meanwhile the tone starts and stops
// as ever, and Quit ends the save as its Cancel does, then quits.
// Play, pause and stop change nothing but whether the tone plays
// (TForm1::togglePlaying): the pair that plays is the pair that played.
//
// PlaybackStatus follows the generator panel's start caption; a stop made
// by Pause leaves it "Paused" until the tone starts again or Stop is asked
// for, any other stop "Stopped". Metadata follows the panel's two
// frequencies and its noise, Volume the engine's own volume at the sound
// server. Each change, whoever made it, is announced with PropertiesChanged.
// The windows and the engine must outlive the service. UI thread only.
class MediaPlayerService : public QObject, protected QDBusContext {
    Q_OBJECT

public:
    static constexpr const char* kServiceName = "org.mpris.MediaPlayer2.quavira";
    static constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
    static constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
    static constexpr const char* kBusyError = "org.mpris.MediaPlayer2.quavira.Error.Busy";

    // Registers on `bus`. Without a bus, or when neither name can be had,
    // nothing is registered and nothing is said: the program runs as it
    // would without a desktop.
    MediaPlayerService(TForm1& front, TMForm& panel, quavira::LoopBuffer& engine, const QDBusConnection& bus,
                       QObject* parent = nullptr);
    ~MediaPlayerService() override;

    bool isPublished() const { return !m_serviceName.isEmpty(); }
    // The name held on the bus; empty when not published.
    QString serviceName() const { return m_serviceName; }

    // What the bus asks for.
    void raise();
    void quit();
    void play();
    void pause();
    void playPause();
    void stop();
    QString playbackStatus() const;
    QVariantMap metadata() const;
    double volume() const;
    void setVolume(double level);
    // The tone plays at one rate: 0 pauses, as the interface asks, and any
    // other rate is ignored.
    void setRate(double rate);

private:
    bool playing() const;
    // Whether a modal window other than a save's waits for the user.
    static bool messageBoxWaits();
    // Whether a request to start, stop or quit may be acted on now; if
    // not, the caller gets the error reply.
    bool acceptAction();
    // Runs `action` from the event loop, after the reply has gone out.
    template <typename Action>
    void later(Action action);
    // Starts or stops the tone, unless a message box opened since the
    // request was answered (a second must not open over it).
    void toggle(bool pausing);
    void startCaptionChanged();
    void announceChanges();

    TForm1& m_front;
    TMForm& m_panel;
    quavira::LoopBuffer& m_engine;
    QDBusConnection m_bus;
    QString m_serviceName;
    bool m_paused = false;   // the tone was stopped by Pause, and nothing else since
    bool m_pausing = false;  // the stop under way is Pause's
    // What listeners were last told; a change of a frequency fires for each
    // channel, so the announcement waits for the loop to come round.
    QString m_announcedStatus;
    QVariantMap m_announcedMetadata;
    double m_announcedVolume = 1.0;
    QTimer m_announcement;
};
