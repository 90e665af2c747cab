// SPDX-License-Identifier: GPL-3.0-or-later
// Wave-out on the desktop's sound server through libpulse: the rewrites and
// fades, and the stream's latency following the user.
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

// The output's fades: the loop's, and the noise's beside it.
constexpr std::uint64_t kFadeFrames = std::max<std::uint64_t>(LoopRenderer::kFadeFrames, VoiceTrack::kFadeFrames);

// Silence before a tone that comes back on a new stream: PulseAudio may
// rewind its sink as it mixes the stream in.
constexpr std::uint64_t kResumeLeadInFrames = kFramesPerSecond * 30 / 1000;
// Silence before the loop when a corked stream starts: PulseAudio rewinds
// its sink to mix the stream in at once, and what the sink holds of its
// quick latency (4 ms) goes out as it was, the stream's first frames lost
// under it. The fade-in starts after that.
constexpr std::uint64_t kStartLeadInFrames = kFramesPerSecond * 7 / 1000;
// What a rewrite sends first, before it renders any more: the fade and
// then some, since the server may reach it within milliseconds and the
// margin does not allow for the time rendering takes (a busy machine, a
// sanitizer build). Then the rest of its head; the rest of the queue
// follows a moment later, unless another rewrite replaces it first: over a
// second of it, sent at every step of a drag, would hold up at the server
// the head of the next rewrite behind it.
constexpr std::uint64_t kRewriteFirstFrames = kFadeFrames + kFramesPerSecond * 5 / 1000;
constexpr std::uint64_t kRewriteHeadFrames = kFramesPerSecond * 40 / 1000;
constexpr microseconds kRewriteBodyDelay{5'000};
// After a fade-out's last frame was played by the server's account, before
// the stream is corked: for the server's clock and rounding.
constexpr microseconds kCorkSlack{5'000};
// After a stalled server answered: time for it to catch up with what it
// missed before its position is asked again.
constexpr microseconds kCatchUp{20'000};
// A change of latency is calibrated once the server has moved to it: one
// step of the old latency, PipeWire's largest quantum at most, may still
// follow the change.
constexpr microseconds kSettleBeforeCalibrating{60'000};

// A call of the program on the UI thread, which waits within its user
// action's budget.
class BudgetedCall {
public:
    explicit BudgetedCall(ActionBudget& budget) : m_budget(budget), m_deadline(budget.begin(PulseClock::now())) {}
    ~BudgetedCall() { m_budget.end(PulseClock::now()); }
    BudgetedCall(const BudgetedCall&) = delete;
    BudgetedCall& operator=(const BudgetedCall&) = delete;
    Deadline deadline() const { return m_deadline; }

private:
    ActionBudget& m_budget;
    Deadline m_deadline;
};

}  // namespace

PulseWaveOut::PulseWaveOut()
    : m_connection(*this),
      m_timing(m_connection, [this] { serverBack(); }),
      m_corkedPosition(m_connection, [this](const StreamPosition* position) { corkedPositionAnswered(position); }),
      m_inLinePosition(m_connection, [this](const StreamPosition* position) { inLinePositionAnswered(position); }),
      m_fadeCheck(m_connection, [this](const StreamPosition* position) { fadeCheckAnswered(position); })
{
    for (auto& copy : m_copies)
        copy.assign(kLoopBytes, LoopRenderer::kSilence);
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
        const MmResult connected =
            m_connection.connect(bufferAttributes(m_latency), now + ActionBudget::kBudget, now + kOpenBudget);
        if (connected == kMmSysNoError) {
            m_timing.restart(m_latency);
            m_corkedRead = 0;  // a new stream, corked, with nothing written
        }
        return connected;
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
    if (!m_connection.connected() && connect(call.deadline()) != kMmSysNoError)
        return kMmSysError;
    m_data = header->data;
    takeCopy();
    m_connection.freeTimer(m_fadeTimer);
    m_level.reset();
    const Latency wanted = recentInput() ? Latency::Quick : Latency::Deep;

    if (m_playback == Playback::Stopped) {
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
            StreamPosition position;
            switch (m_timing.fetch(call.deadline(), &position)) {
            case Answer::Fresh:
                read = position.read;
                m_late = Late::Nothing;
                break;
            case Answer::Late:
                // Heard once the server reaches it, and moved up when it answers.
                read = endOfQueue();
                noteLate(Late::CorkedStart, read + kStartLeadInFrames);
                break;
            case Answer::Failed:
                dropConnection();
                return kMmSysError;
            }
        }
        if (!m_flushed)
            pa_operation_unref(pa_stream_flush(m_connection.stream(), nullptr, nullptr));
        if (wanted != m_latency)
            setLatency(wanted);
        m_renderer.restartAt(read);
        beginPlaying(read + kStartLeadInFrames);
        PulseReply uncorked{m_connection.mainloop()};
        const PulseConnection::Wait wait =
            m_connection.finish(pa_stream_cork(m_connection.stream(), 0, PulseReply::done, &uncorked), call.deadline());
        // An uncork still on its way is carried out when the server gets to it.
        if (wait == PulseConnection::Wait::Failed || (wait == PulseConnection::Wait::Done && !uncorked.success)) {
            dropConnection();
            return kMmSysError;
        }
        m_wantPlaying = true;
        return kMmSysNoError;
    }

    // Playing or fading out: the loop starts again from its first frame,
    // right after what plays now (a fade-out, or silence), or as soon as
    // the server allows if that has passed already.
    if (wanted != m_latency)
        setLatency(wanted);
    std::uint64_t first = 0;
    StreamPosition position;
    switch (m_timing.fetch(call.deadline(), &position)) {
    case Answer::Fresh:
        first = rewriteFrom(position);
        m_late = Late::Nothing;
        break;
    case Answer::Late:
        first = endOfQueue();
        noteLate(Late::Start, first);
        break;
    case Answer::Failed:
        dropConnection();
        return kMmSysError;
    }
    const std::uint64_t silent = m_renderer.silentFrom();
    beginPlaying(silent == std::numeric_limits<std::uint64_t>::max() ? first : std::max(first, silent));
    m_wantPlaying = true;
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

    StreamPosition position;
    switch (m_timing.fetch(call.deadline(), &position)) {
    case Answer::Fresh:
        m_late = Late::Nothing;
        fadeOut(position);
        scheduleFadeCheck(m_timing.untilPlayed(m_fadeEnd, position));
        break;
    case Answer::Late: {
        // The fade-out goes after what is queued and is moved up, and the
        // stream corked, once the server answers.
        const std::uint64_t at = endOfQueue();
        fadeOutFrom(at);
        noteLate(Late::Stop, at);
        break;
    }
    case Answer::Failed:
        // The stream went as the call was made: it plays nothing either.
        dropConnection();
        break;
    }
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
        takeCopy();
        return;
    }
    if (m_playback != Playback::Playing || !m_connection.connected())
        return;
    takeCopy();
    const std::uint64_t end = queuedEnd();
    StreamPosition position;
    switch (m_timing.fetch(call.deadline(), &position)) {
    case Answer::Fresh: {
        m_late = Late::Nothing;
        const std::uint64_t from = rewriteFrom(position);
        m_renderer.change(from, playLatestCopy());
        rewriteUntil(std::max(end, from + kFadeFrames));
        break;
    }
    case Answer::Late: {
        // After what is queued: heard later, and moved up when the server
        // answers. A start still to be moved up stays the thing to move.
        const std::uint64_t at = endOfQueue();
        m_renderer.change(at, playLatestCopy());
        queueUntil(at + kFadeFrames);
        if (m_late != Late::Start && m_late != Late::CorkedStart)
            noteLate(Late::Change, at);
        break;
    }
    case Answer::Failed:
        // The stream went: the tone comes back when a server answers again.
        dropConnection();
        streamLost();
        return;
    }
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
    if (m_playback != Playback::Playing || !m_connection.connected())
        return;
    StreamPosition position;
    std::uint64_t from = 0;
    std::uint64_t playing = 0;  // the frame heard now, as near as is known
    switch (m_timing.fetch(call.deadline(), &position)) {
    case Answer::Fresh:
        from = rewriteFrom(position);
        playing = position.played();
        break;
    case Answer::Late:
        from = playing = endOfQueue();
        break;
    case Answer::Failed:
        return;
    }
    // It arrives when asked, counted from what is heard now; what is heard
    // before `from` cannot change any more.
    const std::uint64_t arrives = playing + frames;
    m_level.moveTo(from, depth, arrives > from ? arrives - from : 0);
    resendFrom(from);
}

void PulseWaveOut::setNoise(WaveOutHandle handle, std::optional<NoiseColour> colour, double levelDb)
{
    if (!m_checks.isOpen(handle))
        return;
    noteInput();
    const BudgetedCall call(m_budget);
    MainloopLock lock(m_connection.mainloop());
    const bool wasOn = m_noise.on();
    const auto change = [&](std::uint64_t at) {
        // From `at`, what was queued crossfades into the noise set anew (two
        // stretches of noise: at equal power), or fades out.
        m_noise.set(colour, levelDb);
        m_renderer.setVoice(at, colour ? &m_noise : nullptr, wasOn && colour ? Crossfade::EqualPower : Crossfade::Linear);
    };
    if (m_playback != Playback::Playing || !m_connection.connected() || m_connection.resuming()) {
        // Heard with the next start.
        m_noise.set(colour, levelDb);
        m_renderer.setVoice(m_renderer.position(), colour ? &m_noise : nullptr);
        return;
    }
    const std::uint64_t end = queuedEnd();
    StreamPosition position;
    switch (m_timing.fetch(call.deadline(), &position)) {
    case Answer::Fresh: {
        const std::uint64_t from = rewriteFrom(position);
        change(from);
        rewriteUntil(std::max(end, from + kFadeFrames));
        break;
    }
    case Answer::Late: {
        const std::uint64_t at = endOfQueue();
        change(at);
        queueUntil(at + kFadeFrames);
        break;
    }
    case Answer::Failed:
        dropConnection();
        streamLost();
        return;
    }
    if (m_latency == Latency::Deep)
        setLatency(Latency::Quick);
}

void PulseWaveOut::resendFrom(std::uint64_t from)
{
    sendBody();
    const std::uint64_t end = m_renderer.position();
    if (from >= end)
        return;
    const std::size_t frames = static_cast<std::size_t>(end - from);
    m_scratch.resize(frames * 2);
    m_renderer.copyRendered(from, m_scratch.data(), frames);
    sendScratchAt(from);
}

std::uint64_t PulseWaveOut::readStepFrames()
{
    if (!m_connection.mainloop())
        return 0;
    MainloopLock lock(m_connection.mainloop());
    return m_timing.stepFrames();
}

MmResult PulseWaveOut::connect(Deadline deadline)
{
    forgetCorkedPosition();
    m_timing.stopCalibrating();
    m_timing.forget();
    cancelTimers();
    m_playback = Playback::Stopped;
    m_ready.store(false, std::memory_order_relaxed);
    m_flushed = true;
    const MmResult result = m_connection.connect(bufferAttributes(m_latency), deadline, deadline);
    if (result == kMmSysNoError) {
        m_timing.restart(m_latency);
        m_corkedRead = 0;
    }
    return result;
}

void PulseWaveOut::dropConnection()
{
    m_timing.stopCalibrating();
    m_timing.forget();
    forgetCorkedPosition();
    m_late = Late::Nothing;
    cancelTimers();
    m_connection.disconnect();
    m_playback = Playback::Stopped;
    m_ready.store(false, std::memory_order_relaxed);
    m_flushed = true;
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
    m_connection.freeTimer(m_quietTimer);
    if (latency == Latency::Quick)
        armQuietTimer(kQuietBeforeDeep);
}

void PulseWaveOut::armQuietTimer(microseconds delay)
{
    // Deep again once the user has left the sound alone for a while.
    m_quietTimer = m_connection.newTimer(
        delay,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            auto* me = static_cast<PulseWaveOut*>(self);
            me->m_connection.freeTimer(me->m_quietTimer);
            if (!me->m_connection.connected())
                return;
            const auto quiet = PulseClock::now() - me->lastInput();
            if (quiet < kQuietBeforeDeep)
                me->armQuietTimer(duration_cast<microseconds>(kQuietBeforeDeep - quiet));
            else if (me->m_playback == Playback::Primed)
                me->rest();
            else
                me->setLatency(Latency::Deep);
        },
        this);
}

