// SPDX-License-Identifier: GPL-3.0-or-later
// What the sound tests hear: measures taken of a recording of the test
// sink's monitor.
#pragma once

#include "loop_buffer.h"
#include "monitor_recording.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quavira::sound {

constexpr std::uint8_t kSilence = 128;

inline bool soundServerAnswers()
{
    return std::system("pactl info >/dev/null 2>&1") == 0;
}

// Ends a test that has no sound server to play into: a failure where one
// is promised (QUAVIRA_REQUIRE_SOUND, set by scripts/test), else a skip.
#define QUAVIRA_WITHOUT_SOUND(why)                       \
    do {                                                 \
        if (std::getenv("QUAVIRA_REQUIRE_SOUND"))        \
            FAIL() << why;                               \
        GTEST_SKIP() << why << " (run through ctest)";   \
    } while (false)

#define QUAVIRA_NEED_SOUND_SERVER()                                          \
    do {                                                                     \
        if (!::quavira::sound::soundServerAnswers())                         \
            QUAVIRA_WITHOUT_SOUND("no sound server answers PULSE_SERVER");   \
    } while (false)

inline Bytes snapshot(const LoopBuffer& engine)
{
    Bytes bytes(engine.samples().size());
    loadBytes(engine.samples(), bytes.data());
    return bytes;
}

inline std::size_t frames(const Bytes& recording)
{
    return recording.size() / 2;
}

inline bool silentFrame(const Bytes& rec, std::size_t frame)
{
    return rec[2 * frame] == kSilence && rec[2 * frame + 1] == kSilence;
}

inline std::optional<std::size_t> firstSound(const Bytes& rec, std::size_t from)
{
    for (std::size_t f = from; f < frames(rec); ++f)
        if (!silentFrame(rec, f))
            return f;
    return std::nullopt;
}

// The first frame from `from` on that starts `run` silent frames.
inline std::optional<std::size_t> firstSilence(const Bytes& rec, std::size_t from, std::size_t run = 441)
{
    std::size_t length = 0;
    for (std::size_t f = from; f < frames(rec); ++f) {
        length = silentFrame(rec, f) ? length + 1 : 0;
        if (length == run)
            return f + 1 - run;
    }
    return std::nullopt;
}

// The largest step between consecutive samples of one channel over the
// loop played round and round (its seam included).
inline int largestStep(const Bytes& loop, int channel)
{
    int step = 0;
    const std::size_t n = loop.size() / 2;
    for (std::size_t f = 0; f < n; ++f)
        step = std::max(step, std::abs(loop[2 * ((f + 1) % n) + channel] - loop[2 * f + channel]));
    return step;
}

// PipeWire at a small quantum now and then misses a graph cycle on a busy
// machine and plays silence for it, whatever plays: a bare libpulse client's
// tone shows such gaps too, in most runs of this length at a quantum of 256.
// Frames in such a short gap and at its edges are the server's, not the
// program's: the step check leaves them out, and says how many there were.
// A gap is a run of near silence (the resampler rings around 128) no longer
// than `longest` frames, with sound on both sides.
inline std::vector<bool> serverGaps(const Bytes& rec, std::size_t longest, std::size_t* gaps)
{
    std::vector<bool> skip(frames(rec), false);
    const auto quiet = [&](std::size_t f) { return std::abs(rec[2 * f] - 128) <= 6 && std::abs(rec[2 * f + 1] - 128) <= 6; };
    constexpr std::size_t kEdge = 8;
    *gaps = 0;
    for (std::size_t f = 0; f < frames(rec);) {
        if (!quiet(f)) {
            ++f;
            continue;
        }
        std::size_t end = f;
        while (end < frames(rec) && quiet(end))
            ++end;
        if (f > 0 && end < frames(rec) && end - f >= 32 && end - f <= longest) {
            ++*gaps;
            for (std::size_t k = f > kEdge ? f - kEdge : 0; k < std::min(end + kEdge, frames(rec)); ++k)
                skip[k] = true;
        }
        f = end;
    }
    return skip;
}

// The largest step between consecutive frames of one channel, and where,
// leaving out the frames `skip` marks.
inline std::pair<int, std::size_t> largestStepOutside(const Bytes& rec, int channel, const std::vector<bool>& skip)
{
    int largest = 0;
    std::size_t at = 0;
    for (std::size_t f = 1; f < frames(rec); ++f) {
        const int step = std::abs(rec[2 * f + channel] - rec[2 * (f - 1) + channel]);
        if (!skip[f] && step > largest)
            largest = step, at = f;
    }
    return {largest, at};
}

// How many places (steps within 64 frames of each other are one) step by
// more than `limit` in either channel, leaving out the frames `skip` marks.
inline std::size_t clicksOver(const Bytes& rec, const int (&limit)[2], const std::vector<bool>& skip)
{
    std::size_t clicks = 0;
    std::size_t last = 0;
    for (std::size_t f = 1; f < frames(rec); ++f) {
        if (skip[f])
            continue;
        for (int channel : {0, 1}) {
            if (std::abs(rec[2 * f + channel] - rec[2 * (f - 1) + channel]) > limit[channel]) {
                if (clicks == 0 || f - last > 64)
                    ++clicks;
                last = f;
            }
        }
    }
    return clicks;
}

