// Wave-out on the desktop's sound server through libpulse.
#include "pulse_wave_out.h"

#include "loop_format.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <limits>
#include <optional>

namespace quavira {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::microseconds;

constexpr std::uint32_t kRate = kFramesPerSecond;
constexpr std::uint32_t kBytesPerFrame = 2;

// The queue at the server. Without latency adjustment the server gives the
// sink tlength - 2 x minreq of it, 4 ms here: the sink then reads the
// stream in blocks of about 4 ms (PipeWire's pulse server in quanta of at
// least 256 frames at 48 kHz, 5.3 ms), while the client is asked for more
// only every 223 ms.
constexpr std::uint32_t kQueueFrames = kRate * 450 / 1000;
constexpr std::uint32_t kRequestFrames = kRate * 223 / 1000;
// A rewrite starts this far after the read position the server reported:
// more than one block or quantum and the round trip, so that the server
// has not read past it by the time the bytes arrive. Bytes written behind
// the read position would make PulseAudio rewind the sink, and PipeWire
// drop them.
constexpr std::uint64_t kMarginFrames = kRate * 7 / 1000;
// The longest silent lead-in before a start (see write).
constexpr std::uint64_t kMaxLeadInFrames = kRate * 30 / 1000;
// Time after the end of a fade-out for the bytes to leave the sink before
// the stream is corked.
constexpr microseconds kCorkSlack{30'000};
// How often a tone lost while playing tries to come back.
constexpr pa_usec_t kResumeEveryUsec = 1'000'000;

class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop* mainloop) : m_mainloop(mainloop) { pa_threaded_mainloop_lock(m_mainloop); }
    ~MainloopLock() { pa_threaded_mainloop_unlock(m_mainloop); }
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

private:
    pa_threaded_mainloop* m_mainloop;
};

// One operation the calling thread waits for.
struct Pending {
    pa_threaded_mainloop* mainloop = nullptr;
    int success = 0;
};

void onPendingDone(pa_stream*, int success, void* userdata)
{
    auto* pending = static_cast<Pending*>(userdata);
    pending->success = success;
    pa_threaded_mainloop_signal(pending->mainloop, 0);
}

struct Alarm {
    pa_threaded_mainloop* mainloop = nullptr;
    bool rang = false;
};

void onAlarm(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata)
{
    auto* alarm = static_cast<Alarm*>(userdata);
    alarm->rang = true;
    pa_threaded_mainloop_signal(alarm->mainloop, 0);
}

// A one-shot timer on the monotonic clock, run by the main loop's thread.
pa_time_event* newTimer(pa_context* context, microseconds delay, pa_time_event_cb_t callback, void* userdata)
{
    const auto usec = static_cast<pa_usec_t>(std::max<long long>(delay.count(), 0));
    return pa_context_rttime_new(context, pa_rtclock_now() + usec, callback, userdata);
}

void freeTimer(pa_threaded_mainloop* mainloop, pa_time_event* timer)
{
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop);
    api->time_free(timer);
}

// Whether a connection or stream has settled: ready (true), failed
// (false), or still on its way (nothing).
std::optional<bool> settled(bool ready, bool good)
{
    if (ready)
        return true;
    if (!good)
        return false;
    return std::nullopt;
}

bool isOurFormat(const WaveFormatEx& f)
{
    return f.formatTag == kWaveFormatPcm && f.channels == 2 && f.samplesPerSec == kRate && f.bitsPerSample == 8 &&
           f.blockAlign == 2 && f.avgBytesPerSec == kRate * kBytesPerFrame;
}

}  // namespace

PulseWaveOut::PulseWaveOut() : m_loop(kLoopBytes, LoopRenderer::kSilence) {}