void PulseWaveOut::calibrateSoon()
{
    m_connection.freeTimer(m_calibrateTimer);
    m_calibrateTimer = m_connection.newTimer(
        kSettleBeforeCalibrating,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            auto* me = static_cast<PulseWaveOut*>(self);
            me->m_connection.freeTimer(me->m_calibrateTimer);
            if (me->m_playback == Playback::Playing || me->m_playback == Playback::Primed)
                me->m_timing.calibrate();
        },
        this);
}

const std::uint8_t* PulseWaveOut::takeCopy()
{
    m_latestCopy = 1 - m_playingCopy;
    loadBytes({m_data, kLoopBytes}, m_copies[m_latestCopy].data());
    return m_copies[m_latestCopy].data();
}

const std::uint8_t* PulseWaveOut::playLatestCopy()
{
    m_playingCopy = m_latestCopy;
    return m_copies[m_playingCopy].data();
}

void PulseWaveOut::queueUntil(std::uint64_t end)
{
    const std::uint64_t start = m_renderer.position();
    if (end <= start)
        return;
    const std::size_t frames = static_cast<std::size_t>(end - start);
    m_scratch.resize(frames * 2);
    m_renderer.render(m_scratch.data(), frames);
    sendScratchAt(start);
}

void PulseWaveOut::sendScratchAt(std::uint64_t first)
{
    m_level.apply(m_scratch.data(), first, m_scratch.size() / 2);
    pa_stream_write(m_connection.stream(), m_scratch.data(), m_scratch.size() * sizeof(std::int16_t), nullptr,
                    static_cast<std::int64_t>(first * kOutputBytesPerFrame), PA_SEEK_ABSOLUTE);
}

