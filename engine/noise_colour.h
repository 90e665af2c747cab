// SPDX-License-Identifier: GPL-3.0-or-later
// The colours of noise the output can play under the tone, and its levels.
#pragma once

#include <array>
#include <string_view>

namespace quavira {

// By the slope of the power spectrum: White flat, Pink -3 dB per octave,
// Brown -6 dB per octave.
enum class NoiseColour { White, Pink, Brown };

inline constexpr std::array<NoiseColour, 3> kNoiseColours{NoiseColour::White, NoiseColour::Pink,
                                                          NoiseColour::Brown};

// The levels offered, in dBFS RMS: 6 dB apart (each twice or half the
// other as heard), from barely there under the tone to the loudest whose
// peaks (NoiseGenerator::kMaxPeak, 0.5 of full scale at -16 dBFS) still fit
// beside the tone's own peak of half full scale, so the sum never clips.
inline constexpr std::array<int, 5> kNoiseLevelsDb{-40, -34, -28, -22, -16};
// The level noise plays at until the listener picks another.
inline constexpr int kDefaultNoiseLevelDb = -28;

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
