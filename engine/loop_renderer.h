// SPDX-License-Identifier: GPL-3.0-or-later
// The output stage shared by the back ends: stream frames to output bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quavira {

// Renders an endless stream from a one-second loop (88,200 bytes, left byte
// then right byte per frame): stream frame t plays loop frame
// (t - origin) mod 44,100, where origin is the stream frame of the last
// start. Every start, change of loop and stop moves from what the stream was
// going to play to the new bytes over kFadeFrames with a linear ramp, per
// channel, so a channel whose bytes did not change passes through
// untouched. Outside the fades the output is the loop's bytes exactly.
//
// It remembers the last kHistoryFrames frames it rendered, so a back end
// that queues ahead can re-render from any of them; a fade that starts
// inside another one starts from what that one was playing.
//
// The loops passed in are private copies of the back end's; they must stay
// unchanged from the call that passes them until the next start or change
// (the renderer keeps no copy). Not thread-safe: one caller at a time.
class LoopRenderer {
public:
    static constexpr std::size_t kFadeFrames = 220;            // 5 ms at 44,100 Hz
    static constexpr std::size_t kHistoryFrames = std::size_t{1} << 17;  // 2.97 s
    static constexpr std::uint8_t kSilence = 128;                // unsigned 8-bit zero

    LoopRenderer();

    // Silent from stream frame `frame` on; nothing rendered before it.
    void restartAt(std::uint64_t frame);
    // From `frame`: plays `loop` from its first frame, fading in from what
    // was going to play there. Frames between the position and `frame` are
    // rendered first, as things stood.
    void start(std::uint64_t frame, const std::uint8_t* loop);
    // From `frame`: fades to `loop`, keeping the loop's position (origin).
    void change(std::uint64_t frame, const std::uint8_t* loop);
    // From `frame`: fades out to silence.
    void stop(std::uint64_t frame);

    // Renders the next `frames` frames into `out` (two bytes a frame; null
    // to render into the history only) and advances the position.
    void render(std::uint8_t* out, std::size_t frames);
    // Copies already rendered frames [frame, frame + frames) into `out`;
    // they must lie within the last kHistoryFrames rendered.
    void copyRendered(std::uint64_t frame, std::uint8_t* out, std::size_t frames) const;

    // The next frame render() produces.
    std::uint64_t position() const { return m_next; }
    // The first frame from which only silence follows; UINT64_MAX while a
    // loop plays.
    std::uint64_t silentFrom() const;

private:
    // Starts a fade at `frame` (no further back than the history reaches;
    // a gap after the position is first rendered as things stand): what the
    // stream was going to play over the fade is taken from the history, or
    // from the current state where nothing was rendered yet, and rendering
    // resumes at `frame`.
    void beginFade(std::uint64_t frame);
    std::uint8_t steadyByte(std::uint64_t frame, int channel) const;
    std::uint8_t byteAt(std::uint64_t frame, int channel) const;
    void renderSteady(std::uint8_t* out, std::size_t frames);
    void keep(const std::uint8_t* bytes, std::size_t frames);

    const std::uint8_t* m_loop = nullptr;  // null: silence
    std::uint64_t m_origin = 0;  // never after m_next
    std::uint64_t m_silentFrom = 0;
    std::uint64_t m_next = 0;
    std::uint64_t m_fadeStart = 0;
    bool m_fading = false;
    std::array<std::uint8_t, 2 * kFadeFrames> m_fadeFrom{};
    std::vector<std::uint8_t> m_history;  // 2 bytes per frame, by stream frame mod kHistoryFrames
};

}  // namespace quavira
