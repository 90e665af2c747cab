// SPDX-License-Identifier: GPL-3.0-or-later
// The brain-wave band of a beat offset and the colour that shows it.
#include "band_colour.h"

namespace quavira {

QColor bandColour(int offsetHz)
{
    // Tested in this order, so anything below 0 counts as Delta.
    if (offsetHz == 0)
        return QColor(kDesignBackground);
    if (offsetHz < 5)
        return QColor(0xC0C0C0);
    if (offsetHz < 9)
        return QColor(0xFF00FF);
    if (offsetHz < 15)
        return QColor(0x00FFFF);
    if (offsetHz < 31)
        return QColor(0x00FF00);
    return QColor(0xFF8000);
}

}  // namespace quavira
