// SPDX-License-Identifier: GPL-3.0-or-later
// What the libpulse stream is sent: the loop rendered, at the output's
// level, each byte at its absolute stream position.
#pragma once

#include "loop_format.h"
#include "loop_renderer.h"
#include "output_level.h"
#include "pulse_connection.h"
#include "wave_out.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quavira {

// The one place that renders and sends: it owns the renderer, its private
// copies of the loop, the output level and the writes. Stream frame t plays
// loop frame t mod 44,100 counted from the last start. A start, change or
// stop rewrites what is queued from its first frame (which the caller
// judged the server has not taken yet) to the end of the queue: first the
// fade and a little more, then the head, and the body a moment later
// unless another rewrite replaces it first. Whoever calls decides where
// and when; this decides what the bytes are. Under the main loop's lock,
// from either thread.
class PulseQueueWriter {
public:
    // Which copy a start or change plays: the one taken last, or the one
    // heard now (a late start or change moved up).
    enum class Loop { Latest, Playing };

    explicit PulseQueueWriter(PulseConnection& connection);

    // Copies the live loop into the copy the renderer does not play; it is
    // played from the next start or change.
    void takeLoop(const Sample* data);

    // Silent from stream frame `frame` on, nothing rendered before it (a
    // new, or flushed, stream).
    void restartAt(std::uint64_t frame);
    // From `first`, the loop from its first frame, fading in from what was
    // queued there; queued at least until `until`.
    void startAt(std::uint64_t first, std::uint64_t until, Loop loop = Loop::Latest);
    // From `from`, a fade to the loop, which keeps its position.
    void changeAt(std::uint64_t from, std::uint64_t until, Loop loop = Loop::Latest);
    // From `from`, a fade to silence; the first silent frame.
    std::uint64_t stopAt(std::uint64_t from);

    // Full level from the next frame rendered on (a start).
    void fullLevel();
    // From `from`, towards `depth` over `frames` frames; what is queued
    // from `from` is sent again at that level.
    void moveLevel(std::uint64_t from, double depth, std::uint64_t frames);
    const OutputLevel& level() const { return m_level; }
    // The level in time, for a stream that may be made anew: stream frame
    // `frame` is heard at `when`.
    void anchorLevel(std::uint64_t frame, PulseClock::time_point when);
    // With no stream to send to (one being brought back): the move as it
    // would stand now, carried onto the next stream.
    void moveLevelLater(double depth, std::uint64_t frames, PulseClock::time_point now);
    // A new stream whose frame `first` (after a lead-in: not 0) is heard at
    // `when`: the level goes on from where it stands in time.
    void carryLevel(std::uint64_t first, PulseClock::time_point when);

    // Renders from the renderer's position up to `end` and sends it.
    void queueUntil(std::uint64_t end);
    // What the server asks for, unless the body of a rewrite, which brings
    // it, is still to be sent.
    void refill();
    // The end of what is queued at the server, a body not yet sent included.
    std::uint64_t queuedEnd() const;
    // Where a call may write without a fresh position: the end of what is
    // queued, once any body has been sent.
    std::uint64_t endOfQueue();
    // The body of a rewrite is not sent (the stream is flushed or gone).
    void dropBody();
    // The first frame from which only silence is queued; UINT64_MAX while a
    // loop plays.
    std::uint64_t silentFrom() const { return m_renderer.silentFrom(); }

private:
    const std::uint8_t* loopFor(Loop loop);
    // Queues up to `frame` as things stand, lets `begin` change what plays
    // from there, and rewrites what was queued (and at least up to `until`).
    template <typename Begin>
    void rewriteAt(std::uint64_t frame, std::uint64_t until, Begin begin);
    void rewriteUntil(std::uint64_t end);
    void sendBody();
    void sendScratchAt(std::uint64_t first);

    PulseConnection& m_connection;
    LoopRenderer m_renderer;
    OutputLevel m_level;
    // Where the last move of the level ends, and the frame heard at a moment.
    std::uint64_t m_levelEnd = 0;
    double m_levelDepth = 0;
    std::uint64_t m_anchorFrame = 0;
    PulseClock::time_point m_anchorTime{};
    std::array<std::vector<std::uint8_t>, 2> m_copies;
    std::size_t m_playingCopy = 0;
    std::size_t m_latestCopy = 0;
    std::vector<std::uint8_t> m_scratch;
    std::optional<std::uint64_t> m_bodyEnd;  // the rest of a rewrite held back
    PulseTimer m_bodyTimer;
};

}  // namespace quavira
