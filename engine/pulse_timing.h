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
#include <functional>
#include <optional>

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

// One request for the stream's position on its way to the server, answered
// on libpulse's thread: `answered` gets the position, with when it was
// asked and answered, or null when the server could not tell. Asking while
// one is on its way does nothing. Under the main loop's lock.
class PositionRequest {
public:
    using Answered = std::function<void(const StreamPosition*)>;

    PositionRequest(PulseConnection& connection, Answered answered);
    ~PositionRequest() { cancel(); }
    PositionRequest(const PositionRequest&) = delete;
    PositionRequest& operator=(const PositionRequest&) = delete;

    // False when no request could be sent (no stream).
    bool ask();
    void cancel();
    bool pending() const { return m_operation != nullptr; }

private:
    static void onAnswer(pa_stream* stream, int success, void* self);

    PulseConnection& m_connection;
    Answered m_answered;
    pa_operation* m_operation = nullptr;
    PulseClock::time_point m_asked{};
};

// The read and sink figures of the last timing the server reported about
// `stream` (its times are left to the caller); false when there is none.
bool reportedPosition(pa_stream* stream, StreamPosition* position);

// What a request for the stream's position came to by its caller's
// deadline: answered, still on its way (a server that is late, not lost),
// or failed (the stream or the connection is gone).
enum class Answer { Fresh, Late, Failed };

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
// asked for, or the last one learnt if larger, is assumed. Turning quick
// keeps what was learnt deep until the quick steps are seen: the sink plays
// out what it holds from the deep latency first, and takes nothing meanwhile.
// Called under the main loop's lock, from either thread.
class StreamTiming {
public:
    // `late` is told, on libpulse's thread, when a request that outlived
    // its caller's deadline is answered: the server is back.
    StreamTiming(PulseConnection& connection, std::function<void()> late);
    ~StreamTiming();
    StreamTiming(const StreamTiming&) = delete;
    StreamTiming& operator=(const StreamTiming&) = delete;

    // The position now, asked of the server and waited for until `deadline`.
    // A request still on its way from an earlier call is waited for rather
    // than asked again, and not at all once a caller gave up on it. Late:
    // `late` is told when the answer comes. UI thread (waits).
    Answer fetch(Deadline deadline, StreamPosition* position);
    // Drops a request on its way: the stream it asked about is gone.
    void forget();

    // The read and sink figures of the last timing the server reported
    // (its times are left to the caller); false when there is none.
    bool lastReported(StreamPosition* position) const;

    // A new stream, on a server that may differ from the last: nothing
    // learnt holds.
    void restart(Latency latency);
    // The stream now asks for `latency`: what was learnt stays as a floor
    // until the steps are seen again, and whole while the stream turns
    // quicker.
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
    // Whether an answer came as fast as a server that runs answers, and
    // counts among the round trips a write may take.
    bool noteRoundTrip(const StreamPosition& position);
    void observe(const StreamPosition& sample);
    void answered(const StreamPosition* position);
    void sampleSoon();
    void sampled(const StreamPosition* position);

    PulseConnection& m_connection;
    std::function<void()> m_late;
    Latency m_latency = Latency::Quick;
    // The step assumed until steps are seen: before any was, one that
    // PipeWire's largest default quantum (2048 frames at 48 kHz) fits in.
    std::uint64_t m_floorFrames = kFramesPerSecond * 50 / 1000;
    std::uint64_t m_learntFrames = 0;    // the largest step seen since expect
    std::uint32_t m_stepsSeen = 0;
    // The steps above were seen deep and are kept while the stream turns
    // quick, until a quick one is seen.
    bool m_deepModel = false;
    bool m_carried = false;
    // The last round trips to the server: a write may take as long as the
    // slowest of them, not just as long as the latest.
    std::array<PulseClock::duration, 16> m_roundTrips{};
    std::size_t m_nextRoundTrip = 0;
    std::uint64_t m_refillSinkFrames = 0;  // most the sink held just before a step

    // The position fetch() asked for, and whether its caller gave up on it.
    PositionRequest m_request;
    std::optional<StreamPosition> m_answer;
    bool m_callerGone = false;

    // The calibration under way.
    PositionRequest m_sample;
    pa_time_event* m_sampleTimer = nullptr;
    PulseClock::time_point m_calibrationStart{};
    std::uint32_t m_stepsInCalibration = 0;
    bool m_haveLast = false;
    StreamPosition m_last{};
};

}  // namespace quavira
