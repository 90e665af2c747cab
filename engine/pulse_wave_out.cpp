// SPDX-License-Identifier: GPL-3.0-or-later
// Wave-out on the desktop's sound server through libpulse: the rewrites and
// fades, and the stream's latency following the user.
#include "pulse_wave_out.h"

#include "loop_format.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <limits>
#include <optional>

namespace quavira {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;

constexpr std::uint32_t kBytesPerFrame = 2;

// Silence before a tone that comes back on a new stream: PulseAudio may
// rewind its sink as it mixes the stream in.
constexpr std::uint64_t kResumeLeadInFrames = kFramesPerSecond * 30 / 1000;
// What a rewrite sends at once, before the rest of the queue is rendered:
// the fade and then some.
constexpr std::uint64_t kRewriteHeadFrames = kFramesPerSecond * 20 / 1000;
// After a fade-out's last frame was played by the server's account, before
// the stream is corked: for the server's clock and rounding.
constexpr microseconds kCorkSlack{5'000};
// A change of latency is calibrated once the server has moved to it: one
// step of the old latency, PipeWire's largest quantum at most, may still
// follow the change.
constexpr microseconds kSettleBeforeCalibrating{60'000};

bool isOurFormat(const WaveFormatEx& f)
{
    return f.formatTag == kWaveFormatPcm && f.channels == 2 && f.samplesPerSec == kFramesPerSecond &&
           f.bitsPerSample == 8 && f.blockAlign == 2 && f.avgBytesPerSec == kFramesPerSecond * kBytesPerFrame;
}

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

PulseWaveOut::PulseWaveOut() : m_connection(*this), m_timing(m_connection)
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
    if (!handle)
        return kMmSysInvalidParam;
    *handle = kNoWaveOut;
    if (m_handle != kNoWaveOut)
        return kMmSysError;  // one device at a time
    if (deviceId != kWaveMapper)
        return kMmSysBadDeviceId;
    if (!isOurFormat(format))
        return kWaveBadFormat;
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
        if (connected == kMmSysNoError)
            m_timing.expect(m_latency);
        return connected;
    }();
    if (result != kMmSysNoError)
        return result;
    m_handle = ++m_lastHandle;
    *handle = m_handle;
    return kMmSysNoError;
}

MmResult PulseWaveOut::prepareHeader(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize)
{
    if (!isOpen(handle))
        return kMmSysInvalidHandle;
    if (const MmResult refused = checkLoopHeader(header, headerSize, kLoopBytes, false))
        return refused;
    header->flags |= kWhdrPrepared;
    return kMmSysNoError;
}

MmResult PulseWaveOut::write(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize)
{
    if (!isOpen(handle))
        return kMmSysInvalidHandle;
    if (const MmResult refused = checkLoopHeader(header, headerSize, kLoopBytes, true))
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
    StreamPosition position;
    if (!m_timing.fetch(call.deadline(), &position)) {
        dropConnection();
        return kMmSysError;
    }
    const Latency wanted = recentInput() ? Latency::Quick : Latency::Deep;
    if (wanted != m_latency)
        setLatency(wanted);

    if (m_playback == Playback::Stopped) {
        // Corked: silence is queued and the stream uncorked first. PulseAudio
        // may then rewind its sink to mix the stream in at once, moving the
        // read index; so the loop starts where a change would, ahead of the
        // index the server reports after that, and neither the sink nor its
        // monitor loses the fade-in. Anything still queued is dropped first;
        // the server runs the flush before the writes that follow it.
        if (!m_flushed)
            pa_operation_unref(pa_stream_flush(m_connection.stream(), nullptr, nullptr));
        m_renderer.restartAt(position.read);
        queueUntil(position.read + queueFrames(m_latency));
        m_flushed = false;
        PulseReply uncorked{m_connection.mainloop()};
        if (m_connection.finish(pa_stream_cork(m_connection.stream(), 0, PulseReply::done, &uncorked),
                                call.deadline()) != PulseConnection::Wait::Done ||
            !uncorked.success || !m_timing.fetch(call.deadline(), &position)) {
            dropConnection();
            return kMmSysError;
        }
    }
    // Uncorked: the loop starts right after what plays now (a fade-out, or
    // silence), or as soon as the server allows if that has passed already.
    const std::uint64_t silent = m_renderer.silentFrom();
    const std::uint64_t writable = rewriteFrom(position);
    beginPlaying(silent == std::numeric_limits<std::uint64_t>::max() ? writable : std::max(writable, silent));
    m_wantPlaying = true;
    return kMmSysNoError;
}

MmResult PulseWaveOut::reset(WaveOutHandle handle)
{
    if (!isOpen(handle))
        return kMmSysInvalidHandle;
    noteInput();
    const BudgetedCall call(m_budget);
    MainloopLock lock(m_connection.mainloop());
    // The user wants silence now, not the tone back when the server returns.
    m_wantPlaying = false;
    m_connection.stopResuming();
    // Nothing plays without a connection; the reset succeeds once a server
    // answers again, so that the next write finds one.
    if (!m_connection.connected())
        return connect(call.deadline()) == kMmSysNoError ? kMmSysNoError : kMmSysError;
    if (m_playback != Playback::Playing)
        return kMmSysNoError;

    StreamPosition position;
    if (!m_timing.fetch(call.deadline(), &position)) {
        dropConnection();
        return kMmSysError;
    }
    fadeOut(position);
    scheduleFadeCheck(m_timing.untilPlayed(m_fadeEnd, position));
    return kMmSysNoError;
}

MmResult PulseWaveOut::close(WaveOutHandle handle)
{
    if (!isOpen(handle))
        return kMmSysInvalidHandle;
    {
        MainloopLock lock(m_connection.mainloop());
        releaseStream();
        m_data = nullptr;
    }
    m_handle = kNoWaveOut;
    return kMmSysNoError;
}

void PulseWaveOut::loopChanged(WaveOutHandle handle)
{
    if (!isOpen(handle))
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
    StreamPosition position;
    if (!m_timing.fetch(call.deadline(), &position)) {
        // A server too slow to answer is dropped; the tone comes back when
        // one answers again.
        dropConnection();
        streamLost();
        return;
    }
    const std::uint64_t end = m_renderer.position();
    const std::uint64_t from = rewriteFrom(position);
    m_renderer.change(from, playLatestCopy());
    rewriteUntil(std::max(end, from + LoopRenderer::kFadeFrames));
    if (m_latency == Latency::Deep)
        setLatency(Latency::Quick);
}

void PulseWaveOut::expectChanges(WaveOutHandle handle)
{
    if (!isOpen(handle))
        return;
    noteInput();
    m_budget.newAction();
    // Called for every pointer move: the lock only to turn quick.
    if (m_quick.load(std::memory_order_relaxed))
        return;
    MainloopLock lock(m_connection.mainloop());
    if (m_playback == Playback::Playing && m_latency == Latency::Deep && m_connection.connected())
        setLatency(Latency::Quick);
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
    m_timing.stopCalibrating();
    cancelTimers();
    m_playback = Playback::Stopped;
    m_flushed = true;
    const MmResult result = m_connection.connect(bufferAttributes(m_latency), deadline, deadline);
    if (result == kMmSysNoError)
        m_timing.expect(m_latency);
    return result;
}

void PulseWaveOut::dropConnection()
{
    m_timing.stopCalibrating();
    cancelTimers();
    m_connection.disconnect();
    m_playback = Playback::Stopped;
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
    const pa_buffer_attr attributes = bufferAttributes(latency);
    pa_operation_unref(pa_stream_set_buffer_attr(m_connection.stream(), &attributes, nullptr, nullptr));
    m_timing.expect(latency);
    m_timing.stopCalibrating();
    if (m_playback == Playback::Playing)
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
            if (me->m_playback == Playback::Playing)
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
    m_scratch.resize(frames * kBytesPerFrame);
    m_renderer.render(m_scratch.data(), frames);
    pa_stream_write(m_connection.stream(), m_scratch.data(), m_scratch.size(), nullptr,
                    static_cast<std::int64_t>(start * kBytesPerFrame), PA_SEEK_ABSOLUTE);
}

void PulseWaveOut::rewriteUntil(std::uint64_t end)
{
    // The head first: the server may reach it within milliseconds, and
    // rendering the whole queue takes time of its own (a busy or slow
    // machine, a sanitizer build) that the margin does not allow for.
    queueUntil(std::min(end, m_renderer.position() + kRewriteHeadFrames));
    queueUntil(end);
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
    const std::uint64_t end = m_renderer.position();
    queueUntil(first);
    m_renderer.start(first, playLatestCopy());
    rewriteUntil(std::max(end, first + queueFrames(m_latency)));
    m_playback = Playback::Playing;
    m_flushed = false;
    m_timing.expect(m_latency);
    calibrateSoon();
    if (m_latency == Latency::Quick && !m_quietTimer)
        armQuietTimer(kQuietBeforeDeep);
}

void PulseWaveOut::fadeOut(const StreamPosition& position)
{
    const std::uint64_t end = m_renderer.position();
    const std::uint64_t from = rewriteFrom(position);
    m_renderer.stop(from);
    rewriteUntil(std::max(end, from + LoopRenderer::kFadeFrames));
    m_playback = Playback::FadingOut;
    m_fadeEnd = from + LoopRenderer::kFadeFrames;
}

void PulseWaveOut::releaseStream()
{
    m_wantPlaying = false;
    m_connection.stopResuming();
    m_timing.stopCalibrating();
    cancelTimers();
    if (m_connection.connected() && m_playback != Playback::Stopped) {
        const Deadline limit = PulseClock::now() + kReleaseLimit;
        StreamPosition position;
        bool known = m_timing.fetch(limit, &position);
        if (known && m_playback == Playback::Playing)
            fadeOut(position);
        // Until the server has played the fade-out: leaving earlier would
        // drop what the sink holds, the fade with it.
        while (known && position.played() < m_fadeEnd) {
            const Deadline until = std::min(limit, PulseClock::now() + m_timing.untilPlayed(m_fadeEnd, position) + kCorkSlack);
            m_connection.waitUntil([] { return std::optional<bool>(); }, until);
            known = PulseClock::now() < limit && m_timing.fetch(limit, &position);
        }
    }
    m_connection.disconnect();
    m_playback = Playback::Stopped;
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
    if (m_playback != Playback::FadingOut || !m_connection.connected() || m_fadeCheck)
        return;
    m_fadeCheckAsked = PulseClock::now();
    m_fadeCheck = pa_stream_update_timing_info(m_connection.stream(), onFadeCheck, this);
}

void PulseWaveOut::onFadeCheck(pa_stream*, int success, void* self)
{
    auto* me = static_cast<PulseWaveOut*>(self);
    pa_operation_unref(me->m_fadeCheck);
    me->m_fadeCheck = nullptr;
    if (me->m_playback != Playback::FadingOut || !me->m_connection.connected())
        return;
    StreamPosition position;
    position.asked = me->m_fadeCheckAsked;
    position.answered = PulseClock::now();
    if (!success || !me->m_timing.lastReported(&position)) {
        me->scheduleFadeCheck(microseconds(20'000));
        return;
    }
    if (position.played() < me->m_fadeEnd) {
        me->scheduleFadeCheck(me->m_timing.untilPlayed(me->m_fadeEnd, position));
        return;
    }
    // The fade-out has been played: cork, and drop the silence queued after it.
    pa_operation_unref(pa_stream_cork(me->m_connection.stream(), 1, nullptr, nullptr));
    pa_operation_unref(pa_stream_flush(me->m_connection.stream(), nullptr, nullptr));
    me->m_playback = Playback::Stopped;
    me->m_flushed = true;
    me->m_timing.stopCalibrating();
    me->cancelTimers();
}

void PulseWaveOut::cancelTimers()
{
    m_connection.freeTimer(m_fadeTimer);
    m_connection.freeTimer(m_quietTimer);
    m_connection.freeTimer(m_calibrateTimer);
    if (m_fadeCheck) {
        pa_operation_cancel(m_fadeCheck);
        pa_operation_unref(m_fadeCheck);
        m_fadeCheck = nullptr;
    }
}

void PulseWaveOut::streamWritable()
{
    if (m_playback == Playback::Stopped || !m_connection.stream())
        return;
    const std::size_t bytes = pa_stream_writable_size(m_connection.stream());
    if (bytes == static_cast<std::size_t>(-1) || bytes < kBytesPerFrame)
        return;
    queueUntil(m_renderer.position() + bytes / kBytesPerFrame);
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
    cancelTimers();
    m_playback = Playback::Stopped;
    m_flushed = true;
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
