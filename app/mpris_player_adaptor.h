// SPDX-License-Identifier: GPL-3.0-or-later
// The media player's playback interface on the bus: play, pause, stop and what plays.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusObjectPath>
#include <QString>
#include <QVariantMap>

class MediaPlayerService;

// org.mpris.MediaPlayer2.Player for the service it is created on. The tone
// is one endless loop at one rate, so there is nothing to skip to or seek
// in and no position: those are declared unavailable and their methods do
// nothing. Volume is the stream's own at the sound server. Member names are
// the interface's own. UI thread only.
class MprisPlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Rate READ rate WRITE setRate)
    Q_PROPERTY(double MinimumRate READ rate CONSTANT)
    Q_PROPERTY(double MaximumRate READ rate CONSTANT)
    Q_PROPERTY(double Volume READ volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ position CONSTANT)
    Q_PROPERTY(bool CanGoNext READ canGoNext CONSTANT)
    Q_PROPERTY(bool CanGoPrevious READ canGoPrevious CONSTANT)
    Q_PROPERTY(bool CanPlay READ canPlay CONSTANT)
    Q_PROPERTY(bool CanPause READ canPause CONSTANT)
    Q_PROPERTY(bool CanSeek READ canSeek CONSTANT)
    Q_PROPERTY(bool CanControl READ canControl CONSTANT)

public:
    // Owned by `service`, which it exports.
    explicit MprisPlayerAdaptor(MediaPlayerService* service);

    QString playbackStatus() const;
    QVariantMap metadata() const;
    double rate() const { return 1.0; }
    void setRate(double rate);
    double volume() const;
    void setVolume(double level);
    qlonglong position() const { return 0; }
    bool canGoNext() const { return false; }
    bool canGoPrevious() const { return false; }
    bool canPlay() const { return true; }
    bool canPause() const { return true; }
    bool canSeek() const { return false; }
    bool canControl() const { return true; }

public slots:
    void Play();
    void Pause();
    void PlayPause();
    void Stop();
    void Next();
    void Previous();
    void Seek(qlonglong Offset);
    void SetPosition(const QDBusObjectPath& TrackId, qlonglong Position);
    void OpenUri(const QString& Uri);

signals:
    void Seeked(qlonglong Position);

private:
    MediaPlayerService* m_service;
};
