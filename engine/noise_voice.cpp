// SPDX-License-Identifier: GPL-3.0-or-later
// The noise voice: per-colour gains faded along a raised cosine in power.
#include "noise_voice.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace quavira {

namespace {

std::size_t indexOf(NoiseColour colour)
{
    return static_cast<std::size_t>(colour);
}

}  // namespace

NoiseVoice::NoiseVoice(std::uint64_t seed)
    : m_generators{NoiseGenerator(NoiseColour::White, seed),
                   NoiseGenerator(NoiseColour::Pink, seed + 1),
                   NoiseGenerator(NoiseColour::Brown, seed + 2)}
{
    for (std::size_t i = 0; i <= kFadeFrames; ++i) {
        const double s = std::sin(0.5 * std::numbers::pi * static_cast<double>(i) / kFadeFrames);
        m_fadeIn[i] = static_cast<float>(s * s);
    }
}

float NoiseVoice::gainAt(const Gain& gain, std::size_t fadeFrame) const
{
    if (fadeFrame >= kFadeFrames)
        return gain.to;
    // The power, not the amplitude, follows the curve: two uncorrelated
    // noises crossfaded this way keep their total power in between.
    const float in = m_fadeIn[fadeFrame];
    return std::sqrt(gain.from * gain.from * (1.0f - in) + gain.to * gain.to * in);
}

void NoiseVoice::set(std::optional<NoiseColour> colour, double levelDb)
{
    const float target = colour ? static_cast<float>(std::pow(10.0, levelDb / 20.0)) : 0.0f;
    for (std::size_t c = 0; c < m_gains.size(); ++c) {
        Gain& gain = m_gains[c];
        gain.from = gainAt(gain, m_fadeFrame);
        gain.to = colour && indexOf(*colour) == c ? target : 0.0f;
    }
    m_fadeFrame = 0;
    m_colour = colour;
    if (colour)
        m_levelDb = levelDb;
}

bool NoiseVoice::silent() const
{
    return !m_colour && m_fadeFrame >= kFadeFrames;
}

void NoiseVoice::addTo(float* stereo, std::size_t frames)
{
    while (frames > 0) {
        const std::size_t chunk = std::min(frames, kChunkFrames);
        for (std::size_t c = 0; c < m_gains.size(); ++c) {
            const Gain& gain = m_gains[c];
            if (gain.to == 0 && (m_fadeFrame >= kFadeFrames || gain.from == 0))
                continue;
            m_generators[c].render(m_mono.data(), chunk);
            for (std::size_t i = 0; i < chunk; ++i) {
                const float g = gainAt(gain, m_fadeFrame + i);
                stereo[2 * i] += g * m_mono[i];
                stereo[2 * i + 1] += g * m_mono[i];
            }
        }
        m_fadeFrame = std::min(kFadeFrames, m_fadeFrame + chunk);
        stereo += 2 * chunk;
        frames -= chunk;
    }
}

}  // namespace quavira
