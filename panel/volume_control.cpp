// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's volume control program, started by the panel's volume button.
#include "volume_control.h"

#include <QColor>
#include <QIcon>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>

namespace quavira {

QString findVolumeControl()
{
    static const char* const kMixers[] = {"pavucontrol", "pavucontrol-qt", "mate-volume-control",
                                          "xfce4-mixer"};
    for (const char* name : kMixers) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!path.isEmpty())
            return path;
    }
    return {};
}

QPixmap volumeControlGlyph(const QColor& buttonFace)
{
    constexpr int kSize = 16;
    QPixmap glyph(kSize, kSize);
    glyph.fill(buttonFace);
    QIcon icon = QIcon::fromTheme(QStringLiteral("multimedia-volume-control"));
    if (icon.isNull())
        icon = QIcon::fromTheme(QStringLiteral("audio-volume-high"));
    if (!icon.isNull()) {
        QPainter painter(&glyph);
        painter.drawPixmap(0, 0, icon.pixmap(kSize, kSize));
    }
    return glyph;
}

void startVolumeControl(const QString& program)
{
    if (!program.isEmpty())
        QProcess::startDetached(program, {});
}

}  // namespace quavira
