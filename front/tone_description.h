// SPDX-License-Identifier: GPL-3.0-or-later
// How the program names the tone it plays: for the desktop's media controls,
// a saved file's tags and screen readers.
#pragma once

#include "noise_colour.h"

#include <QString>

#include <optional>

namespace quavira {

// "440 Hz / 450 Hz": the left and right frequencies as heard.
QString toneTitle(int leftHz, int rightHz);
// The beat and its band, "10 Hz, Alpha"; "No beat" for equal frequencies.
QString beatDescription(int leftHz, int rightHz);
// The band of a beat as its colour shows it, "Alpha"; empty for 0 Hz.
QString bandName(int beatHz);
// The builder's offset in words, as its colour shows it: "Alpha, 10 Hz
// beat"; "No beat" for 0 Hz.
QString offsetDescription(int offsetHz);
// The noise under the tone and its level in dBFS RMS, "Pink noise, -28 dB";
// empty when there is none.
QString noiseDescription(std::optional<NoiseColour> colour, double levelDb);

}  // namespace quavira
