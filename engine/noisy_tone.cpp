// SPDX-License-Identifier: GPL-3.0-or-later
// The loop with noise under it: chunks of mono noise mixed into both ears.
#include "noisy_tone.h"

#include "loop_format.h"
#include "output_stage.h"

#include <algorithm>
#include <cmath>

namespace quavira {

NoisyTone::NoisyTone(const std::vector<std::uint8_t>& loop, NoiseColour colour, double levelDb, std::uint64_t seed)
    : m_loop(loop.size()),
      m_noise(colour, seed),
      // As NoiseVoice sets its gain, so the level is the one heard.
      m_gain(static_cast<float>(std::pow(10.0, levelDb / 20.0)))
{
    std::transform(loop.begin(), loop.end(), m_loop.begin(), toOutputSample);
}

// The same samples as mixOutputSample(byte, m_gain * noise), in integers
// and floats four to a register: a loop sample L is a multiple of 256, so
// rounding L + x (ties to even) is L plus x rounded, and x, the noise
// scaled by a power of two, is exact in float. Noise held within twice
// full scale first is clamped to the same full scale in the end.
void NoisyTone::render(std::int16_t* out, std::size_t frames)
{
    // Adding and taking away 1.5 * 2^23 rounds a float under 2^22 to the
    // nearest integer, ties to even, with no call per sample.
    constexpr float kRounder = 12582912.0f;
    while (frames > 0) {
        // Never across the loop's end, so a chunk reads the loop straight.
        const std::size_t n = std::min({frames, kChunkFrames, kLoopFrames - m_loopFrame});
        m_noise.render(m_mono.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            const float scaled = std::clamp(m_gain * m_mono[i] * 32768.0f, -65536.0f, 65536.0f);
            m_rounded[i] = static_cast<std::int32_t>((scaled + kRounder) - kRounder);
        }
        const std::int16_t* loop = m_loop.data() + 2 * m_loopFrame;
        for (std::size_t i = 0; i < n; ++i) {
            out[2 * i] = static_cast<std::int16_t>(std::clamp(loop[2 * i] + m_rounded[i], -32768, 32767));
            out[2 * i + 1] = static_cast<std::int16_t>(std::clamp(loop[2 * i + 1] + m_rounded[i], -32768, 32767));
        }
        m_loopFrame = (m_loopFrame + n) % kLoopFrames;
        out += 2 * n;
        frames -= n;
    }
}

}  // namespace quavira