void PulseWaveOut::rewriteUntil(std::uint64_t end)
{
    const std::uint64_t from = m_renderer.position();
    queueUntil(std::min(end, from + kRewriteFirstFrames));
    queueUntil(std::min(end, from + kRewriteHeadFrames));
    if (end <= m_renderer.position())
        return;
    m_bodyEnd = end;
    if (!m_bodyTimer)
        m_bodyTimer = m_connection.newTimer(
            kRewriteBodyDelay,
            [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
                static_cast<PulseWaveOut*>(self)->sendBody();
            },
            this);
}

void PulseWaveOut::sendBody()
{
    if (!m_bodyTimer)
        return;
    m_connection.freeTimer(m_bodyTimer);
    queueUntil(std::exchange(m_bodyEnd, 0));
    // What the server asked for meanwhile, beyond the body.
    streamWritable();
}

std::uint64_t PulseWaveOut::queuedEnd() const
{
    return std::max(m_renderer.position(), m_bodyEnd);
}

std::uint64_t PulseWaveOut::endOfQueue()
{
    sendBody();
    return m_renderer.position();
}

std::uint64_t PulseWaveOut::rewriteFrom(const StreamPosition& position)
{
    // A queue shorter than the margin (the server ran ahead of a client
    // that could not keep up) is first extended as things stand.
    const std::uint64_t from = m_timing.writableFrom(position);
    queueUntil(from);
    return from;
}

