// SPDX-License-Identifier: GPL-3.0-or-later
// Continuous synthesis of a program: its voices rendered from the timeline as they play.
#pragma once

#include "timeline.h"

#include <noise_generator.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace quavira::programs {

// pink/100 (and white/, brown/, spin:) at -16.3 dBFS RMS, scaling linearly with the level.
inline constexpr double kNoiseRmsAtFullLevel = 0.15310874616820305;  // 10^(-16.3 / 20)
// Start, pause, resume, seek and the end pass through a linear fade of this length: long
// enough that a 50-Hz tone's steps grow by well under one 16-bit step.
inline constexpr double kPlayerFadeSec = 0.05;
// How long a bell rings (its level falls e-fold every kBellDecaySec, cut below -100 dB).
inline constexpr double kBellDecaySec = 0.6;

// Plays one program from its start. Tones keep double-precision phases that run on
// through every change, so glides and level changes are continuous; every field of a
// segment moves linearly per sample. The output is scaled by the timeline's constant
// gain (1, or 1 / its worst-case sum of levels), so it never passes full scale.
// render() runs on the audio thread and neither allocates nor locks; seek(), setPaused()
// and the getters may be called from any other thread meanwhile (they are atomics).
class ProgramPlayer {
public:
    static constexpr double kSampleRateHz = NoiseGenerator::kSampleRateHz;

    explicit ProgramPlayer(Timeline timeline, std::uint64_t noiseSeed = 1);
    ~ProgramPlayer();
    ProgramPlayer(const ProgramPlayer&) = delete;
    ProgramPlayer& operator=(const ProgramPlayer&) = delete;

    // Writes `frames` interleaved stereo frames (left first), full scale +-1. After the end,
    // and while paused once the fade is done, it writes silence.
    void render(float* stereo, std::size_t frames);

    // Moves to `seconds` (clamped to the program): the sound fades out, jumps and fades in.
    void seek(double seconds);
    // Pausing fades out and holds the position; resuming fades in from there.
    void setPaused(bool paused);
    bool paused() const { return m_pauseRequested.load(std::memory_order_relaxed); }

    double positionSec() const;
    std::optional<double> lengthSec() const { return m_timeline.lengthSec(); }
    bool ended() const { return m_ended.load(std::memory_order_relaxed); }
    const Timeline& timeline() const { return m_timeline; }

private:
    struct Voice;
    struct Bell;

    void renderChunk(float* left, float* right, std::size_t frames);
    void renderVoice(Voice& voice, const Segment& segment, float* left, float* right, std::size_t frames);
    void jumpTo(std::int64_t frame);
    std::size_t framesToNextChange(std::size_t limit) const;

    Timeline m_timeline;
    double m_gain = 1.0;
    std::int64_t m_endFrame = -1;  // -1: plays on
    std::int64_t m_frame = 0;      // the next frame to render
    std::vector<std::unique_ptr<Voice>> m_voices;
    std::vector<BellStrike> m_bellStrikes;  // sorted by time
    std::size_t m_nextBell = 0;
    std::vector<Bell> m_ringing;
    float m_fade = 0.0f;  // the output's fade, 0 to 1
    std::vector<float> m_scratch;

    std::atomic<double> m_seekRequest{-1.0};
    std::atomic<bool> m_pauseRequested{false};
    std::atomic<std::int64_t> m_position{0};
    std::atomic<bool> m_ended{false};
};

// Rounds full-scale floats to 16-bit samples, clamped (the gain keeps them within range).
void toS16(const float* in, std::int16_t* out, std::size_t samples);

}  // namespace quavira::programs
