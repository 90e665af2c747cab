// SPDX-License-Identifier: GPL-3.0-or-later
// The output stage: the loop and the voices beside it, mixed at 16 bits.
#include "output_stage.h"

#include <algorithm>
#include <limits>

namespace quavira {

namespace {

constexpr std::size_t kChunkFrames = 512;

}  // namespace

void OutputStage::restartAt(std::uint64_t frame)
{
    m_loop.restartAt(frame);
    m_voice.restartAt(frame);
    m_playing = nullptr;
    m_voiceSilentFrom = frame;
}

void OutputStage::start(std::uint64_t frame, const std::uint8_t* loop)
{
    m_loop.start(frame, loop);
    m_playing = loop;
    m_voice.change(m_loop.position(), m_source);
}

void OutputStage::change(std::uint64_t frame, const std::uint8_t* loop)
{
    m_loop.change(frame, loop);
    m_playing = loop;
    keepInStep();
}

void OutputStage::stop(std::uint64_t frame)
{
    m_loop.stop(frame);
    m_playing = nullptr;
    m_voice.change(m_loop.position(), nullptr);
    m_voiceSilentFrom = m_voice.silentFrom();
}

void OutputStage::setVoice(std::uint64_t frame, VoiceSource* voice, Crossfade crossfade)
{
    m_source = voice;
    if (!m_playing)
        return;
    // The loop goes on as it was: a change to the same loop leaves its
    // bytes as they are, and moves it back to where the voice changes.
    m_loop.change(frame, m_playing);
    m_voice.change(m_loop.position(), voice, crossfade);
}

void OutputStage::keepInStep()
{
    m_voice.moveTo(m_loop.position());
}

void OutputStage::render(std::int16_t* out, std::size_t frames)
{
    std::uint8_t loop[2 * kChunkFrames];
    float voice[2 * kChunkFrames];
    std::int16_t scratch[2 * kChunkFrames];
    while (frames > 0) {
        const std::size_t n = std::min(frames, kChunkFrames);
        const bool voiceSilent = m_voice.position() >= m_voice.silentFrom();
        m_loop.render(loop, n);
        m_voice.render(voiceSilent ? nullptr : voice, n);
        mix(loop, voiceSilent ? nullptr : voice, out ? out : scratch, n);
        frames -= n;
        if (out)
            out += 2 * n;
    }
}

void OutputStage::copyRendered(std::uint64_t frame, std::int16_t* out, std::size_t frames) const
{
    std::uint8_t loop[2 * kChunkFrames];
    float voice[2 * kChunkFrames];
    while (frames > 0) {
        const std::size_t n = std::min(frames, kChunkFrames);
        m_loop.copyRendered(frame, loop, n);
        m_voice.copyRendered(frame, voice, n);
        mix(loop, voice, out, n);
        frame += n;
        frames -= n;
        out += 2 * n;
    }
}

std::uint64_t OutputStage::silentFrom() const
{
    // The voice plays only while the loop does, and fades out with it.
    const std::uint64_t loop = m_loop.silentFrom();
    if (loop == std::numeric_limits<std::uint64_t>::max())
        return loop;
    return std::max(loop, m_voiceSilentFrom);
}

void OutputStage::mix(const std::uint8_t* loop, const float* voice, std::int16_t* out, std::size_t frames)
{
    if (!voice) {
        for (std::size_t i = 0; i < 2 * frames; ++i)
            out[i] = toOutputSample(loop[i]);
        return;
    }
    for (std::size_t i = 0; i < 2 * frames; ++i)
        out[i] = mixOutputSample(loop[i], voice[i]);
}

}  // namespace quavira
