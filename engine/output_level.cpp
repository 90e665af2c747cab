// SPDX-License-Identifier: GPL-3.0-or-later
// The level a back end plays its output at, over stream frames.
#include "output_level.h"

#include "fade_curve.h"

#include <algorithm>
#include <cmath>

namespace quavira {

void OutputLevel::moveTo(std::uint64_t start, double depth, std::uint64_t frames)
{
    m_from = depthAt(start);
    m_to = std::clamp(depth, 0.0, 1.0);
    m_start = start;
    m_frames = frames;
}

double OutputLevel::depthAt(std::uint64_t frame) const
{
    if (frame <= m_start)
        return m_from;
    if (frame >= m_start + m_frames)
        return m_to;
    const double progress = static_cast<double>(frame - m_start) / static_cast<double>(m_frames);
    return m_from + (m_to - m_from) * progress;
}

bool OutputLevel::fullFrom(std::uint64_t frame) const
{
    return depthAt(frame) == 0 && m_to == 0;
}

void OutputLevel::apply(std::uint8_t* bytes, std::uint64_t first, std::size_t frames) const
{
    if (fullFrom(first))
        return;
    for (std::size_t k = 0; k < frames; ++k) {
        const double gain = fadeOutGain(depthAt(first + k));
        bytes[2 * k] = scaleSample(bytes[2 * k], gain);
        bytes[2 * k + 1] = scaleSample(bytes[2 * k + 1], gain);
    }
}

void OutputLevel::apply(std::int16_t* samples, std::uint64_t first, std::size_t frames) const
{
    if (fullFrom(first))
        return;
    for (std::size_t k = 0; k < frames; ++k) {
        const double gain = fadeOutGain(depthAt(first + k));
        for (std::size_t c = 0; c < 2; ++c)
            samples[2 * k + c] = static_cast<std::int16_t>(std::lround(samples[2 * k + c] * gain));
    }
}

}  // namespace quavira
