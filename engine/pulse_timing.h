// SPDX-License-Identifier: GPL-3.0-or-later
// Where the sound server reads the stream, and how far ahead of that a
// rewrite must start: what the server reports, and the steps it is seen to
// take.
#pragma once

#include "loop_format.h"
#include "pulse_connection.h"

#include <array>
#include <chrono>
#include <cstdint>

#include <pulse/def.h>

struct pa_operation;
struct pa_stream;
struct pa_time_event;

namespace quavira {

// How the stream is buffered. Deep while the user listens: the sink may run
// a long latency (about 200 ms) and the server a large quantum, as for a
// music player, so the whole desktop wakes rarely. Quick while the user
// acts: a sink latency of a few milliseconds, so changes are heard at once.
// The client's own queue is deep in both, so it wakes a few times a second.
enum class Latency { Deep, Quick };

pa_buffer_attr bufferAttributes(Latency latency);
// Frames the client keeps queued in `latency`.
std::uint64_t queueFrames(Latency latency);

// The stream's progress at the server at one moment.
struct StreamPosition {
    std::uint64_t read = 0;        // stream frames the server has taken
    std::uint64_t sinkFrames = 0;  // of those, the ones the sink holds unplayed
    PulseClock::time_point asked;  // the server was asked
    PulseClock::time_point answered;

    std::uint64_t played() const { return read > sinkFrames ? read - sinkFrames : 0; }
};

// The read position of one stream and the margins taken from it. The
// server takes a stream in steps: PulseAudio's sink its latency's worth
// when what it holds runs low, PipeWire one graph quantum per cycle. A
// write must reach the server before the read index passes its first
// frame, or PulseAudio rewinds its sink (and a sink that cannot rewind
// plays a jump) and PipeWire drops it. So the margin is one step (two
// while deep, where a sink that caught up after a late wake-up may take
// more at once), unless the sink is seen to hold enough that it takes
// nothing before the write arrives.
//
// The steps are learnt by watching the read index closely for a moment
// after every start and change of latency; until then the step the latency
// asked for, or the last one learnt if larger, is assumed. Called under the
// main loop's lock, from either thread.
class StreamTiming {
public:
    explicit StreamTiming(PulseConnection& connection);
    ~StreamTiming();
    StreamTiming(const StreamTiming&) = delete;
    StreamTiming& operator=(const StreamTiming&) = delete;

    // The position now, asked of the server; false when it does not answer
    // by `deadline`. UI thread (waits).
    bool fetch(Deadline deadline, StreamPosition* position);

    // The read and sink figures of the last timing the server reported
    // (its times are left to the caller); false when there is none.
    bool lastReported(StreamPosition* position) const;

    // The stream now asks for `latency` (or is new): what was learnt stays
    // only as a floor until the steps are seen again.
    void expect(Latency latency);
    // Watches the read index of the playing stream for a moment, from
    // libpulse's thread; stopCalibrating ends it early (stream corked or
    // gone).
    void calibrate();
    void stopCalibrating();

    // Frames the read index may move at once.
    std::uint64_t stepFrames() const;
    // The first stream frame a write sent now may start at, from a position
    // fetch() just returned.
    std::uint64_t writableFrom(const StreamPosition& position) const;
    // How long from now until stream frame `frame` has been played.
    std::chrono::microseconds untilPlayed(std::uint64_t frame, const StreamPosition& position) const;

private:
    void noteRoundTrip(const StreamPosition& position);
    void observe(const StreamPosition& sample);
    void sampleSoon();
    void sample();
    static void onSample(pa_stream* stream, int success, void* self);

    PulseConnection& m_connection;
    Latency m_latency = Latency::Quick;
    // The step assumed until steps are seen: before any was, one that
    // PipeWire's largest default quantum (2048 frames at 48 kHz) fits in.
    std::uint64_t m_floorFrames = kFramesPerSecond * 50 / 1000;
    std::uint64_t m_learntFrames = 0;    // the largest step seen since expect
    std::uint32_t m_stepsSeen = 0;
    // The last round trips to the server: a write may take as long as the
    // slowest of them, not just as long as the latest.
    std::array<PulseClock::duration, 16> m_roundTrips{};
    std::size_t m_nextRoundTrip = 0;
    std::uint64_t m_refillSinkFrames = 0;  // most the sink held just before a step

    // The calibration under way.
    pa_operation* m_sampling = nullptr;
    pa_time_event* m_sampleTimer = nullptr;
    PulseClock::time_point m_calibrationStart{};
    PulseClock::time_point m_sampleAsked{};
    std::uint32_t m_stepsInCalibration = 0;
    bool m_haveLast = false;
    StreamPosition m_last{};
};

}  // namespace quavira
