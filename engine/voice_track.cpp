// SPDX-License-Identifier: GPL-3.0-or-later
// A voice played beside the loop, kept frame by frame.
#include "voice_track.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace quavira {

namespace {

constexpr std::size_t kFade = VoiceTrack::kFadeFrames;
constexpr float kQuarterTurn = 1.57079632679f;
constexpr std::size_t kChunkFrames = 512;

}  // namespace

VoiceTrack::VoiceTrack() : m_fadeFrom(2 * kFade, 0.0f), m_history(2 * kHistoryFrames, 0.0f) {}

void VoiceTrack::restartAt(std::uint64_t frame)
{
    m_source = nullptr;
    m_next = frame;
    m_renderedEnd = frame;
    m_silentFrom = frame;
    m_fading = false;
}

void VoiceTrack::moveTo(std::uint64_t frame)
{
    if (frame > m_next)
        render(nullptr, static_cast<std::size_t>(frame - m_next));
    m_next = frame;
}

void VoiceTrack::change(std::uint64_t frame, VoiceSource* source, Crossfade crossfade)
{
    // What was going to play over the fade is rendered first, as things
    // stand, so the fade starts from it whether it was queued or not.
    m_next = m_renderedEnd;
    if (frame + kFade > m_renderedEnd)
        render(nullptr, static_cast<std::size_t>(frame + kFade - m_renderedEnd));
    copyRendered(frame, m_fadeFrom.data(), kFade);
    m_next = frame;
    m_renderedEnd = frame;
    // From silence to silence stays silence.
    if (!source && !(m_source == nullptr && frame >= m_silentFrom))
        m_silentFrom = frame + kFade;
    m_source = source;
    m_fadeStart = frame;
    m_fading = true;
    m_equalPower = crossfade == Crossfade::EqualPower;
}

std::uint64_t VoiceTrack::silentFrom() const
{
    return m_source ? std::numeric_limits<std::uint64_t>::max() : m_silentFrom;
}

void VoiceTrack::render(float* stereo, std::size_t frames)
{
    float buffer[2 * kChunkFrames];
    while (frames > 0) {
        std::size_t n = std::min(frames, kChunkFrames);
        if (m_next < m_renderedEnd) {
            // Rendered already: played again as it was.
            n = std::min<std::size_t>(n, m_renderedEnd - m_next);
            if (stereo)
                copyRendered(m_next, stereo, n);
        } else {
            float* out = stereo ? stereo : buffer;
            const bool inFade = m_fading && m_next < m_fadeStart + kFade;
            if (inFade)
                n = std::min<std::size_t>(n, m_fadeStart + kFade - m_next);
            renderFresh(out, n);
            if (inFade) {
                // A crossfade that leaves the old frames at k = -1 and
                // reaches the new ones at k = kFade: linear in amplitude,
                // or along a quarter sine and cosine, whose powers add up
                // to one for frames that do not correlate.
                for (std::size_t i = 0; i < n; ++i) {
                    const std::size_t k = m_next + i - m_fadeStart;
                    const float w = static_cast<float>(k + 1) / static_cast<float>(kFade + 1);
                    const float toNew = m_equalPower ? std::sin(w * kQuarterTurn) : w;
                    const float toOld = m_equalPower ? std::cos(w * kQuarterTurn) : 1.0f - w;
                    for (std::size_t c = 0; c < 2; ++c)
                        out[2 * i + c] = m_fadeFrom[2 * k + c] * toOld + out[2 * i + c] * toNew;
                }
            } else {
                m_fading = false;
            }
            keep(out, n);
            m_renderedEnd = m_next + n;
        }
        m_next += n;
        frames -= n;
        if (stereo)
            stereo += 2 * n;
    }
}

void VoiceTrack::renderFresh(float* stereo, std::size_t frames)
{
    if (m_source)
        m_source->render(stereo, frames);
    else
        std::fill(stereo, stereo + 2 * frames, 0.0f);
}

void VoiceTrack::keep(const float* stereo, std::size_t frames)
{
    std::size_t slot = m_next % kHistoryFrames;
    while (frames > 0) {
        const std::size_t n = std::min(frames, kHistoryFrames - slot);
        std::memcpy(m_history.data() + 2 * slot, stereo, 2 * n * sizeof(float));
        stereo += 2 * n;
        frames -= n;
        slot = 0;
    }
}

void VoiceTrack::copyRendered(std::uint64_t frame, float* stereo, std::size_t frames) const
{
    std::size_t slot = frame % kHistoryFrames;
    while (frames > 0) {
        const std::size_t n = std::min(frames, kHistoryFrames - slot);
        std::memcpy(stereo, m_history.data() + 2 * slot, 2 * n * sizeof(float));
        stereo += 2 * n;
        frames -= n;
        slot = 0;
    }
}

}  // namespace quavira