void PulseWaveOut::beginPlaying(std::uint64_t first)
{
    const std::uint64_t end = queuedEnd();
    queueUntil(first);
    m_renderer.start(first, playLatestCopy());
    rewriteUntil(std::max(end, first + queueFrames(m_latency)));
    m_playback = Playback::Playing;
    m_ready.store(m_latency == Latency::Quick, std::memory_order_relaxed);
    m_flushed = false;
    calibrateSoon();
    if (m_latency == Latency::Quick && !m_quietTimer)
        armQuietTimer(kQuietBeforeDeep);
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
    else if (!m_quietTimer)
        armQuietTimer(kQuietBeforeDeep);
    m_ready.store(true, std::memory_order_relaxed);
    m_renderer.restartAt(read);
    queueUntil(read + queueFrames(m_latency));
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
    m_playback = Playback::Stopped;
    m_ready.store(false, std::memory_order_relaxed);
    m_flushed = true;
    m_timing.stopCalibrating();
    cancelTimers();
    forgetCorkedPosition();
    m_corkedPosition.ask();
}

void PulseWaveOut::fadeOut(const StreamPosition& position)
{
    fadeOutFrom(rewriteFrom(position));
}

void PulseWaveOut::fadeOutFrom(std::uint64_t from)
{
    const std::uint64_t end = queuedEnd();
    queueUntil(from);
    m_renderer.stop(from);
    rewriteUntil(std::max(end, from + kFadeFrames));
    m_playback = Playback::FadingOut;
    m_ready.store(false, std::memory_order_relaxed);
    m_fadeEnd = m_renderer.silentFrom();
}

