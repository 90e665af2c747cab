// SPDX-License-Identifier: GPL-3.0-or-later
// The program as a media player on the session bus (MPRIS 2), so that media
// keys, headset buttons and the desktop's media controls start and stop the tone.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

class TForm1;
class TMForm;

// Publishes the two windows as org.mpris.MediaPlayer2.quavira at
// /org/mpris/MediaPlayer2. Play and stop run the front window's start button
// handler, so a request from the bus shows the same captions, status texts
// and failure messages as a press of the button. PlaybackStatus follows the
// generator panel's start caption and Metadata its two frequencies; each
// change, whoever made it, is announced with PropertiesChanged. The windows
// must outlive the service. UI thread only.
class MediaPlayerService : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kServiceName = "org.mpris.MediaPlayer2.quavira";
    static constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
    static constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";

    // Registers on `bus`. Without a bus, or with the name held by another
    // copy of the program, nothing is registered and nothing is said: the
    // program runs as it would without a desktop.
    MediaPlayerService(TForm1& front, TMForm& panel, const QDBusConnection& bus, QObject* parent = nullptr);
    ~MediaPlayerService() override;

    bool isPublished() const { return m_published; }

    // What the bus asks for.
    void raise();
    void quit();
    void play();
    // A loop always starts from its first frame, so there is no pause: it stops.
    void pause();
    void playPause();
    void stop();
    QString playbackStatus() const;
    QVariantMap metadata() const;

private:
    bool playing() const;
    // Presses the start button, unless a message box stands in the way as it
    // would of the user's click.
    void pressStart();
    void announceChanges();

    TForm1& m_front;
    TMForm& m_panel;
    QDBusConnection m_bus;
    bool m_published = false;
    // What listeners were last told; a change of a frequency fires for each
    // channel, so the announcement waits for the loop to come round.
    QString m_announcedStatus;
    QVariantMap m_announcedMetadata;
    QTimer m_announcement;
};
