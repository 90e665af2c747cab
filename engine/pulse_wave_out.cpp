// SPDX-License-Identifier: GPL-3.0-or-later
// Wave-out on the desktop's sound server through libpulse: the calls, the
// playback states, and the stream's latency following the user.
#include "pulse_wave_out.h"

#include "loop_format.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

namespace quavira {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;

// Silence before a tone that comes back on a new stream: PulseAudio may
// rewind its sink as it mixes the stream in.
constexpr std::uint64_t kResumeLeadInFrames = kFramesPerSecond * 30 / 1000;
// Silence before the loop when a corked stream starts: PulseAudio rewinds
// its sink to mix the stream in at once, and what the sink holds of its
// quick latency (4 ms) goes out as it was, the stream's first frames lost
// under it. The fade-in starts after that.
constexpr std::uint64_t kStartLeadInFrames = kFramesPerSecond * 7 / 1000;
// After a fade-out's last frame was played by the server's account, before
// the stream is corked: for the server's clock and rounding.
constexpr microseconds kCorkSlack{5'000};
// A fade check the server could not answer is asked again after this.
constexpr microseconds kFadeCheckRetry{20'000};
constexpr int kMostFadeCheckFailures = 10;
// A change of latency is calibrated once the server has moved to it: one
// step of the old latency, PipeWire's largest quantum at most, may still
// follow the change.
constexpr microseconds kSettleBeforeCalibrating{60'000};

}  // namespace

PulseWaveOut::PulseWaveOut()
    : m_connection(*this),
      m_timing(m_connection, [this] { m_late.serverBack(); }),
      m_corkedPosition(m_connection, [this](const StreamPosition* position) { corkedPositionAnswered(position); }),
      m_late(m_connection, m_timing,
             [this](LateAnswer::Kind kind, std::uint64_t frame, const StreamPosition& position) {
                 bringInLine(kind, frame, position);
             }),
      m_writer(m_connection),
      m_fadeTimer(m_connection, [this] { checkFadedOut(); }),
      m_fadeCheck(m_connection, [this](const StreamPosition* position) { fadeCheckAnswered(position); }),
      m_quietTimer(m_connection, [this] { quietTimerRang(); }),
      m_calibrateTimer(m_connection,
                       [this] {
                           if (m_playback == Playback::Playing || m_playback == Playback::Primed)
                               m_timing.calibrate();
                       })
{
}

PulseWaveOut::~PulseWaveOut()
{
    // What the system does when the process ends, with manners: a tone
    // fades out and is heard to its end before the stream goes, whatever
    // the program did or did not call.
    if (!m_connection.mainloop())
        return;
    MainloopLock lock(m_connection.mainloop());
    releaseStream();
}

MmResult PulseWaveOut::open(WaveOutHandle* handle, std::uint32_t deviceId, const WaveFormatEx& format)
{
    if (const MmResult refused = m_checks.open(handle, deviceId, format))
        return refused;
    if (!m_connection.startMainloop())
        return kMmSysNoMemory;

    const MmResult result = [&] {
        MainloopLock lock(m_connection.mainloop());
        // Nobody on the socket fails at once; a server still starting up
        // (socket-activated at login, say) is given time.
        const auto now = PulseClock::now();
        m_latency = Latency::Deep;
        m_quick.store(false, std::memory_order_relaxed);
        return connect(now + ActionBudget::kBudget, now + kOpenBudget);
    }();
    if (result != kMmSysNoError)
        return result;
    m_checks.opened(handle);
    return kMmSysNoError;
}

MmResult PulseWaveOut::prepareHeader(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize)
{
    return m_checks.prepare(handle, header, headerSize);
}

MmResult PulseWaveOut::write(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize)
{
    if (const MmResult refused = m_checks.header(handle, header, headerSize, true))
        return refused;

    noteInput();
    const BudgetedCall call(m_budget);
    MainloopLock lock(m_connection.mainloop());
    // Until this write has succeeded, a server lost under it brings nothing back.
    m_wantPlaying = false;
    m_connection.stopResuming();
    if (!m_connection.connected() && connect(call.deadline(), call.deadline()) != kMmSysNoError)
        return kMmSysError;
    m_data = header->data;
    m_writer.takeLoop(m_data);
    m_fadeTimer.cancel();
    m_writer.fullLevel();
    const Latency wanted = recentInput() ? Latency::Quick : Latency::Deep;
    const MmResult result = m_playback == Playback::Stopped ? startFromCorked(call.deadline(), wanted)
                                                            : startPlaying(call.deadline(), wanted);
    m_wantPlaying = result == kMmSysNoError;
    return result;
}

MmResult PulseWaveOut::startFromCorked(Deadline deadline, Latency wanted)
{
    // Corked, the server reads nothing: the loop goes right at the read
    // index, and on uncorking PulseAudio rewinds its sink to mix the
    // stream in at once (PipeWire takes it at its next cycle). The new
    // latency, the writes and the uncork reach the server in that order.
    const std::optional<std::uint64_t> corkedRead = m_corkedRead;
    forgetCorkedPosition();
    std::uint64_t read = 0;
    if (corkedRead) {
        read = *corkedRead;
    } else {
        const WritePoint at = writePoint(deadline, true);
        if (at.answer == Answer::Failed)
            return kMmSysError;
        read = at.frame;
        // Heard once the server reaches it, and moved up when it answers.
        if (at.answer == Answer::Late)
            m_late.note(LateAnswer::Kind::CorkedStart, read + kStartLeadInFrames);
    }
    if (!m_flushed)
        pa_operation_unref(pa_stream_flush(m_connection.stream(), nullptr, nullptr));
    if (wanted != m_latency)
        setLatency(wanted);
    m_writer.restartAt(read);
    beginPlaying(read + kStartLeadInFrames);
    PulseReply uncorked{m_connection.mainloop()};
    const PulseConnection::Wait wait =
        m_connection.finish(pa_stream_cork(m_connection.stream(), 0, PulseReply::done, &uncorked), deadline);
    // An uncork still on its way is carried out when the server gets to it.
    if (wait == PulseConnection::Wait::Failed || (wait == PulseConnection::Wait::Done && !uncorked.success)) {
        dropConnection();
        return kMmSysError;
    }
    return kMmSysNoError;
}

MmResult PulseWaveOut::startPlaying(Deadline deadline, Latency wanted)
{
    // Playing or fading out: the loop starts again from its first frame,
    // right after what plays now (a fade-out, or silence), or as soon as
    // the server allows if that has passed already.
    if (wanted != m_latency)
        setLatency(wanted);
    const WritePoint at = writePoint(deadline, true);
    if (at.answer == Answer::Failed)
        return kMmSysError;
    if (at.answer == Answer::Late)
        m_late.note(LateAnswer::Kind::Start, at.frame);
    const std::uint64_t silent = m_writer.silentFrom();
    beginPlaying(silent == std::numeric_limits<std::uint64_t>::max() ? at.frame : std::max(at.frame, silent));
    return kMmSysNoError;
}

MmResult PulseWaveOut::reset(WaveOutHandle handle)
{
    if (const MmResult refused = m_checks.call(handle))
        return refused;
    noteInput();
    const BudgetedCall call(m_budget);
    MainloopLock lock(m_connection.mainloop());
    // The user wants silence now, not the tone back when the server returns.
    m_wantPlaying = false;
    m_connection.stopResuming();
    // Without a connection nothing plays: there is nothing to refuse.
    if (!m_connection.connected() || m_playback != Playback::Playing)
        return kMmSysNoError;

    // A stream that went as the call was made plays nothing either.
    const WritePoint at = writePoint(call.deadline(), true);
    if (at.answer == Answer::Failed)
        return kMmSysNoError;
    fadeOutFrom(at.frame);
    if (at.answer == Answer::Fresh) {
        scheduleFadeCheck(m_timing.untilPlayed(m_fadeEnd, at.position));
        return kMmSysNoError;
    }
    // After what is queued: moved up once the server answers. The fade
    // check corks the stream however the answer comes; until it is moved
    // up, it looks when the queue would have played out by the server's
    // last report.
    m_late.note(LateAnswer::Kind::Stop, at.frame);
    StreamPosition reported;
    scheduleFadeCheck(m_timing.lastReported(&reported)
                          ? microseconds((m_fadeEnd - std::min(m_fadeEnd, reported.played())) * 1'000'000 / kFramesPerSecond)
                          : microseconds(queueFrames(m_latency) * 1'000'000 / kFramesPerSecond));
    return kMmSysNoError;
}

MmResult PulseWaveOut::close(WaveOutHandle handle)
{
    if (const MmResult refused = m_checks.call(handle))
        return refused;
    {
        MainloopLock lock(m_connection.mainloop());
        releaseStream();
        m_data = nullptr;
    }
    m_checks.closed();
    return kMmSysNoError;
}

void PulseWaveOut::loopChanged(WaveOutHandle handle)
{
    if (!m_checks.isOpen(handle))
        return;
    noteInput();
    const BudgetedCall call(m_budget);
    MainloopLock lock(m_connection.mainloop());
    // While stopped the next write takes the loop as it then stands; while
    // the server is away, the tone comes back with the loop as it then is.
    if (m_connection.resuming()) {
        m_writer.takeLoop(m_data);
        return;
    }
    if (m_playback != Playback::Playing || !m_connection.connected())
        return;
    m_writer.takeLoop(m_data);
    // Late: after what is queued, heard later, and moved up when the server
    // answers. Failed: the tone comes back when a server answers again.
    const WritePoint at = writePoint(call.deadline(), true);
    if (at.answer == Answer::Failed)
        return;
    m_writer.changeAt(at.frame, at.frame + LoopRenderer::kFadeFrames);
    if (at.answer == Answer::Late)
        m_late.note(LateAnswer::Kind::Change, at.frame);
    if (m_latency == Latency::Deep)
        setLatency(Latency::Quick);
}

void PulseWaveOut::expectChanges(WaveOutHandle handle)
{
    if (!m_checks.isOpen(handle))
        return;
    noteInput();
    m_budget.newAction();
    // Called for every pointer move: the lock only to turn quick or prime.
    if (m_ready.load(std::memory_order_relaxed))
        return;
    MainloopLock lock(m_connection.mainloop());
    if (!m_connection.connected() || m_connection.resuming())
        return;
    if (m_playback == Playback::Stopped)
        prime();
    else if (m_latency == Latency::Deep)
        setLatency(Latency::Quick);
}

void PulseWaveOut::fadeLevel(WaveOutHandle handle, double depth, std::uint64_t frames)
{
    if (!m_checks.isOpen(handle))
        return;
    const BudgetedCall call(m_budget);
    MainloopLock lock(m_connection.mainloop());
    if (m_playback == Playback::Playing && m_connection.connected()) {
        const WritePoint at = writePoint(call.deadline(), false);
        if (at.answer != Answer::Failed) {
            moveLevel(at, depth, frames);
            return;
        }
    }
    // The sleep timer's fade goes on in time while the tone is brought back.
    if (m_connection.resuming())
        m_writer.moveLevelLater(depth, frames, PulseClock::now());
}

void PulseWaveOut::moveLevel(const WritePoint& at, double depth, std::uint64_t frames)
{
    // It arrives when asked, counted from what is heard now (as near as is
    // known); what is heard before `at.frame` cannot change any more.
    const bool fresh = at.answer == Answer::Fresh;
    const std::uint64_t playing = fresh ? at.position.played() : at.frame;
    m_writer.anchorLevel(playing, fresh ? at.position.answered : PulseClock::now());
    const std::uint64_t arrives = playing + frames;
    m_writer.moveLevel(at.frame, depth, arrives > at.frame ? arrives - at.frame : 0);
}

std::uint64_t PulseWaveOut::readStepFrames()
{
    if (!m_connection.mainloop())
        return 0;
    MainloopLock lock(m_connection.mainloop());
    return m_timing.stepFrames();
}

PulseWaveOut::WritePoint PulseWaveOut::writePoint(Deadline deadline, bool supersedes)
{
    WritePoint at;
    at.answer = m_timing.fetch(deadline, &at.position);
    switch (at.answer) {
    case Answer::Fresh:
        if (supersedes)
            m_late.clear();
        // A corked stream reads nothing: its read index is where to write.
        at.frame = m_playback == Playback::Stopped ? at.position.read : rewriteFrom(at.position);
        break;
    case Answer::Late:
        at.frame = m_writer.endOfQueue();
        break;
    case Answer::Failed:
        streamFailed();
        break;
    }
    return at;
}

std::uint64_t PulseWaveOut::rewriteFrom(const StreamPosition& position)
{
    // A queue shorter than the margin (the server ran ahead of a client
    // that could not keep up) is first extended as things stand.
    const std::uint64_t from = m_timing.writableFrom(position);
    m_writer.queueUntil(from);
    return from;
}

MmResult PulseWaveOut::connect(Deadline deadline, Deadline acceptedDeadline)
{
    enterStopped();
    const MmResult result = m_connection.connect(bufferAttributes(m_latency), deadline, acceptedDeadline);
    if (result == kMmSysNoError) {
        m_timing.restart(m_latency);
        m_corkedRead = 0;  // a new stream, corked, with nothing written
    }
    return result;
}

void PulseWaveOut::enterStopped()
{
    m_timing.stopCalibrating();
    m_timing.forget();
    cancelTimers();
    forgetCorkedPosition();
    m_playback = Playback::Stopped;
    m_ready.store(false, std::memory_order_relaxed);
    m_flushed = true;
}

void PulseWaveOut::cancelTimers()
{
    m_writer.dropBody();
    m_late.clear();
    m_fadeTimer.cancel();
    m_fadeCheck.cancel();
    m_quietTimer.cancel();
    m_calibrateTimer.cancel();
}

void PulseWaveOut::dropConnection()
{
    enterStopped();
    m_connection.disconnect();
}

void PulseWaveOut::streamFailed()
{
    dropConnection();
    // A call that did not want the tone says so itself.
    if (m_wantPlaying)
        streamLost();
}

void PulseWaveOut::releaseStream()
{
    m_wantPlaying = false;
    m_connection.stopResuming();
    m_timing.stopCalibrating();
    // Nothing may cork the stream or change its latency while the fade-out
    // is waited for.
    cancelTimers();
    if (m_connection.connected() && (m_playback == Playback::Playing || m_playback == Playback::FadingOut))
        waitForFadeOut(PulseClock::now() + kReleaseLimit);
    dropConnection();
}

void PulseWaveOut::waitForFadeOut(Deadline limit)
{
    StreamPosition position;
    bool known = m_timing.fetch(limit, &position) == Answer::Fresh;
    if (known && m_playback == Playback::Playing)
        fadeOutFrom(rewriteFrom(position));
    // Until the server has played the fade-out: leaving earlier would
    // drop what the sink holds, the fade with it.
    while (known && position.played() < m_fadeEnd) {
        const Deadline until = std::min(limit, PulseClock::now() + m_timing.untilPlayed(m_fadeEnd, position) + kCorkSlack);
        m_connection.waitUntil([] { return std::optional<bool>(); }, until);
        known = PulseClock::now() < limit && m_timing.fetch(limit, &position) == Answer::Fresh;
    }
}

void PulseWaveOut::beginPlaying(std::uint64_t first)
{
    m_writer.startAt(first, first + queueFrames(m_latency));
    m_playback = Playback::Playing;
    m_ready.store(m_latency == Latency::Quick, std::memory_order_relaxed);
    m_flushed = false;
    calibrateSoon();
    if (m_latency == Latency::Quick && !m_quietTimer.armed())
        m_quietTimer.arm(kQuietBeforeDeep);
}

void PulseWaveOut::fadeOutFrom(std::uint64_t from)
{
    m_fadeEnd = m_writer.stopAt(from);
    m_fadeCheckFailures = 0;
    m_playback = Playback::FadingOut;
    m_ready.store(false, std::memory_order_relaxed);
}

void PulseWaveOut::prime()
{
    // Silence queued from the read index of the corked stream (unknown only
    // for a moment after a stop: then it stays corked), quick, uncorked.
    if (!m_corkedRead)
        return;
    const std::uint64_t read = *m_corkedRead;
    forgetCorkedPosition();
    if (!m_flushed)
        pa_operation_unref(pa_stream_flush(m_connection.stream(), nullptr, nullptr));
    m_playback = Playback::Primed;
    m_flushed = false;
    if (m_latency != Latency::Quick)
        setLatency(Latency::Quick);
    else if (!m_quietTimer.armed())
        m_quietTimer.arm(kQuietBeforeDeep);
    m_ready.store(true, std::memory_order_relaxed);
    m_writer.restartAt(read);
    m_writer.queueUntil(read + queueFrames(m_latency));
    pa_operation_unref(pa_stream_cork(m_connection.stream(), 0, nullptr, nullptr));
    calibrateSoon();
}

void PulseWaveOut::rest()
{
    // Nothing plays and the user has gone: corked, and the silence queued
    // dropped. The read index is asked after both, so answered once both
    // took effect; it then stays where it is until the next start.
    pa_operation_unref(pa_stream_cork(m_connection.stream(), 1, nullptr, nullptr));
    pa_operation_unref(pa_stream_flush(m_connection.stream(), nullptr, nullptr));
    enterStopped();
    m_corkedPosition.ask();
}

void PulseWaveOut::bringInLine(LateAnswer::Kind kind, std::uint64_t frame, const StreamPosition& position)
{
    // The answer a call gave up on: what it wrote after the queue moves up
    // to where it would have gone, if the server has not reached it yet.
    if (!m_connection.connected())
        return;
    const std::uint64_t from = m_timing.writableFrom(position);
    using Kind = LateAnswer::Kind;
    if (kind == Kind::Stop) {
        if (m_playback != Playback::FadingOut)
            return;
        if (from < frame)
            fadeOutFrom(from);
        scheduleFadeCheck(m_timing.untilPlayed(m_fadeEnd, position));
        return;
    }
    if (m_playback != Playback::Playing || from >= frame)
        return;
    const std::uint64_t end = m_writer.queuedEnd();
    constexpr auto playing = PulseQueueWriter::Loop::Playing;
    // Nothing was written before a late start from corked: the server plays
    // silence up to it.
    if (kind == Kind::CorkedStart)
        m_writer.restartAt(from);
    if (kind == Kind::Change)
        m_writer.changeAt(from, end, playing);
    else
        m_writer.startAt(from, end, playing);
}

PulseClock::time_point PulseWaveOut::lastInput() const
{
    return PulseClock::time_point{PulseClock::duration(m_lastInput.load(std::memory_order_relaxed))};
}

bool PulseWaveOut::recentInput() const
{
    return PulseClock::now() - lastInput() < kQuietBeforeDeep;
}

void PulseWaveOut::noteInput()
{
    m_lastInput.store(PulseClock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

void PulseWaveOut::setLatency(Latency latency)
{
    m_latency = latency;
    m_quick.store(latency == Latency::Quick, std::memory_order_relaxed);
    m_ready.store(latency == Latency::Quick && m_playback != Playback::Stopped, std::memory_order_relaxed);
    const pa_buffer_attr attributes = bufferAttributes(latency);
    pa_operation_unref(pa_stream_set_buffer_attr(m_connection.stream(), &attributes, nullptr, nullptr));
    m_timing.expect(latency);
    m_timing.stopCalibrating();
    if (m_playback == Playback::Playing || m_playback == Playback::Primed)
        calibrateSoon();
    if (latency == Latency::Quick)
        m_quietTimer.arm(kQuietBeforeDeep);
    else
        m_quietTimer.cancel();
}

void PulseWaveOut::quietTimerRang()
{
    // Deep again once the user has left the sound alone for a while.
    if (!m_connection.connected())
        return;
    const auto quiet = PulseClock::now() - lastInput();
    if (quiet < kQuietBeforeDeep)
        m_quietTimer.arm(duration_cast<microseconds>(kQuietBeforeDeep - quiet));
    else if (m_playback == Playback::Primed)
        rest();
    else
        setLatency(Latency::Deep);
}

void PulseWaveOut::calibrateSoon()
{
    m_calibrateTimer.arm(kSettleBeforeCalibrating);
}

void PulseWaveOut::scheduleFadeCheck(microseconds delay)
{
    m_fadeTimer.arm(delay + kCorkSlack);
}

void PulseWaveOut::checkFadedOut()
{
    if (m_playback == Playback::FadingOut && m_connection.connected())
        m_fadeCheck.ask();
}

void PulseWaveOut::fadeCheckAnswered(const StreamPosition* position)
{
    if (m_playback != Playback::FadingOut || !m_connection.connected())
        return;
    // A server that cannot tell: asked again a few times, then corked all
    // the same, since a stream left uncorked plays on.
    if (!position) {
        if (++m_fadeCheckFailures < kMostFadeCheckFailures) {
            scheduleFadeCheck(kFadeCheckRetry);
            return;
        }
    } else if (position->played() < m_fadeEnd) {
        m_fadeCheckFailures = 0;
        scheduleFadeCheck(m_timing.untilPlayed(m_fadeEnd, *position));
        return;
    }
    // The fade-out has been played. While the user still acts, the stream
    // stays primed with the silence after it; otherwise it rests.
    m_fadeCheckFailures = 0;
    if (recentInput() && m_latency == Latency::Quick) {
        m_playback = Playback::Primed;
        m_ready.store(true, std::memory_order_relaxed);
        m_fadeTimer.cancel();
        if (!m_quietTimer.armed())
            m_quietTimer.arm(kQuietBeforeDeep);
        return;
    }
    rest();
}

void PulseWaveOut::forgetCorkedPosition()
{
    m_corkedRead.reset();
    m_corkedPosition.cancel();
}

void PulseWaveOut::corkedPositionAnswered(const StreamPosition* position)
{
    if (position && m_playback == Playback::Stopped)
        m_corkedRead = position->read;
}

void PulseWaveOut::streamWritable()
{
    if (m_playback != Playback::Stopped)
        m_writer.refill();
}

void PulseWaveOut::streamUnderflow()
{
    m_underruns.fetch_add(1, std::memory_order_relaxed);
}

void PulseWaveOut::streamLost()
{
    // The server went away (or dropped the stream): a tone the user wants
    // comes back once a server answers again. It comes back deep: nobody is
    // acting on it meanwhile.
    enterStopped();
    m_latency = Latency::Deep;
    m_quick.store(false, std::memory_order_relaxed);
    if (m_wantPlaying)
        m_connection.startResuming(bufferAttributes(m_latency));
}

void PulseWaveOut::streamBack()
{
    // A new stream: its read position is 0 and it is corked. The tone
    // starts from the loop's first frame after a lead-in, at the level the
    // output has reached meanwhile.
    m_timing.restart(m_latency);
    m_writer.restartAt(0);
    m_writer.carryLevel(kResumeLeadInFrames, PulseClock::now());
    beginPlaying(kResumeLeadInFrames);
    pa_operation_unref(pa_stream_cork(m_connection.stream(), 0, nullptr, nullptr));
}

// --- The stream's volume, kept by PulseStreamVolume ------------------------

// Whatever the handle: the volume belongs to the stream the connection makes,
// and is kept between streams. Before the first open there is no main loop,
// and no other thread to share it with.
double PulseWaveOut::volume(WaveOutHandle)
{
    std::optional<MainloopLock> lock;
    if (m_connection.mainloop())
        lock.emplace(m_connection.mainloop());
    return m_connection.volume().level();
}

void PulseWaveOut::setVolume(WaveOutHandle, double level)
{
    std::optional<MainloopLock> lock;
    if (m_connection.mainloop())
        lock.emplace(m_connection.mainloop());
    m_connection.volume().setLevel(level);
}

void PulseWaveOut::setVolumeListener(std::function<void()> listener)
{
    std::optional<MainloopLock> lock;
    if (m_connection.mainloop())
        lock.emplace(m_connection.mainloop());
    m_connection.volume().setListener(std::move(listener));
}

}  // namespace quavira
