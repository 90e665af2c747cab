// What the sound tests hear: a recording of the test sink's monitor, put on
// the steady clock, and the measures taken of it.
#pragma once

#include "loop_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quavira::sound {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t kSilence = 128;
constexpr double kRate = 44100;

inline std::string sinkName()
{
    const char* name = std::getenv("QUAVIRA_TEST_SINK");
    return name && *name ? name : "quavira_test";
}

// True when the server answering PULSE_SERVER is PipeWire's: its graph is
// float and resamples, so its monitor gives the tones but not the bytes.
inline bool serverIsPipeWire()
{
    return std::system("pactl info 2>/dev/null | grep -q 'on PipeWire'") == 0;
}

// A test that needs the sound server and finds none fails where the server
// is promised (QUAVIRA_REQUIRE_SOUND, set by scripts/test), else skips.
inline bool soundServerAnswers()
{
    return std::system("pactl info >/dev/null 2>&1") == 0;
}

#define QUAVIRA_NEED_SOUND_SERVER()                                                                             \
    do {                                                                                                        \
        if (!::quavira::sound::soundServerAnswers()) {                                                          \
            if (std::getenv("QUAVIRA_REQUIRE_SOUND"))                                                           \
                FAIL() << "no sound server answers PULSE_SERVER";                                               \
            GTEST_SKIP() << "no sound server answers (run through ctest, which starts one)";                    \
        }                                                                                                       \
    } while (false)

// Records the sink's monitor on a thread: a fixed number of bytes, taken
// with head -c so that parec is never killed with data unflushed. The
// sink hands a frame to its monitor when it renders it, and no block can
// arrive before its last frame was rendered, so the earliest arrival
// against the frame count bounds when a frame was rendered: timeOf() errs
// late, never early.
class MonitorRecording {
public:
    explicit MonitorRecording(double seconds)
    {
        const auto bytes = static_cast<std::size_t>(seconds * kRate) * 2;
        const std::string command = "parec --device=" + sinkName() +
                                    ".monitor --format=u8 --channels=2 --rate=44100 --latency-msec=10 --raw "
                                    "2>/dev/null | head -c " + std::to_string(bytes);
        m_pipe = ::popen(command.c_str(), "r");
        if (m_pipe)
            m_reader = std::thread([this] { read(); });
    }
    ~MonitorRecording() { finish(); }
    MonitorRecording(const MonitorRecording&) = delete;
    MonitorRecording& operator=(const MonitorRecording&) = delete;

    // Until a quarter of a second arrived (an idle null sink renders in
    // 2-s blocks; a recorded one keeps pace). False if it never does.
    bool waitLive()
    {
        for (const auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
            if (m_received.load() >= 22050)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    const Bytes& finish()
    {
        if (m_reader.joinable())
            m_reader.join();
        if (m_pipe) {
            ::pclose(m_pipe);
            m_pipe = nullptr;
        }
        return m_bytes;
    }
    Clock::time_point timeOf(std::size_t frame) const
    {
        // From the blocks that ended within a third of a second after the
        // frame: a server that rewinds its sink (a stream starting) can make
        // the monitor lose frames, which shifts every later block.
        std::lock_guard lock(m_mutex);
        std::optional<Clock::time_point> zero;
        for (const auto& [arrived, end] : m_arrivals)
            if (end >= frame && end <= frame + 14700) {
                const Clock::time_point z = arrived - seconds(static_cast<double>(end));
                if (!zero || z < *zero)
                    zero = z;
            }
        return zero.value_or(Clock::time_point{}) + seconds(static_cast<double>(frame));
    }
    double msAfter(Clock::time_point call, std::size_t frame) const
    {
        return std::chrono::duration<double, std::milli>(timeOf(frame) - call).count();
    }

private:
    static Clock::duration seconds(double frames)
    {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(frames / kRate));
    }

    void read()
    {
        std::uint8_t chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, m_pipe)) > 0) {
            const Clock::time_point arrived = Clock::now();
            std::lock_guard lock(m_mutex);
            m_bytes.insert(m_bytes.end(), chunk, chunk + n);
            m_arrivals.emplace_back(arrived, m_bytes.size() / 2);
            m_received.store(m_bytes.size());
        }
    }

    FILE* m_pipe = nullptr;
    std::thread m_reader;
    mutable std::mutex m_mutex;
    Bytes m_bytes;
    std::vector<std::pair<Clock::time_point, std::size_t>> m_arrivals;  // when, frames received by then
    std::atomic<std::size_t> m_received{0};
};

inline Bytes snapshot(const LoopBuffer& engine)
{
    Bytes bytes;
    for (const Sample& s : engine.samples())
        bytes.push_back(s.load());
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

inline int largestStep(const Bytes& rec, int channel, std::size_t from, std::size_t to)
{
    int step = 0;
    for (std::size_t f = from + 1; f < std::min(to, frames(rec)); ++f)
        step = std::max(step, std::abs(rec[2 * f + channel] - rec[2 * (f - 1) + channel]));
    return step;
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
// for at most one fade per change they cover. Empty when they do.
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
        if (end - f > LoopRenderer::kFadeFrames * (*settled - current))
            return "a fade of " + std::to_string(end - f) + " frames at frame " + std::to_string(f) + " for " +
                   std::to_string(*settled - current) + " change(s)";
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

// Tones play 2.34 ppm sharp: the synthesis uses 3.1416 for pi.
inline double heardHz(int hz)
{
    return hz * 3.1416 / std::numbers::pi;
}

}  // namespace quavira::sound
