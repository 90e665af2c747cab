// SPDX-License-Identifier: GPL-3.0-or-later
// The media player's root interface on the bus: who it is, raise and quit.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QString>
#include <QStringList>

class MediaPlayerService;

// org.mpris.MediaPlayer2 for the service it is created on: the program's
// name and desktop entry, no track list and nothing to open. Member names
// are the interface's own. UI thread only.
class MprisRootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ canQuit CONSTANT)
    Q_PROPERTY(bool CanRaise READ canRaise CONSTANT)
    Q_PROPERTY(bool HasTrackList READ hasTrackList CONSTANT)
    Q_PROPERTY(QString Identity READ identity CONSTANT)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry CONSTANT)
    Q_PROPERTY(QStringList SupportedUriSchemes READ supportedUriSchemes CONSTANT)
    Q_PROPERTY(QStringList SupportedMimeTypes READ supportedMimeTypes CONSTANT)

public:
    // Owned by `service`, which it exports.
    explicit MprisRootAdaptor(MediaPlayerService* service);

    bool canQuit() const { return true; }
    bool canRaise() const { return true; }
    bool hasTrackList() const { return false; }
    QString identity() const;
    QString desktopEntry() const;
    QStringList supportedUriSchemes() const { return {}; }
    QStringList supportedMimeTypes() const { return {}; }

public slots:
    void Raise();
    void Quit();

private:
    MediaPlayerService* m_service;
};
