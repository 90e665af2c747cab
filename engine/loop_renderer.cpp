// SPDX-License-Identifier: GPL-3.0-or-later
// The output stage shared by the back ends: stream frames to output bytes.
#include "loop_renderer.h"

#include "loop_format.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace quavira {

namespace {

constexpr std::size_t kFade = LoopRenderer::kFadeFrames;
constexpr int kWeightShift = 15;

// Weight of the new bytes at frame k of a fade, in 1/32768: a linear ramp
// that leaves the old bytes at k = -1 and reaches the new ones at k = kFade.
// Linear keeps the largest step the fade adds to a channel at
// |new - old| / (kFade + 1), under 1.2 steps at full amplitude.
constexpr std::array<std::int32_t, kFade> kWeights = [] {
    std::array<std::int32_t, kFade> w{};
    for (std::size_t k = 0; k < kFade; ++k)
        w[k] = static_cast<std::int32_t>(((k + 1) * (std::size_t{1} << kWeightShift) + (kFade + 1) / 2) / (kFade + 1));
    return w;
}();

std::uint8_t mix(std::uint8_t from, std::uint8_t to, std::size_t k)
{
    const std::int32_t d = static_cast<std::int32_t>(to) - static_cast<std::int32_t>(from);
    // Rounded to nearest; equal bytes give `from` exactly.
    return static_cast<std::uint8_t>(from + ((d * kWeights[k] + (1 << (kWeightShift - 1))) >> kWeightShift));
}

}  // namespace

LoopRenderer::LoopRenderer() : m_history(2 * kHistoryFrames, kSilence) {}

void LoopRenderer::restartAt(std::uint64_t frame)
{
    m_loop = nullptr;
    m_origin = frame;
    m_next = frame;
    m_silentFrom = frame;
    m_fading = false;
}

void LoopRenderer::start(std::uint64_t frame, const std::uint8_t* loop)
{
    beginFade(frame);
    m_loop = loop;
    m_origin = frame;
}

void LoopRenderer::change(std::uint64_t frame, const std::uint8_t* loop)
{
    // Nothing of this loop plays before its origin: a change that reaches
    // back before a start takes effect at the start.
    frame = std::max(frame, m_origin);
    beginFade(frame);
    m_loop = loop;
}

void LoopRenderer::stop(std::uint64_t frame)
{
    beginFade(frame);
    m_loop = nullptr;
    m_silentFrom = frame + kFade;
}

std::uint64_t LoopRenderer::silentFrom() const
{
    return m_loop ? std::numeric_limits<std::uint64_t>::max() : m_silentFrom;
}

void LoopRenderer::beginFade(std::uint64_t frame)
{
    // A gap is rendered as the current state plays it; frames not rendered
    // yet hold what it would play there.
    if (frame > m_next)
        render(nullptr, static_cast<std::size_t>(frame - m_next));
    std::array<std::uint8_t, 2 * kFade> from{};
    for (std::size_t k = 0; k < kFade; ++k) {
        const std::uint64_t t = frame + k;
        for (int c = 0; c < 2; ++c)
            from[2 * k + c] = t < m_next ? m_history[2 * (t % kHistoryFrames) + c] : byteAt(t, c);
    }
    m_fadeFrom = from;
    m_fadeStart = frame;
    m_fading = true;
    m_next = frame;
}

std::uint8_t LoopRenderer::steadyByte(std::uint64_t frame, int channel) const
{
    if (!m_loop)
        return kSilence;
    return m_loop[2 * ((frame - m_origin) % kLoopFrames) + static_cast<std::size_t>(channel)];
}

std::uint8_t LoopRenderer::byteAt(std::uint64_t frame, int channel) const
{
    if (m_fading && frame >= m_fadeStart && frame < m_fadeStart + kFade) {
        const std::size_t k = frame - m_fadeStart;
        return mix(m_fadeFrom[2 * k + static_cast<std::size_t>(channel)], steadyByte(frame, channel), k);
    }
    return steadyByte(frame, channel);
}

void LoopRenderer::render(std::uint8_t* out, std::size_t frames)
{
    std::uint8_t buffer[2 * 512];
    while (frames > 0) {
        std::size_t n = std::min<std::size_t>(frames, std::size(buffer) / 2);
        std::uint8_t* dst = out ? out : buffer;
        if (m_fading && m_next < m_fadeStart + kFade) {
            n = std::min<std::size_t>(n, m_fadeStart + kFade - m_next);
            for (std::size_t i = 0; i < n; ++i)
                for (int c = 0; c < 2; ++c)
                    dst[2 * i + c] = byteAt(m_next + i, c);
        } else {
            m_fading = false;
            renderSteady(dst, n);
        }
        keep(dst, n);
        m_next += n;
        frames -= n;
        if (out)
            out += 2 * n;
    }
}

void LoopRenderer::renderSteady(std::uint8_t* out, std::size_t frames)
{
    if (!m_loop) {
        std::memset(out, kSilence, 2 * frames);
        return;
    }
    std::size_t loopFrame = (m_next - m_origin) % kLoopFrames;
    while (frames > 0) {
        const std::size_t n = std::min(frames, kLoopFrames - loopFrame);
        std::memcpy(out, m_loop + 2 * loopFrame, 2 * n);
        out += 2 * n;
        frames -= n;
        loopFrame = 0;
    }
}

void LoopRenderer::keep(const std::uint8_t* bytes, std::size_t frames)
{
    std::size_t slot = m_next % kHistoryFrames;
    while (frames > 0) {
        const std::size_t n = std::min(frames, kHistoryFrames - slot);
        std::memcpy(m_history.data() + 2 * slot, bytes, 2 * n);
        bytes += 2 * n;
        frames -= n;
        slot = 0;
    }
}

void LoopRenderer::copyRendered(std::uint64_t frame, std::uint8_t* out, std::size_t frames) const
{
    std::size_t slot = frame % kHistoryFrames;
    while (frames > 0) {
        const std::size_t n = std::min(frames, kHistoryFrames - slot);
        std::memcpy(out, m_history.data() + 2 * slot, 2 * n);
        out += 2 * n;
        frames -= n;
        slot = 0;
    }
}

}  // namespace quavira
