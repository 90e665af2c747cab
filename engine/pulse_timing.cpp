// SPDX-License-Identifier: GPL-3.0-or-later
// Where the sound server reads the stream, and the margins taken from it.
#include "pulse_timing.h"

#include "loop_format.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

namespace quavira {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;

constexpr std::uint32_t kBytesPerFrame = 2;

struct Shape {
    std::uint32_t queueMs;    // tlength: what the client keeps queued
    std::uint32_t requestMs;  // minreq: how much it is asked for at once
};
// Without latency adjustment the server gives the sink tlength - 2 x minreq
// of the queue: 200 ms deep, 4 ms quick (PipeWire's pulse server: its
// largest quantum, and 256 frames at 48 kHz).
constexpr Shape kDeep{600, 200};
constexpr Shape kQuick{450, 223};

Shape shapeOf(Latency latency)
{
    return latency == Latency::Deep ? kDeep : kQuick;
}

std::uint64_t framesIn(PulseClock::duration span)
{
    const auto us = std::max<long long>(duration_cast<microseconds>(span).count(), 0);
    return static_cast<std::uint64_t>(us) * kFramesPerSecond / 1'000'000;
}

// Besides the time the write takes to arrive: for the server's own clock
// and scheduling.
constexpr std::uint64_t kGuardFrames = kFramesPerSecond / 1000;
// The read index is watched this closely while calibrating, when the sink
// may take a step any moment; while it holds more, every half of that...
constexpr microseconds kSampleEvery{1000};
constexpr microseconds kLongestSampleGap{100'000};
// ...and two samples further apart than this tell nothing of one step.
constexpr PulseClock::duration kCloseSamples = std::chrono::milliseconds(4);
// A calibration ends once it saw this many steps, or after kCalibrationLength
// (a sink that was idle may first play out seconds it rendered ahead).
constexpr std::uint32_t kStepsToSee = 3;
constexpr PulseClock::duration kCalibrationLength = std::chrono::milliseconds(2500);

}  // namespace

pa_buffer_attr bufferAttributes(Latency latency)
{
    const Shape shape = shapeOf(latency);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(kFramesPerSecond * shape.queueMs / 1000 * kBytesPerFrame);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(kFramesPerSecond * shape.requestMs / 1000 * kBytesPerFrame);
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    return attributes;
}

std::uint64_t queueFrames(Latency latency)
{
    return kFramesPerSecond * shapeOf(latency).queueMs / 1000;
}

StreamTiming::StreamTiming(PulseConnection& connection) : m_connection(connection) {}

StreamTiming::~StreamTiming()
{
    stopCalibrating();
}

bool StreamTiming::lastReported(StreamPosition* position) const
{
    pa_stream* stream = m_connection.stream();
    const pa_timing_info* timing = stream ? pa_stream_get_timing_info(stream) : nullptr;
    if (!timing || timing->read_index_corrupt || timing->read_index < 0)
        return false;
    position->read = static_cast<std::uint64_t>(timing->read_index) / kBytesPerFrame;
    position->sinkFrames = timing->sink_usec * kFramesPerSecond / 1'000'000;
    return true;
}

bool StreamTiming::fetch(Deadline deadline, StreamPosition* position)
{
    // Asked for now: the automatic updates can be a second old.
    PulseReply updated{m_connection.mainloop()};
    position->asked = PulseClock::now();
    if (m_connection.finish(pa_stream_update_timing_info(m_connection.stream(), PulseReply::done, &updated), deadline) !=
            PulseConnection::Wait::Done ||
        !updated.success)
        return false;
    position->answered = PulseClock::now();
    noteRoundTrip(*position);
    return lastReported(position);
}

void StreamTiming::noteRoundTrip(const StreamPosition& position)
{
    m_roundTrips[m_nextRoundTrip] = position.answered - position.asked;
    m_nextRoundTrip = (m_nextRoundTrip + 1) % m_roundTrips.size();
}

void StreamTiming::expect(Latency latency)
{
    const Shape shape = shapeOf(latency);
    const std::uint64_t asked = kFramesPerSecond * (shape.queueMs - 2 * shape.requestMs) / 1000;
    m_floorFrames = std::max(stepFrames(), asked);
    m_latency = latency;
    m_learntFrames = 0;
    m_stepsSeen = 0;
    m_refillSinkFrames = 0;
}

std::uint64_t StreamTiming::stepFrames() const
{
    if (m_stepsSeen >= 2)
        return m_learntFrames;
    return std::max(m_floorFrames, m_learntFrames);
}

std::uint64_t StreamTiming::writableFrom(const StreamPosition& position) const
{
    // The server read its index at some moment since it was asked, and the
    // write leaves now: it may be as slow to arrive as the slowest recent
    // round trip, this position's among them (a busy machine delays one now
    // and then).
    const auto now = PulseClock::now();
    const auto roundTrip = *std::max_element(m_roundTrips.begin(), m_roundTrips.end());
    const std::uint64_t transit = framesIn((now - position.answered) + 2 * roundTrip) + kGuardFrames;
    // A sink that refills only when what it holds runs low takes nothing
    // before then.
    if (m_stepsSeen >= kStepsToSee && position.sinkFrames > m_refillSinkFrames + transit)
        return position.read + kGuardFrames;
    const std::uint64_t steps = m_latency == Latency::Deep ? 2 : 1;
    return position.read + steps * stepFrames() + transit;
}

std::chrono::microseconds StreamTiming::untilPlayed(std::uint64_t frame, const StreamPosition& position) const
{
    if (frame <= position.played())
        return microseconds::zero();
    const auto ahead = microseconds((frame - position.played()) * 1'000'000 / kFramesPerSecond);
    const auto since = duration_cast<microseconds>(PulseClock::now() - position.answered);
    return std::max(ahead - since, microseconds::zero());
}

void StreamTiming::calibrate()
{
    stopCalibrating();
    m_calibrationStart = PulseClock::now();
    m_haveLast = false;
    m_stepsInCalibration = 0;
    sample();
}

void StreamTiming::stopCalibrating()
{
    if (m_sampling) {
        pa_operation_cancel(m_sampling);
        pa_operation_unref(m_sampling);
        m_sampling = nullptr;
    }
    m_connection.freeTimer(m_sampleTimer);
}

void StreamTiming::sample()
{
    pa_stream* stream = m_connection.stream();
    if (!stream || pa_stream_get_state(stream) != PA_STREAM_READY)
        return;
    m_sampleAsked = PulseClock::now();
    m_sampling = pa_stream_update_timing_info(stream, onSample, this);
}

void StreamTiming::sampleSoon()
{
    const auto holding = microseconds(m_last.sinkFrames * 1'000'000 / kFramesPerSecond);
    m_sampleTimer = m_connection.newTimer(
        std::clamp(holding / 2, kSampleEvery, kLongestSampleGap),
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            auto* me = static_cast<StreamTiming*>(self);
            me->m_connection.freeTimer(me->m_sampleTimer);
            me->sample();
        },
        this);
}

void StreamTiming::onSample(pa_stream*, int success, void* self)
{
    auto* me = static_cast<StreamTiming*>(self);
    if (me->m_sampling) {
        pa_operation_unref(me->m_sampling);
        me->m_sampling = nullptr;
    }
    StreamPosition position;
    if (success && me->lastReported(&position)) {
        position.asked = me->m_sampleAsked;
        position.answered = PulseClock::now();
        me->noteRoundTrip(position);
        me->observe(position);
    }
    if (me->m_stepsInCalibration < kStepsToSee && PulseClock::now() - me->m_calibrationStart < kCalibrationLength)
        me->sampleSoon();
}

void StreamTiming::observe(const StreamPosition& sample)
{
    if (m_haveLast && sample.read > m_last.read && sample.answered - m_last.asked <= kCloseSamples) {
        m_learntFrames = std::max(m_learntFrames, sample.read - m_last.read);
        m_refillSinkFrames = std::max(m_refillSinkFrames, m_last.sinkFrames);
        ++m_stepsSeen;
        ++m_stepsInCalibration;
    }
    m_last = sample;
    m_haveLast = true;
}

}  // namespace quavira