PulseWaveOut::~PulseWaveOut()
{
    // What the system does when the process ends: the stream goes, ending
    // any tone, whatever the program did or did not call.
    if (!m_mainloop)
        return;
    {
        MainloopLock lock(m_mainloop);
        stopResuming();
        disconnect();
    }
    pa_threaded_mainloop_stop(m_mainloop);
    pa_threaded_mainloop_free(m_mainloop);
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

    if (!m_mainloop) {
        m_mainloop = pa_threaded_mainloop_new();
        if (!m_mainloop)
            return kMmSysNoMemory;
        pa_threaded_mainloop_set_name(m_mainloop, "quavira-pulse");
        if (pa_threaded_mainloop_start(m_mainloop) < 0) {
            pa_threaded_mainloop_free(m_mainloop);
            m_mainloop = nullptr;
            return kMmSysError;
        }
    }
    const MmResult result = [&] {
        MainloopLock lock(m_mainloop);
        return connect(Clock::now() + kCallBudget);
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

    const Deadline deadline = Clock::now() + kCallBudget;
    MainloopLock lock(m_mainloop);
    stopResuming();
    if (!connected() && connect(deadline) != kMmSysNoError)
        return kMmSysError;
    m_data = header->data;
    copyLoop();
    cancelCork();
    std::uint64_t read = 0;
    std::uint64_t sinkFrames = 0;
    if (!readPosition(&read, deadline, &sinkFrames)) {
        disconnect();
        return kMmSysError;
    }

    if (m_playback != Playback::Stopped) {
        // Still uncorked (a fade-out is playing): the loop starts right after
        // it, or just after the read position if that has passed already.
        const std::uint64_t end = m_renderer.position();
        const std::uint64_t silent = m_renderer.silentFrom();
        const std::uint64_t from =
            std::max(read + kMarginFrames, silent == std::numeric_limits<std::uint64_t>::max() ? 0 : silent);
        queueUntil(from);
        m_renderer.start(from, m_loop.data());
        queueUntil(std::max(end, from + kQueueFrames));
        m_playback = Playback::Playing;
        return kMmSysNoError;
    }

    // Corked: the read position stands still. Anything still queued is
    // dropped first; the server runs the flush before the writes that follow
    // it. On uncorking, PulseAudio rewinds the sink to mix the stream in at
    // once, and what the sink had already rendered is lost to its monitor:
    // a lead-in of silence as long as the sink's buffer (plus the margin)
    // keeps the fade-in whole there.
    if (!m_flushed)
        pa_operation_unref(pa_stream_flush(m_stream, nullptr, nullptr));
    const std::uint64_t first = read + std::min<std::uint64_t>(sinkFrames, kMaxLeadInFrames) + kMarginFrames;
    m_renderer.restartAt(read);
    queueUntil(first);
    m_renderer.start(first, m_loop.data());
    queueUntil(first + kQueueFrames);
    m_playback = Playback::Playing;
    m_flushed = false;
    Pending uncorked{m_mainloop};
    if (finish(pa_stream_cork(m_stream, 0, onPendingDone, &uncorked), deadline) != Wait::Done || !uncorked.success) {
        disconnect();
        return kMmSysError;
    }
    return kMmSysNoError;
}

MmResult PulseWaveOut::reset(WaveOutHandle handle)
{
    if (!isOpen(handle))
        return kMmSysInvalidHandle;
    const Deadline deadline = Clock::now() + kCallBudget;
    MainloopLock lock(m_mainloop);
    // The user wants silence now, not the tone back when the server returns.
    stopResuming();
    // Nothing plays without a connection; the reset succeeds once a server
    // answers again, so that the next write finds one.
    if (!connected())
        return connect(deadline) == kMmSysNoError ? kMmSysNoError : kMmSysError;
    if (m_playback != Playback::Playing)
        return kMmSysNoError;

    std::uint64_t read = 0;
    if (!readPosition(&read, deadline)) {
        disconnect();
        return kMmSysError;
    }
    const std::uint64_t end = m_renderer.position();
    const std::uint64_t from = std::min(read + kMarginFrames, end);
    m_renderer.stop(from);
    queueUntil(end);
    m_playback = Playback::FadingOut;
    const auto untilSilent = microseconds((from + LoopRenderer::kFadeFrames - read) * 1'000'000 / kRate);
    scheduleCork(untilSilent + kCorkSlack);
    return kMmSysNoError;
}

MmResult PulseWaveOut::close(WaveOutHandle handle)
{
    if (!isOpen(handle))
        return kMmSysInvalidHandle;
    {
        MainloopLock lock(m_mainloop);
        stopResuming();
        disconnect();
        m_data = nullptr;
    }
    m_handle = kNoWaveOut;
    return kMmSysNoError;
}

void PulseWaveOut::loopChanged(WaveOutHandle handle)
{
    if (!isOpen(handle))
        return;
    const Deadline deadline = Clock::now() + kCallBudget;
    MainloopLock lock(m_mainloop);
    // While stopped the next write takes the loop as it then stands; while
    // the server is away, the tone comes back with the loop as it then is.
    if (m_resumeTimer) {
        copyLoop();
        return;
    }
    if (m_playback != Playback::Playing || !connected())
        return;
    copyLoop();
    std::uint64_t read = 0;
    if (!readPosition(&read, deadline)) {
        // A server too slow to answer is dropped; the tone comes back when
        // one answers again.
        disconnect();
        startResuming();
        return;
    }
    const std::uint64_t end = m_renderer.position();
    m_renderer.change(std::min(read + kMarginFrames, end), m_loop.data());
    queueUntil(end);
}

bool PulseWaveOut::connected() const
{
    return m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY && m_stream &&
           pa_stream_get_state(m_stream) == PA_STREAM_READY;
}

bool PulseWaveOut::beginContext()
{
    disconnect();
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Quavira");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "quavira");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "quavira");
    m_context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(m_mainloop), "Quavira", properties);
    pa_proplist_free(properties);
    if (!m_context)
        return false;
    pa_context_set_state_callback(m_context, onContextState, this);
    // No server of our own making: a desktop without one gets the fallback.
    return pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
}

