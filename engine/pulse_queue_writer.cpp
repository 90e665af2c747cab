// SPDX-License-Identifier: GPL-3.0-or-later
// What the libpulse stream is sent.
#include "pulse_queue_writer.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <utility>

namespace quavira {

namespace {

using std::chrono::microseconds;

constexpr std::uint32_t kBytesPerFrame = 2;

// What a rewrite sends first, before it renders any more: the fade and
// then some, since the server may reach it within milliseconds and the
// margin does not allow for the time rendering takes (a busy machine, a
// sanitizer build). Then the rest of its head; the rest of the queue
// follows a moment later, unless another rewrite replaces it first: over a
// second of it, sent at every step of a drag, would hold up at the server
// the head of the next rewrite behind it.
constexpr std::uint64_t kRewriteFirstFrames = LoopRenderer::kFadeFrames + kFramesPerSecond * 5 / 1000;
constexpr std::uint64_t kRewriteHeadFrames = kFramesPerSecond * 40 / 1000;
constexpr microseconds kRewriteBodyDelay{5'000};

std::uint64_t framesSince(PulseClock::time_point then, PulseClock::time_point now)
{
    const auto us = std::chrono::duration_cast<microseconds>(now - then).count();
    return us > 0 ? static_cast<std::uint64_t>(us) * kFramesPerSecond / 1'000'000 : 0;
}

}  // namespace

PulseQueueWriter::PulseQueueWriter(PulseConnection& connection)
    : m_connection(connection), m_bodyTimer(connection, [this] { sendBody(); })
{
    for (auto& copy : m_copies)
        copy.assign(kLoopBytes, LoopRenderer::kSilence);
}

void PulseQueueWriter::takeLoop(const Sample* data)
{
    m_latestCopy = 1 - m_playingCopy;
    loadBytes({data, kLoopBytes}, m_copies[m_latestCopy].data());
}

const std::uint8_t* PulseQueueWriter::loopFor(Loop loop)
{
    if (loop == Loop::Latest)
        m_playingCopy = m_latestCopy;
    return m_copies[m_playingCopy].data();
}

void PulseQueueWriter::restartAt(std::uint64_t frame)
{
    m_renderer.restartAt(frame);
}

template <typename Begin>
void PulseQueueWriter::rewriteAt(std::uint64_t frame, std::uint64_t until, Begin begin)
{
    const std::uint64_t end = std::max(queuedEnd(), until);
    queueUntil(frame);
    begin();
    rewriteUntil(end);
}

void PulseQueueWriter::startAt(std::uint64_t first, std::uint64_t until, Loop loop)
{
    rewriteAt(first, until, [&] { m_renderer.start(first, loopFor(loop)); });
}

void PulseQueueWriter::changeAt(std::uint64_t from, std::uint64_t until, Loop loop)
{
    rewriteAt(from, until, [&] { m_renderer.change(from, loopFor(loop)); });
}

std::uint64_t PulseQueueWriter::stopAt(std::uint64_t from)
{
    rewriteAt(from, from + LoopRenderer::kFadeFrames, [&] { m_renderer.stop(from); });
    return from + LoopRenderer::kFadeFrames;
}

void PulseQueueWriter::fullLevel()
{
    m_level.reset();
    m_levelEnd = 0;
    m_levelDepth = 0;
}

void PulseQueueWriter::anchorLevel(std::uint64_t frame, PulseClock::time_point when)
{
    m_anchorFrame = frame;
    m_anchorTime = when;
}

void PulseQueueWriter::moveLevelLater(double depth, std::uint64_t frames, PulseClock::time_point now)
{
    const std::uint64_t from = m_anchorFrame + framesSince(m_anchorTime, now);
    m_level.moveTo(from, depth, frames);
    m_levelEnd = from + frames;
    m_levelDepth = depth;
}

void PulseQueueWriter::carryLevel(std::uint64_t first, PulseClock::time_point when)
{
    const std::uint64_t then = m_anchorFrame + framesSince(m_anchorTime, when);
    const double depth = m_level.depthAt(then);
    const std::uint64_t left = m_levelEnd > then ? m_levelEnd - then : 0;
    first = std::max<std::uint64_t>(first, 1);
    // At `depth` from frame 1 on (frame 0 is the lead-in's), moving on
    // from `first` as the move would have.
    m_level.reset();
    m_level.moveTo(0, depth, 0);
    m_level.moveTo(first, m_levelDepth, left);
    m_levelEnd = first + left;
    anchorLevel(first, when);
}

void PulseQueueWriter::moveLevel(std::uint64_t from, double depth, std::uint64_t frames)
{
    m_level.moveTo(from, depth, frames);
    m_levelEnd = from + frames;
    m_levelDepth = depth;
    const std::uint64_t end = endOfQueue();
    if (from >= end)
        return;
    const std::size_t count = static_cast<std::size_t>(end - from);
    m_scratch.resize(count * kBytesPerFrame);
    m_renderer.copyRendered(from, m_scratch.data(), count);
    sendScratchAt(from);
}

void PulseQueueWriter::queueUntil(std::uint64_t end)
{
    const std::uint64_t start = m_renderer.position();
    if (end <= start)
        return;
    const std::size_t frames = static_cast<std::size_t>(end - start);
    m_scratch.resize(frames * kBytesPerFrame);
    m_renderer.render(m_scratch.data(), frames);
    sendScratchAt(start);
}

void PulseQueueWriter::sendScratchAt(std::uint64_t first)
{
    // The output's level, in one place, on everything sent.
    m_level.apply(m_scratch.data(), first, m_scratch.size() / kBytesPerFrame);
    pa_stream_write(m_connection.stream(), m_scratch.data(), m_scratch.size(), nullptr,
                    static_cast<std::int64_t>(first * kBytesPerFrame), PA_SEEK_ABSOLUTE);
}

void PulseQueueWriter::rewriteUntil(std::uint64_t end)
{
    const std::uint64_t from = m_renderer.position();
    queueUntil(std::min(end, from + kRewriteFirstFrames));
    queueUntil(std::min(end, from + kRewriteHeadFrames));
    if (end <= m_renderer.position())
        return;
    m_bodyEnd = end;
    if (!m_bodyTimer.armed())
        m_bodyTimer.arm(kRewriteBodyDelay);
}

void PulseQueueWriter::sendBody()
{
    if (!m_bodyEnd)
        return;
    m_bodyTimer.cancel();
    queueUntil(*std::exchange(m_bodyEnd, std::nullopt));
    // What the server asked for meanwhile, beyond the body.
    refill();
}

void PulseQueueWriter::refill()
{
    if (m_bodyEnd || !m_connection.stream())
        return;
    const std::size_t bytes = pa_stream_writable_size(m_connection.stream());
    if (bytes == static_cast<std::size_t>(-1) || bytes < kBytesPerFrame)
        return;
    queueUntil(m_renderer.position() + bytes / kBytesPerFrame);
}

std::uint64_t PulseQueueWriter::queuedEnd() const
{
    return std::max(m_renderer.position(), m_bodyEnd.value_or(0));
}

std::uint64_t PulseQueueWriter::endOfQueue()
{
    sendBody();
    return m_renderer.position();
}

void PulseQueueWriter::dropBody()
{
    m_bodyTimer.cancel();
    m_bodyEnd.reset();
}

}  // namespace quavira
