// SPDX-License-Identifier: GPL-3.0-or-later
// Endless mono noise of one colour at 44,100 Hz, generated as it plays.
#pragma once

#include "noise_colour.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace quavira {

// Noise of one colour, mono, at 44,100 frames per second, with a long-term
// RMS of 1.0, so a level in dBFS RMS is a gain of 10^(dB/20). Each render
// continues the stream where the last one ended; the same seed gives the
// same stream. The source is a xoshiro256+ generator (period 2^256 - 1),
// uniform white noise shaped by first-order filters:
// - White: the source itself; its peak is sqrt(3) (crest factor 4.8 dB).
// - Pink: 13 pole-zero pairs from 4.4 Hz to 29 kHz, placed to fall
//   3.0 dB per octave within +-0.03 dB from 35 Hz to 12 kHz; flat below
//   4.4 Hz, so it has no rumble and no lasting correlation.
// - Brown: a leaky integrator with its corner at kBrownCornerHz and a DC
//   blocker at the same frequency: -6 dB per octave above about 20 Hz.
// Pink and brown come out nearly Gaussian; their rare peaks beyond
// kKneePeak are bent smoothly towards kMaxPeak, which they never pass, so
// at -10 dBFS RMS (a gain of 1/kMaxPeak) the noise stays within full scale.
// render() neither allocates nor locks: real-time safe. Not thread-safe:
// one caller at a time.
class NoiseGenerator {
public:
    static constexpr double kSampleRateHz = 44100.0;
    static constexpr double kBrownCornerHz = 5.0;
    // Peaks relative to the RMS: samples up to kKneePeak pass unchanged.
    static constexpr float kKneePeak = 2.6f;
    static constexpr float kMaxPeak = 3.16227766f;  // sqrt(10): 10 dB of crest factor

    NoiseGenerator(NoiseColour colour, std::uint64_t seed);

    // Writes the next `frames` samples to `out`.
    void render(float* out, std::size_t frames);

    NoiseColour colour() const { return m_colour; }

private:
    static constexpr std::size_t kMaxSections = 13;

    // y[n] = x[n] - zero * x[n-1] + pole * y[n-1]
    struct Section {
        double zero = 0;
        double pole = 0;
        double lastIn = 0;
        double lastOut = 0;
    };

    template <std::size_t Sections>
    void renderShaped(float* out, std::size_t frames);
    // A uniform sample in [-1, 1).
    double nextUniform();

    NoiseColour m_colour;
    std::array<std::uint64_t, 4> m_state{};
    std::array<Section, kMaxSections> m_sections{};
    double m_gain = 1;  // to an RMS of 1.0
};

}  // namespace quavira