// A graph cycle of PipeWire's own at a quantum of 256 may also leave a jump
// with no silence (it shows in a channel no write touched then): one such
// place is the server's, more are the program's.
inline std::size_t clicksAllowed(bool pipeWireAt256)
{
    return pipeWireAt256 ? 1 : 0;
}

inline bool matchesAt(const Bytes& rec, std::size_t frame, std::size_t origin, const Bytes& loop)
{
    const std::size_t loopFrame = (frame - origin) % kLoopFrames;
    return rec[2 * frame] == loop[2 * loopFrame] && rec[2 * frame + 1] == loop[2 * loopFrame + 1];
}

// The recording frame where `loop` has its frame 0, found from 400 frames
// that match it exactly somewhere after `from`.
inline std::optional<std::size_t> originOf(const Bytes& rec, std::size_t from, const Bytes& loop)
{
    const std::size_t probe = from + 600;
    if (probe + 400 > frames(rec))
        return std::nullopt;
    for (std::size_t loopFrame = 0; loopFrame < kLoopFrames; ++loopFrame) {
        const std::size_t origin = probe + kLoopFrames - loopFrame;  // frame `probe` is loop frame `loopFrame`
        std::size_t k = 0;
        while (k < 400 && matchesAt(rec, probe + k, origin - kLoopFrames, loop))
            ++k;
        if (k == 400)
            return origin - kLoopFrames;
    }
    return std::nullopt;
}

// Checks that recording frames [from, to) play `loops` in their order, each
// at its place in the loop counted from `origin`, byte for byte, except in
// fades: frames that match neither the loop before nor a later one may run
// for at most one fade per change they cover, plus, between two fades, a
// loop heard too briefly (under 64 frames) to count as settled. Empty when
// they do.
inline std::string followsLoops(const Bytes& rec, std::size_t origin, std::size_t from, std::size_t to,
                                const std::vector<Bytes>& loops)
{
    std::size_t current = 0;
    std::size_t f = from;
    while (f < to) {
        if (matchesAt(rec, f, origin, loops[current])) {
            ++f;
            continue;
        }
        // A fade: find where the recording settles on a later loop for good
        // (a run of 64 frames), and how many changes it passed.
        std::size_t end = f;
        std::optional<std::size_t> settled;
        for (; end < to && end < f + LoopRenderer::kFadeFrames * loops.size(); ++end) {
            for (std::size_t k = current + 1; k < loops.size() && !settled; ++k) {
                std::size_t run = 0;
                while (run < 64 && end + run < to && matchesAt(rec, end + run, origin, loops[k]))
                    ++run;
                if (run == 64 || end + run == to)
                    settled = k;
            }
            if (settled)
                break;
        }
        if (!settled)
            return "frame " + std::to_string(f) + " matches no later loop";
        const std::size_t changes = *settled - current;
        if (end - f > LoopRenderer::kFadeFrames * changes + 63 * (changes - 1))
            return "a fade of " + std::to_string(end - f) + " frames at frame " + std::to_string(f) + " for " +
                   std::to_string(changes) + " change(s)";
        current = *settled;
        f = end;
    }
    if (current + 1 != loops.size())
        return "only " + std::to_string(current + 1) + " of " + std::to_string(loops.size()) + " loops were heard";
    return {};
}

// Frequency of the strongest tone within 3 Hz of `expectedHz` in one
// channel, from a Goertzel scan in 0.01 Hz steps.
inline double dominantFrequency(const Bytes& rec, std::size_t from, std::size_t count, int channel, double expectedHz)
{
    double bestHz = 0, bestPower = -1;
    for (double hz = expectedHz - 3; hz <= expectedHz + 3; hz += 0.01) {
        const double w = 2 * std::numbers::pi * hz / kRate;
        double re = 0, im = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const double x = rec[2 * (from + k) + channel] - 127.0;
            re += x * std::cos(w * static_cast<double>(k));
            im -= x * std::sin(w * static_cast<double>(k));
        }
        if (re * re + im * im > bestPower) {
            bestPower = re * re + im * im;
            bestHz = hz;
        }
    }
    return bestHz;
}

// How a fade to silence sounded between recording frames `from` and `to`:
// the peak of each block of `block` frames against the first block's, in
// decibels, for the blocks still above -36 dB (below that an 8-bit
// sample's steps are too coarse to tell a curve). Empty: nothing heard.
inline std::vector<double> fadeLevelsDb(const Bytes& rec, std::size_t from, std::size_t to, std::size_t block = 1470)
{
    std::vector<double> levels;
    double first = 0;
    for (std::size_t start = from; start + block <= to; start += block) {
        int peak = 0;
        for (std::size_t f = start; f < start + block; ++f)
            peak = std::max({peak, std::abs(rec[2 * f] - 128), std::abs(rec[2 * f + 1] - 128)});
        if (first == 0)
            first = peak;
        const double db = peak > 0 && first > 0 ? 20 * std::log10(peak / first) : -100;
        if (db < -36)
            break;
        levels.push_back(db);
    }
    return levels;
}

// Tones play 2.34 ppm sharp: the synthesis uses 3.1416 for pi.
inline double heardHz(int hz)
{
    return hz * 3.1416 / std::numbers::pi;
}

}  // namespace quavira::sound
