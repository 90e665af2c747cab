// SPDX-License-Identifier: GPL-3.0-or-later
// The colours of noise the output can play under the tone.
#pragma once

#include <array>
#include <string_view>

namespace quavira {

// By the slope of the power spectrum: White flat, Pink -3 dB per octave,
// Brown -6 dB per octave.
enum class NoiseColour { White, Pink, Brown };

inline constexpr std::array<NoiseColour, 3> kNoiseColours{NoiseColour::White, NoiseColour::Pink,
                                                          NoiseColour::Brown};

// The name a listener reads ("White", "Pink", "Brown").
constexpr std::string_view noiseColourName(NoiseColour colour)
{
    switch (colour) {
    case NoiseColour::White:
        return "White";
    case NoiseColour::Pink:
        return "Pink";
    case NoiseColour::Brown:
        return "Brown";
    }
    return {};
}

}  // namespace quavira
