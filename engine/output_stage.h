// SPDX-License-Identifier: GPL-3.0-or-later
// The output stage shared by the back ends: the loop and the voices beside
// it, mixed at 16 bits.
#pragma once

#include "loop_renderer.h"
#include "voice_track.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace quavira {

// The output's frames: two signed 16-bit samples, left then right.
inline constexpr std::uint32_t kOutputBytesPerFrame = 2 * sizeof(std::int16_t);

// A loop sample as the 16-bit output carries it: scaled so that a u8 sink
// takes it back to the same byte exactly.
constexpr std::int16_t toOutputSample(std::uint8_t byte)
{
    return static_cast<std::int16_t>((static_cast<int>(byte) - 128) * 256);
}

// A loop byte and a voice's sample beside it (full scale 1.0) as one 16-bit
// output sample: summed in double, where the sum is exact, so the voice's
// part of a sample does not depend on the loop's beside it; held at full
// scale; rounded to the nearest, ties to even.
inline std::int16_t mixOutputSample(std::uint8_t byte, float voice)
{
    const double sum = toOutputSample(byte) + static_cast<double>(voice) * 32768.0;
    return static_cast<std::int16_t>(std::lrint(std::clamp(sum, -32768.0, 32767.0)));
}

// Renders the endless stream a back end plays: the loop through the
// LoopRenderer (fades and all) and one voice track (the noise) beside it,
// summed at 16 bits. The voice starts and stops with the loop, fading with
// it, and can be changed while it plays. With no voice, every frame is its
// loop bytes scaled (toOutputSample), so the loop arrives byte for byte at
// a u8 sink. A sum beyond full scale is held at full scale; the voices'
// levels are chosen so that it is not reached beside the tone.
//
// The same rules as the renderer's: the loops passed in stay unchanged
// until the next start or change, and what was rendered can be copied again
// from the last kHistoryFrames frames. Not thread-safe: one caller at a time.
class OutputStage {
public:
    static constexpr std::size_t kHistoryFrames = LoopRenderer::kHistoryFrames;
    static constexpr std::int16_t kSilence = 0;

    // Silent from stream frame `frame` on.
    void restartAt(std::uint64_t frame);
    // As LoopRenderer's; `start` fades the voice in with the loop.
    void start(std::uint64_t frame, const std::uint8_t* loop);
    void change(std::uint64_t frame, const std::uint8_t* loop);
    void stop(std::uint64_t frame);
    // The voice that plays with the loop from now on (null: none). While
    // the loop plays, it crossfades to the new one from `frame`; otherwise
    // it waits for the next start. The source stays the caller's; passing
    // the playing one again crossfades from what was rendered to its fresh
    // frames (after it was set anew).
    void setVoice(std::uint64_t frame, VoiceSource* voice, Crossfade crossfade = Crossfade::Linear);

    // Renders the next `frames` frames, two samples each (null: into the
    // history only), and advances the position.
    void render(std::int16_t* out, std::size_t frames);
    // Already rendered frames, within the last kHistoryFrames.
    void copyRendered(std::uint64_t frame, std::int16_t* out, std::size_t frames) const;

    std::uint64_t position() const { return m_loop.position(); }
    // The first frame from which only silence follows; UINT64_MAX while
    // anything plays.
    std::uint64_t silentFrom() const;

private:
    void keepInStep();
    static void mix(const std::uint8_t* loop, const float* voice, std::int16_t* out, std::size_t frames);

    LoopRenderer m_loop;
    VoiceTrack m_voice;
    const std::uint8_t* m_playing = nullptr;  // the loop that plays, null when stopped
    VoiceSource* m_source = nullptr;
    std::uint64_t m_voiceSilentFrom = 0;
};

}  // namespace quavira
