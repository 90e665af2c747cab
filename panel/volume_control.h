// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's volume control program, started by the panel's volume button.
#pragma once

#include <QPixmap>
#include <QString>

class QColor;

namespace quavira {

// The full path of the first mixer program found on PATH (pavucontrol and
// other common ones), or an empty text when there is none.
QString findVolumeControl();

// The volume button's 16 x 16 glyph: the theme's volume-control icon drawn
// on `buttonFace`, the picture's background.
QPixmap volumeControlGlyph(const QColor& buttonFace);

// Starts `program` detached; a failure shows nothing.
void startVolumeControl(const QString& program);

}  // namespace quavira