bool PulseWaveOut::beginStream()
{
    const pa_sample_spec sampleFormat{PA_SAMPLE_U8, kRate, 2};
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    m_stream = pa_stream_new(m_context, "Binaural beats", &sampleFormat, &map);
    if (!m_stream)
        return false;
    pa_stream_set_state_callback(m_stream, onStreamState, this);
    pa_stream_set_write_callback(m_stream, onWritable, this);
    pa_stream_set_underflow_callback(m_stream, onUnderflow, this);
    pa_buffer_attr attributes{};
    attributes.maxlength = std::numeric_limits<std::uint32_t>::max();
    attributes.tlength = kQueueFrames * kBytesPerFrame;
    attributes.prebuf = std::numeric_limits<std::uint32_t>::max();
    attributes.minreq = kRequestFrames * kBytesPerFrame;
    attributes.fragsize = std::numeric_limits<std::uint32_t>::max();
    m_flushed = true;
    return pa_stream_connect_playback(m_stream, nullptr, &attributes, PA_STREAM_START_CORKED, nullptr, nullptr) >= 0;
}

MmResult PulseWaveOut::connect(Deadline deadline)
{
    if (!beginContext()) {
        // No context at all is a lack of memory; one that could not even
        // start connecting found no server.
        const MmResult result = m_context ? kMmSysBadDeviceId : kMmSysNoMemory;
        disconnect();
        return result;
    }
    const Wait contextReady = waitUntil(
        [this] {
            const pa_context_state_t state = pa_context_get_state(m_context);
            return settled(state == PA_CONTEXT_READY, PA_CONTEXT_IS_GOOD(state));
        },
        deadline);
    if (contextReady != Wait::Done) {
        const int error = contextReady == Wait::Failed ? pa_context_errno(m_context) : PA_ERR_TIMEOUT;
        disconnect();
        // Nobody listening is "no device"; a server that answers wrongly or
        // too late is a failure of the device.
        return error == PA_ERR_CONNECTIONREFUSED || error == PA_ERR_INVALIDSERVER ? kMmSysBadDeviceId : kMmSysError;
    }
    const Wait streamReady = !beginStream() ? Wait::Failed
                                            : waitUntil(
                                                  [this] {
                                                      const pa_stream_state_t state = pa_stream_get_state(m_stream);
                                                      return settled(state == PA_STREAM_READY, PA_STREAM_IS_GOOD(state));
                                                  },
                                                  deadline);
    if (streamReady != Wait::Done) {
        disconnect();
        return kMmSysError;
    }
    return kMmSysNoError;
}

