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
//   4.4 Hz, so it has no rumble and no lasting correlation. Run as 13
//   independent one-pole filters summed (the pairs' partial fractions),
//   four at a time in vector registers.
// - Brown: a leaky integrator with its corner at kBrownCornerHz, then a DC
//   blocker at the same frequency: -6 dB per octave above about 20 Hz.
// Pink and brown come out nearly Gaussian; their rare peaks beyond
// kKneePeak (under 1% of samples) are bent smoothly towards kMaxPeak,
// which they never pass, so at -10 dBFS RMS (a gain of 1/kMaxPeak) the
// noise stays within full scale.
// render() neither allocates nor locks: real-time safe. Not thread-safe:
// one caller at a time.
class NoiseGenerator {
public:
    static constexpr double kSampleRateHz = 44100.0;
    static constexpr double kBrownCornerHz = 5.0;
    // Peaks relative to the RMS: samples up to kKneePeak pass unchanged.
    static constexpr float kKneePeak = 2.6f;
    static constexpr float kMaxPeak = 3.16227766f;  // sqrt(10): 10 dB of crest factor
    // Four floats, one vector register on every target GCC and Clang know
    // (their vector extension), whatever the optimisation level.
    using Lanes = float __attribute__((vector_size(16)));
    // The pink filters in groups of four; the padding filters are all zero.
    static constexpr std::size_t kPinkGroups = 4;

    // Frames run when a generator is made (under 0.1 ms), so that its first
    // frame is already at full level: by then the power lies within 1e-5
    // of the steady one.
    static constexpr std::size_t kWarmUpFrames = 11264;  // 0.26 s, 22 blocks of 512

    // The coefficients of one colour, shared by all its generators.
    struct Shape;

    NoiseGenerator(NoiseColour colour, std::uint64_t seed);

    // Writes the next `frames` samples to `out`.
    void render(float* out, std::size_t frames);

    NoiseColour colour() const { return m_colour; }

private:
    void renderWhite(float* out, std::size_t frames);
    void renderPink(float* out, std::size_t frames);
    void renderBrown(float* out, std::size_t frames);
    // A uniform sample in [-1, 1).
    double nextUniform();

    NoiseColour m_colour;
    const Shape* m_shape;
    std::array<std::uint64_t, 4> m_state{};
    std::array<Lanes, kPinkGroups> m_pink{};  // each one-pole filter's last output
    double m_integrated = 0;                 // brown: the integrator's last output
    double m_blocked = 0;                    // brown: the DC blocker's last output
};

}  // namespace quavira
