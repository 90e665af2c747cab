// SPDX-License-Identifier: GPL-3.0-or-later
// Where the sound server reads the stream, and the margins taken from it.
#include "pulse_timing.h"

#include "loop_format.h"
#include "loop_renderer.h"
#include "output_stage.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <optional>
#include <utility>

namespace quavira {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;

constexpr std::uint32_t kBytesPerFrame = kOutputBytesPerFrame;

struct Shape {
    std::uint32_t queueMs;    // tlength: what the client keeps queued
    std::uint32_t requestMs;  // minreq: how much it is asked for at once
};
// Without latency adjustment the server gives the sink tlength - 2 x minreq
// of the queue: 200 ms deep, 4 ms quick (PipeWire's pulse server: its
// largest quantum, and 256 frames at 48 kHz). The rest stays queued, never
// less than tlength - minreq: a server that stalls for a moment and then
// catches up at once (a null sink, a sink that lost its clock) takes up to
// the stall's length in one go, and finds it there for stalls of up to
// three quarters of a second.
constexpr Shape kDeep{1700, 750};
constexpr Shape kQuick{1500, 748};
// A rewrite fades from what was queued, which the renderer must still
// remember: everything queued, and the stall a late call may have to
// bring in line after.
static_assert(LoopRenderer::kHistoryFrames > kFramesPerSecond * (std::max(kDeep.queueMs, kQuick.queueMs) + 1000) / 1000);

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
// What a sink must hold beyond its refill level and the transit for a
// write to go right at the read index.
constexpr std::uint64_t kHoldingSpare = kFramesPerSecond * 5 / 1000;
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
// Before any step was seen on a server: one that PipeWire's largest
// default quantum (2048 frames at 48 kHz) fits in.
constexpr std::uint64_t kUnknownStepFrames = kFramesPerSecond * 50 / 1000;
// A round trip longer than one user action may wait is a stall.
constexpr PulseClock::duration kStalledRoundTrip = ActionBudget::kBudget;

// The step a latency asks the server for: what the sink holds of the queue.
std::uint64_t askedStepFrames(Latency latency)
{
    const Shape shape = shapeOf(latency);
    return kFramesPerSecond * (shape.queueMs - 2 * shape.requestMs) / 1000;
}

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

PositionRequest::PositionRequest(PulseConnection& connection, Answered answered)
    : m_connection(connection), m_answered(std::move(answered))
{
}

bool PositionRequest::ask()
{
    if (m_operation)
        return true;
    pa_stream* stream = m_connection.stream();
    if (!stream || pa_stream_get_state(stream) != PA_STREAM_READY)
        return false;
    m_asked = PulseClock::now();
    m_operation = pa_stream_update_timing_info(stream, onAnswer, this);
    return m_operation != nullptr;
}

void PositionRequest::cancel()
{
    if (!m_operation)
        return;
    pa_operation_cancel(m_operation);
    pa_operation_unref(m_operation);
    m_operation = nullptr;
}

void PositionRequest::onAnswer(pa_stream* stream, int success, void* self)
{
    auto* me = static_cast<PositionRequest*>(self);
    pa_operation_unref(me->m_operation);
    me->m_operation = nullptr;
    StreamPosition position;
    position.asked = me->m_asked;
    position.answered = PulseClock::now();
    const bool good = success && reportedPosition(stream, &position);
    me->m_answered(good ? &position : nullptr);
}

bool reportedPosition(pa_stream* stream, StreamPosition* position)
{
    const pa_timing_info* timing = stream ? pa_stream_get_timing_info(stream) : nullptr;
    if (!timing || timing->read_index_corrupt || timing->read_index < 0)
        return false;
    position->read = static_cast<std::uint64_t>(timing->read_index) / kBytesPerFrame;
    position->sinkFrames = timing->sink_usec * kFramesPerSecond / 1'000'000;
    return true;
}

StreamTiming::StreamTiming(PulseConnection& connection, std::function<void()> late)
    : m_connection(connection),
      m_late(std::move(late)),
      m_request(connection, [this](const StreamPosition* position) { answered(position); }),
      m_sample(connection, [this](const StreamPosition* position) { sampled(position); })
{
}

StreamTiming::~StreamTiming()
{
    stopCalibrating();
    forget();
}

bool StreamTiming::lastReported(StreamPosition* position) const
{
    return reportedPosition(m_connection.stream(), position);
}

Answer StreamTiming::fetch(Deadline deadline, StreamPosition* position)
{
    // A request its caller gave up on is still on its way: the server is
    // stalled, and a call now need not wait for it again.
    if (m_request.pending() && m_callerGone)
        return Answer::Late;
    // Asked for now: the automatic updates can be a second old. A request
    // already on its way answers as soon as a new one would.
    if (!m_request.pending()) {
        m_answer.reset();
        if (!m_request.ask())
            return Answer::Failed;
    }
    const PulseConnection::Wait wait = m_connection.waitUntil(
        [this]() -> std::optional<bool> {
            if (m_request.pending())
                return std::nullopt;
            return m_answer.has_value();
        },
        deadline);
    if (wait == PulseConnection::Wait::TimedOut) {
        m_callerGone = true;
        return Answer::Late;
    }
    if (wait == PulseConnection::Wait::Failed)
        return Answer::Failed;
    *position = *m_answer;
    return Answer::Fresh;
}

void StreamTiming::forget()
{
    m_request.cancel();
    m_callerGone = false;
}

void StreamTiming::answered(const StreamPosition* position)
{
    if (position) {
        m_answer = *position;
        noteRoundTrip(*position);
    } else {
        m_answer.reset();
    }
    pa_threaded_mainloop_signal(m_connection.mainloop(), 0);
    if (std::exchange(m_callerGone, false) && position)
        m_late();
}

bool StreamTiming::noteRoundTrip(const StreamPosition& position)
{
    // A server that stalled (its main loop busy, a device being probed)
    // answers late once and then as fast as ever: that answer says nothing
    // of how long a write takes to arrive.
    const auto roundTrip = position.answered - position.asked;
    if (roundTrip > kStalledRoundTrip)
        return false;
    m_roundTrips[m_nextRoundTrip] = roundTrip;
    m_nextRoundTrip = (m_nextRoundTrip + 1) % m_roundTrips.size();
    return true;
}

void StreamTiming::restart(Latency latency)
{
    m_latency = latency;
    m_floorFrames = std::max(kUnknownStepFrames, askedStepFrames(latency));
    m_learntFrames = 0;
    m_stepsSeen = 0;
    m_refillSinkFrames = 0;
    m_deepModel = latency == Latency::Deep;
    m_carried = false;
}

void StreamTiming::expect(Latency latency)
{
    const bool quicker = latency == Latency::Quick && m_latency == Latency::Deep;
    m_latency = latency;
    if (quicker && m_stepsSeen >= kStepsToSee) {
        // The sink plays out what it holds at the deep latency before it
        // takes anything more, and then takes the quick latency's steps:
        // what was learnt deep holds until those are seen.
        m_carried = true;
        return;
    }
    m_floorFrames = std::max(stepFrames(), askedStepFrames(latency));
    m_learntFrames = 0;
    m_stepsSeen = 0;
    m_refillSinkFrames = 0;
    m_deepModel = latency == Latency::Deep;
    m_carried = false;
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
    // before then; with a few milliseconds to spare, since the write also
    // waits for its turn at the server (and a sink of a few milliseconds
    // gains little by it).
    if (m_stepsSeen >= kStepsToSee && position.sinkFrames > m_refillSinkFrames + transit + kHoldingSpare)
        return position.read + kGuardFrames;
    const std::uint64_t steps = m_latency == Latency::Deep || m_deepModel ? 2 : 1;
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
    m_sample.ask();
}

void StreamTiming::stopCalibrating()
{
    m_sample.cancel();
    m_connection.freeTimer(m_sampleTimer);
}

void StreamTiming::sampleSoon()
{
    const auto holding = microseconds(m_last.sinkFrames * 1'000'000 / kFramesPerSecond);
    m_sampleTimer = m_connection.newTimer(
        std::clamp(holding / 2, kSampleEvery, kLongestSampleGap),
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            auto* me = static_cast<StreamTiming*>(self);
            me->m_connection.freeTimer(me->m_sampleTimer);
            me->m_sample.ask();
        },
        this);
}

void StreamTiming::sampled(const StreamPosition* position)
{
    if (position && noteRoundTrip(*position))
        observe(*position);
    if (m_stepsInCalibration < kStepsToSee && PulseClock::now() - m_calibrationStart < kCalibrationLength)
        sampleSoon();
}

void StreamTiming::observe(const StreamPosition& sample)
{
    if (m_haveLast && sample.read > m_last.read && sample.answered - m_last.asked <= kCloseSamples) {
        if (m_carried) {
            // The first step of the new latency: what was learnt before
            // stays only as the floor.
            m_floorFrames = std::max(stepFrames(), askedStepFrames(m_latency));
            m_learntFrames = 0;
            m_stepsSeen = 0;
            m_refillSinkFrames = 0;
            m_deepModel = m_latency == Latency::Deep;
            m_carried = false;
        }
        m_learntFrames = std::max(m_learntFrames, sample.read - m_last.read);
        m_refillSinkFrames = std::max(m_refillSinkFrames, m_last.sinkFrames);
        ++m_stepsSeen;
        ++m_stepsInCalibration;
    }
    m_last = sample;
    m_haveLast = true;
}

}  // namespace quavira