void PulseWaveOut::disconnect()
{
    cancelCork();
    if (m_stream) {
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_set_write_callback(m_stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(m_stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream)))
            pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        m_stream = nullptr;
    }
    if (m_context) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    m_playback = Playback::Stopped;
    m_flushed = true;
    m_reconnecting = false;
}

template <typename Ready>
PulseWaveOut::Wait PulseWaveOut::waitUntil(Ready ready, Deadline deadline)
{
    // The alarm wakes the wait at the deadline when the server never answers.
    Alarm alarm{m_mainloop};
    pa_time_event* timer = newTimer(m_context, duration_cast<microseconds>(deadline - Clock::now()), onAlarm, &alarm);
    Wait result = Wait::TimedOut;
    for (;;) {
        if (const std::optional<bool> outcome = ready()) {
            result = *outcome ? Wait::Done : Wait::Failed;
            break;
        }
        if (alarm.rang || Clock::now() >= deadline)
            break;
        pa_threaded_mainloop_wait(m_mainloop);
    }
    freeTimer(m_mainloop, timer);
    return result;
}

PulseWaveOut::Wait PulseWaveOut::finish(pa_operation* operation, Deadline deadline)
{
    if (!operation)
        return Wait::Failed;
    const Wait result = waitUntil(
        [&]() -> std::optional<bool> {
            const pa_operation_state_t state = pa_operation_get_state(operation);
            if (state == PA_OPERATION_RUNNING)
                return std::nullopt;
            return state == PA_OPERATION_DONE;
        },
        deadline);
    // Its callback must not run once the caller's Pending is gone.
    if (result != Wait::Done)
        pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return result;
}

bool PulseWaveOut::readPosition(std::uint64_t* frame, Deadline deadline, std::uint64_t* sinkFrames)
{
    // Asked for now: the automatic updates can be a second old.
    Pending updated{m_mainloop};
    if (finish(pa_stream_update_timing_info(m_stream, onPendingDone, &updated), deadline) != Wait::Done ||
        !updated.success)
        return false;
    const pa_timing_info* timing = pa_stream_get_timing_info(m_stream);
    if (!timing || timing->read_index_corrupt || timing->read_index < 0)
        return false;
    *frame = static_cast<std::uint64_t>(timing->read_index) / kBytesPerFrame;
    if (sinkFrames)
        *sinkFrames = timing->sink_usec * kRate / 1'000'000;
    return true;
}

void PulseWaveOut::copyLoop()
{
    loadBytes({m_data, kLoopBytes}, m_loop.data());
}

void PulseWaveOut::queueUntil(std::uint64_t end)
{
    const std::uint64_t start = m_renderer.position();
    if (end <= start)
        return;
    const std::size_t frames = static_cast<std::size_t>(end - start);
    m_scratch.resize(frames * kBytesPerFrame);
    m_renderer.render(m_scratch.data(), frames);
    pa_stream_write(m_stream, m_scratch.data(), m_scratch.size(), nullptr, static_cast<std::int64_t>(start * kBytesPerFrame),
                    PA_SEEK_ABSOLUTE);
}

void PulseWaveOut::refill()
{
    if (m_playback == Playback::Stopped || !m_stream)
        return;
    const std::size_t bytes = pa_stream_writable_size(m_stream);
    if (bytes == static_cast<std::size_t>(-1) || bytes < kBytesPerFrame)
        return;
    queueUntil(m_renderer.position() + bytes / kBytesPerFrame);
}

