// SPDX-License-Identifier: GPL-3.0-or-later
// The brain-wave band of a beat offset and the colour that shows it.
#pragma once

#include <QColor>

namespace quavira {

// The colour of the band an offset in hertz falls in: 0 the window's own
// #00C6C6, 1..4 Delta silver, 5..8 Theta fuchsia, 9..14 Alpha aqua,
// 15..30 Beta lime, 31 and above Gamma orange.
QColor bandColour(int offsetHz);

// The front window's background as designed, also the colour of offset 0.
inline constexpr QRgb kDesignBackground = 0x00C6C6;

}  // namespace quavira
