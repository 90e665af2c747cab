// SPDX-License-Identifier: GPL-3.0-or-later
// A voice played beside the loop (the noise, a program's voices), kept
// frame by frame so that what was queued can be rendered again unchanged.
#pragma once

#include "loop_renderer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quavira {

// What makes a voice's fresh frames, in order: interleaved stereo floats,
// full scale 1.0, written (not added) into `stereo`. Renders on whatever
// thread renders the output, so it neither blocks nor allocates.
// How a voice track moves from one voice to the next: linear in amplitude,
// which suits voices whose waveforms run on into each other (a tone), or
// at equal power, which suits voices that do not correlate (two stretches
// of noise), whose linear crossfade would dip by 3 dB halfway.
enum class Crossfade { Linear, EqualPower };

class VoiceSource {
public:
    virtual void render(float* stereo, std::size_t frames) = 0;

protected:
    ~VoiceSource() = default;
};

// A voice over stream frames, beside the loop's renderer and moved with it:
// a back end that queues ahead and rewrites from some frame moves both back
// there, and the voice then plays again exactly what it had rendered (a
// voice generated as it plays, such as noise, cannot be made again), and
// its source's fresh frames only beyond. Changing the voice itself (another
// source, or none) crossfades from what was going to play over kFadeFrames,
// so nothing clicks, whatever the voices' own waveforms. Not thread-safe:
// one caller at a time.
class VoiceTrack {
public:
    static constexpr std::size_t kFadeFrames = 441;  // 10 ms at 44,100 Hz
    static constexpr std::size_t kHistoryFrames = LoopRenderer::kHistoryFrames;

    VoiceTrack();

    // Silent from stream frame `frame` on, nothing rendered before it.
    void restartAt(std::uint64_t frame);
    // Renders from `frame` on again: what was rendered there plays as it
    // was, then the source's fresh frames. Frames between the position and
    // a later `frame` are first rendered as things stand.
    void moveTo(std::uint64_t frame);
    // From `frame`: crossfades to `source`'s fresh frames (null: to
    // silence). The source stays the caller's and must outlive its use; it
    // may be the one playing, whose fresh frames then follow what was
    // rendered (a source set anew, such as noise at another level).
    void change(std::uint64_t frame, VoiceSource* source, Crossfade crossfade = Crossfade::Linear);

    // Renders the next `frames` frames into `stereo` (null: into the
    // history only) and advances the position.
    void render(float* stereo, std::size_t frames);
    // Already rendered frames [frame, frame + frames), within the last
    // kHistoryFrames rendered.
    void copyRendered(std::uint64_t frame, float* stereo, std::size_t frames) const;

    std::uint64_t position() const { return m_next; }
    // The first frame from which only silence follows; UINT64_MAX while a
    // source plays.
    std::uint64_t silentFrom() const;

private:
    void renderFresh(float* stereo, std::size_t frames);
    void keep(const float* stereo, std::size_t frames);

    VoiceSource* m_source = nullptr;  // null: silence
    std::uint64_t m_next = 0;
    std::uint64_t m_renderedEnd = 0;  // frames before it are in the history, as they play
    std::uint64_t m_silentFrom = 0;   // with no source: silence from here on
    std::uint64_t m_fadeStart = 0;
    bool m_fading = false;
    bool m_equalPower = false;
    std::vector<float> m_fadeFrom;  // what was going to play over the fade
    std::vector<float> m_history;   // 2 floats a frame, by stream frame mod kHistoryFrames
};

}  // namespace quavira