void PulseWaveOut::scheduleCork(microseconds delay)
{
    cancelCork();
    m_corkTimer = newTimer(
        m_context, delay,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
            auto* me = static_cast<PulseWaveOut*>(userdata);
            me->cancelCork();
            if (me->m_playback != Playback::FadingOut || !me->connected())
                return;
            // The fade-out has played: cork, and drop the silence queued after it.
            pa_operation_unref(pa_stream_cork(me->m_stream, 1, nullptr, nullptr));
            pa_operation_unref(pa_stream_flush(me->m_stream, nullptr, nullptr));
            me->m_playback = Playback::Stopped;
            me->m_flushed = true;
        },
        this);
}

void PulseWaveOut::cancelCork()
{
    if (m_corkTimer) {
        freeTimer(m_mainloop, m_corkTimer);
        m_corkTimer = nullptr;
    }
}

void PulseWaveOut::onContextState(pa_context* context, void* self)
{
    auto* me = static_cast<PulseWaveOut*>(self);
    pa_threaded_mainloop_signal(me->m_mainloop, 0);
    const pa_context_state_t state = pa_context_get_state(context);
    if (me->m_reconnecting && state == PA_CONTEXT_READY && !me->beginStream())
        me->m_reconnecting = false;  // the next attempt starts afresh
    else if (!PA_CONTEXT_IS_GOOD(state))
        me->lost();
}

void PulseWaveOut::onStreamState(pa_stream* stream, void* self)
{
    auto* me = static_cast<PulseWaveOut*>(self);
    pa_threaded_mainloop_signal(me->m_mainloop, 0);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (me->m_reconnecting && state == PA_STREAM_READY)
        me->resume();
    else if (!PA_STREAM_IS_GOOD(state))
        me->lost();
}

void PulseWaveOut::lost()
{
    // The server went away (or dropped the stream) under a playing tone:
    // try to bring the tone back every second until a server answers, or a
    // call of the program says otherwise. An attempt that fails waits for
    // the next second.
    if (m_playback == Playback::Playing && !m_reconnecting)
        startResuming();
    m_reconnecting = false;
}

void PulseWaveOut::startResuming()
{
    m_playback = Playback::Stopped;
    if (!m_resumeTimer)
        armResumeTimer();
}

void PulseWaveOut::stopResuming()
{
    cancelResumeTimer();
    if (m_reconnecting)
        disconnect();
}

void PulseWaveOut::armResumeTimer()
{
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mainloop);
    struct timeval when {};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, kResumeEveryUsec);
    m_resumeTimer = api->time_new(api, &when, onResumeTimer, this);
}

void PulseWaveOut::cancelResumeTimer()
{
    if (m_resumeTimer) {
        freeTimer(m_mainloop, m_resumeTimer);
        m_resumeTimer = nullptr;
    }
}

void PulseWaveOut::onResumeTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self)
{
    auto* me = static_cast<PulseWaveOut*>(self);
    me->cancelResumeTimer();
    me->armResumeTimer();
    // An attempt that has not played within the second is dropped and
    // tried afresh.
    me->m_reconnecting = me->beginContext();
}

void PulseWaveOut::resume()
{
    // A new stream: its read position is 0 and it is corked. The tone
    // starts from the loop's first frame after a lead-in.
    cancelResumeTimer();
    m_reconnecting = false;
    const std::uint64_t first = kMaxLeadInFrames + kMarginFrames;
    m_renderer.restartAt(0);
    queueUntil(first);
    m_renderer.start(first, m_loop.data());
    queueUntil(first + kQueueFrames);
    m_playback = Playback::Playing;
    m_flushed = false;
    pa_operation_unref(pa_stream_cork(m_stream, 0, nullptr, nullptr));
}

void PulseWaveOut::onWritable(pa_stream*, std::size_t, void* self)
{
    static_cast<PulseWaveOut*>(self)->refill();
}

void PulseWaveOut::onUnderflow(pa_stream*, void* self)
{
    static_cast<PulseWaveOut*>(self)->m_underruns.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace quavira
