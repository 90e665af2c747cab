// SPDX-License-Identifier: GPL-3.0-or-later
// The level a back end plays its output at, over stream frames: full, or
// moving along the fade curve, as the sleep timer's fade-out asks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quavira {

// A level as a depth along the fade curve (fade_curve.h): 0 is full, 1 is
// silence, and depth moves linearly with time, so the level moves linearly
// in decibels. It stands at one depth until `start`, then moves to another
// over `frames` frames and stays there. Applied to rendered bytes on their
// way to the device; the loop and the renderer's history are untouched.
// Not thread-safe: one caller at a time.
class OutputLevel {
public:
    // Full from now on (a start).
    void reset() { *this = OutputLevel{}; }
    // From stream frame `start` on, from the depth there to `depth` over
    // `frames` frames (at once for 0).
    void moveTo(std::uint64_t start, double depth, std::uint64_t frames);
    double depthAt(std::uint64_t frame) const;
    // Whether frames from `frame` on all play at full level.
    bool fullFrom(std::uint64_t frame) const;
    // Scales `frames` frames of 8-bit stereo, the first of which is stream
    // frame `first`, around the format's silence.
    void apply(std::uint8_t* bytes, std::uint64_t first, std::size_t frames) const;
    // The same for 16-bit stereo samples, around 0, rounded to nearest.
    void apply(std::int16_t* samples, std::uint64_t first, std::size_t frames) const;

private:
    double m_from = 0;
    double m_to = 0;
    std::uint64_t m_start = 0;
    std::uint64_t m_frames = 0;
};

}  // namespace quavira