void PulseWaveOut::noteLate(Late what, std::uint64_t frame)
{
    m_late = what;
    m_lateFrame = frame;
}

void PulseWaveOut::serverBack()
{
    if (m_late == Late::Nothing || m_inLineTimer || m_inLinePosition.pending())
        return;
    m_inLineTimer = m_connection.newTimer(
        kCatchUp,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            auto* me = static_cast<PulseWaveOut*>(self);
            me->m_connection.freeTimer(me->m_inLineTimer);
            me->askInLinePosition();
        },
        this);
}

void PulseWaveOut::askInLinePosition()
{
    if (m_late != Late::Nothing && m_connection.connected())
        m_inLinePosition.ask();
}

void PulseWaveOut::inLinePositionAnswered(const StreamPosition* position)
{
    if (!position)
        return;
    // Still catching up, or stalled again: ask once more a moment later.
    if (position->answered - position->asked > ActionBudget::kBudget / 4) {
        serverBack();
        return;
    }
    bringInLine(*position);
}

void PulseWaveOut::bringInLine(const StreamPosition& position)
{
    // The answer a call gave up on: what it wrote after the queue moves up
    // to where it would have gone, if the server has not reached it yet.
    const Late late = std::exchange(m_late, Late::Nothing);
    if (!m_connection.connected())
        return;
    const std::uint64_t from = m_timing.writableFrom(position);
    switch (late) {
    case Late::Nothing:
        return;
    case Late::Change:
    case Late::Start:
    case Late::CorkedStart:
        if (m_playback != Playback::Playing || from >= m_lateFrame)
            return;
        {
            const std::uint64_t end = queuedEnd();
            const std::uint8_t* loop = m_copies[m_playingCopy].data();
            if (late == Late::CorkedStart) {
                // Nothing was written before the late start: the server
                // plays silence up to it.
                m_renderer.restartAt(from);
                m_renderer.start(from, loop);
            } else if (late == Late::Start) {
                queueUntil(from);
                m_renderer.start(from, loop);
            } else {
                queueUntil(from);
                m_renderer.change(from, loop);
            }
            rewriteUntil(end);
        }
        return;
    case Late::Stop:
        if (m_playback != Playback::FadingOut)
            return;
        if (from < m_lateFrame)
            fadeOutFrom(from);
        scheduleFadeCheck(m_timing.untilPlayed(m_fadeEnd, position));
        return;
    }
}

