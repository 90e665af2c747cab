// SPDX-License-Identifier: GPL-3.0-or-later
// The loop with noise under it, at 16 bits, for a file of any length.
#pragma once

#include "noise_colour.h"
#include "noise_generator.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quavira {

// Renders the loop repeated from its first frame with the noise beside it,
// each sample as the output stage mixes them (mixOutputSample, to the
// bit), the same noise in both ears at the noise voice's steady gain. The noise is
// generated as it goes, so it never repeats with the loop. Neither
// allocates nor calls through a pointer per sample. Not thread-safe: one
// caller at a time.
class NoisyTone {
public:
    // `loop`: kLoopBytes bytes, left, right, left, ...; the noise `colour`
    // at `levelDb` dBFS RMS, its stream given by `seed`.
    NoisyTone(const std::vector<std::uint8_t>& loop, NoiseColour colour, double levelDb, std::uint64_t seed);

    // Writes the next `frames` frames, two samples each, to `out`.
    void render(std::int16_t* out, std::size_t frames);

private:
    static constexpr std::size_t kChunkFrames = 2048;

    std::vector<std::int16_t> m_loop;  // the loop's bytes as output samples
    NoiseGenerator m_noise;
    float m_gain;
    std::size_t m_loopFrame = 0;  // where in the loop the next frame comes from
    std::array<float, kChunkFrames> m_mono{};
    std::array<std::int32_t, kChunkFrames> m_rounded{};  // the noise's part of each frame
};

}  // namespace quavira
