// SPDX-License-Identifier: GPL-3.0-or-later
// How the program names the tone it plays: for the desktop's media controls
// and for a saved file's tags.
#pragma once

#include <QString>

namespace quavira {

// "440 Hz / 450 Hz": the left and right frequencies as heard.
QString toneTitle(int leftHz, int rightHz);
// The beat and its band, "10 Hz, Alpha"; "No beat" for equal frequencies.
QString beatDescription(int leftHz, int rightHz);

}  // namespace quavira