void PulseWaveOut::releaseStream()
{
    m_wantPlaying = false;
    m_connection.stopResuming();
    m_timing.stopCalibrating();
    cancelTimers();
    if (m_connection.connected() && (m_playback == Playback::Playing || m_playback == Playback::FadingOut)) {
        const Deadline limit = PulseClock::now() + kReleaseLimit;
        StreamPosition position;
        bool known = m_timing.fetch(limit, &position) == Answer::Fresh;
        if (known && m_playback == Playback::Playing)
            fadeOut(position);
        // Until the server has played the fade-out: leaving earlier would
        // drop what the sink holds, the fade with it.
        while (known && position.played() < m_fadeEnd) {
            const Deadline until = std::min(limit, PulseClock::now() + m_timing.untilPlayed(m_fadeEnd, position) + kCorkSlack);
            m_connection.waitUntil([] { return std::optional<bool>(); }, until);
            known = PulseClock::now() < limit && m_timing.fetch(limit, &position) == Answer::Fresh;
        }
    }
    m_timing.forget();
    m_late = Late::Nothing;
    forgetCorkedPosition();
    m_connection.disconnect();
    m_playback = Playback::Stopped;
    m_ready.store(false, std::memory_order_relaxed);
    m_flushed = true;
}

void PulseWaveOut::scheduleFadeCheck(microseconds delay)
{
    m_connection.freeTimer(m_fadeTimer);
    m_fadeTimer = m_connection.newTimer(
        delay + kCorkSlack,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            static_cast<PulseWaveOut*>(self)->checkFadedOut();
        },
        this);
}

void PulseWaveOut::checkFadedOut()
{
    m_connection.freeTimer(m_fadeTimer);
    if (m_playback == Playback::FadingOut && m_connection.connected())
        m_fadeCheck.ask();
}

void PulseWaveOut::fadeCheckAnswered(const StreamPosition* position)
{
    if (m_playback != Playback::FadingOut || !m_connection.connected())
        return;
    if (!position) {
        scheduleFadeCheck(microseconds(20'000));
        return;
    }
    if (position->played() < m_fadeEnd) {
        scheduleFadeCheck(m_timing.untilPlayed(m_fadeEnd, *position));
        return;
    }
    // The fade-out has been played. While the user still acts, the stream
    // stays primed with the silence after it; otherwise it rests.
    if (recentInput() && m_latency == Latency::Quick) {
        m_playback = Playback::Primed;
        m_ready.store(true, std::memory_order_relaxed);
        m_connection.freeTimer(m_fadeTimer);
        if (!m_quietTimer)
            armQuietTimer(kQuietBeforeDeep);
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

void PulseWaveOut::cancelTimers()
{
    m_connection.freeTimer(m_bodyTimer);
    m_bodyEnd = 0;
    m_connection.freeTimer(m_inLineTimer);
    m_inLinePosition.cancel();
    m_connection.freeTimer(m_fadeTimer);
    m_connection.freeTimer(m_quietTimer);
    m_connection.freeTimer(m_calibrateTimer);
    m_fadeCheck.cancel();
}

void PulseWaveOut::streamWritable()
{
    // The rest of a rewrite is on its way: the server asks for what lies
    // beyond its head, which that will bring.
    if (m_playback == Playback::Stopped || !m_connection.stream() || m_bodyTimer)
        return;
    const std::size_t bytes = pa_stream_writable_size(m_connection.stream());
    if (bytes == static_cast<std::size_t>(-1) || bytes < kOutputBytesPerFrame)
        return;
    queueUntil(m_renderer.position() + bytes / kOutputBytesPerFrame);
}

void PulseWaveOut::streamUnderflow()
{
    m_underruns.fetch_add(1, std::memory_order_relaxed);
}

void PulseWaveOut::streamLost()
{
    // The server went away (or dropped the stream): a tone the user wants
    // comes back once a server answers again.
    m_timing.stopCalibrating();
    m_timing.forget();
    cancelTimers();
    m_playback = Playback::Stopped;
    m_ready.store(false, std::memory_order_relaxed);
    m_flushed = true;
    m_late = Late::Nothing;
    forgetCorkedPosition();
    // It comes back deep: nobody is acting on it meanwhile.
    m_latency = Latency::Deep;
    m_quick.store(false, std::memory_order_relaxed);
    if (m_wantPlaying)
        m_connection.startResuming(bufferAttributes(m_latency));
}

void PulseWaveOut::streamBack()
{
    // A new stream: its read position is 0 and it is corked. The tone
    // starts from the loop's first frame after a lead-in.
    m_timing.restart(m_latency);
    m_renderer.restartAt(0);
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
