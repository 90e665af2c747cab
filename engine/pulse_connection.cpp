// SPDX-License-Identifier: GPL-3.0-or-later
// The connection to the desktop's sound server through libpulse.
#include "pulse_connection.h"

#include "loop_format.h"

#include <pulse/pulseaudio.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace quavira {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;

// How long a lost stream waits before the first attempt to bring it back,
// and at most between two attempts; each failed attempt doubles the wait.
constexpr microseconds kFirstAttempt{1'000'000};
constexpr microseconds kLongestBackOff{30'000'000};
// After the server's socket appears: time for the server to get ready.
constexpr microseconds kAttemptAfterSocket{50'000};

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

// The socket libpulse connects to: the local one it names, or its default.
// Empty when it is a network server or several.
std::string serverSocketPath()
{
    if (const char* server = std::getenv("PULSE_SERVER"); server && *server) {
        const std::string address(server);
        if (address.rfind("unix:", 0) == 0 && address.find(' ') == std::string::npos)
            return address.substr(5);
        return address.front() == '/' && address.find(' ') == std::string::npos ? address : std::string();
    }
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/pulse/native";
    return {};
}

}  // namespace

void PulseReply::done(pa_stream*, int success, void* reply)
{
    auto* me = static_cast<PulseReply*>(reply);
    me->success = success;
    pa_threaded_mainloop_signal(me->mainloop, 0);
}

MainloopLock::MainloopLock(pa_threaded_mainloop* mainloop) : m_mainloop(mainloop)
{
    pa_threaded_mainloop_lock(m_mainloop);
}

MainloopLock::~MainloopLock()
{
    pa_threaded_mainloop_unlock(m_mainloop);
}

Deadline ActionBudget::begin(PulseClock::time_point now)
{
    if (now - m_lastEnd > kGap)
        m_spent = {};
    m_callStart = now;
    return now + std::max<PulseClock::duration>(kBudget - m_spent, PulseClock::duration::zero());
}

void ActionBudget::end(PulseClock::time_point now)
{
    m_spent += now - m_callStart;
    m_lastEnd = now;
}

void ActionBudget::newAction()
{
    m_lastEnd = {};
}

PulseConnection::PulseConnection(PulseStreamEvents& events) : m_events(events) {}

PulseConnection::~PulseConnection()
{
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

bool PulseConnection::startMainloop()
{
    if (m_mainloop)
        return true;
    m_mainloop = pa_threaded_mainloop_new();
    if (!m_mainloop)
        return false;
    pa_threaded_mainloop_set_name(m_mainloop, "quavira-pulse");
    if (pa_threaded_mainloop_start(m_mainloop) < 0) {
        pa_threaded_mainloop_free(m_mainloop);
        m_mainloop = nullptr;
        return false;
    }
    return true;
}

bool PulseConnection::connected() const
{
    return m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY && m_stream &&
           pa_stream_get_state(m_stream) == PA_STREAM_READY;
}

MmResult PulseConnection::connect(const pa_buffer_attr& attributes, Deadline deadline, Deadline acceptedDeadline)
{
    m_attributes = attributes;
    if (!beginContext()) {
        // No context at all is a lack of memory; one that could not even
        // start connecting found no server.
        const MmResult result = m_context ? kMmSysBadDeviceId : kMmSysNoMemory;
        disconnect();
        return result;
    }
    const auto contextState = [this] { return pa_context_get_state(m_context); };
    // A local socket accepts or refuses at once; a server that is still
    // starting may then take its time to answer.
    Wait wait = waitUntil(
        [&]() -> std::optional<bool> {
            const pa_context_state_t state = contextState();
            if (state == PA_CONTEXT_UNCONNECTED || state == PA_CONTEXT_CONNECTING)
                return std::nullopt;
            return PA_CONTEXT_IS_GOOD(state);
        },
        deadline);
    if (wait == Wait::Done)
        wait = waitUntil([&] { return settled(contextState() == PA_CONTEXT_READY, PA_CONTEXT_IS_GOOD(contextState())); },
                         acceptedDeadline);
    if (wait != Wait::Done) {
        const int error = wait == Wait::Failed ? pa_context_errno(m_context) : PA_ERR_TIMEOUT;
        disconnect();
        // Nobody listening is "no device"; a server that answers wrongly or
        // too late is a failure of the device.
        return error == PA_ERR_CONNECTIONREFUSED || error == PA_ERR_INVALIDSERVER ? kMmSysBadDeviceId : kMmSysError;
    }
    wait = !beginStream(attributes) ? Wait::Failed
                                    : waitUntil(
                                          [this] {
                                              const pa_stream_state_t state = pa_stream_get_state(m_stream);
                                              return settled(state == PA_STREAM_READY, PA_STREAM_IS_GOOD(state));
                                          },
                                          acceptedDeadline);
    if (wait != Wait::Done) {
        disconnect();
        return kMmSysError;
    }
    m_streamReady = true;
    return kMmSysNoError;
}

bool PulseConnection::beginContext()
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

bool PulseConnection::beginStream(const pa_buffer_attr& attributes)
{
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(kFramesPerSecond), 2};
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    m_stream = pa_stream_new(m_context, "Binaural beats", &sampleFormat, &map);
    if (!m_stream)
        return false;
    pa_stream_set_state_callback(m_stream, onStreamState, this);
    pa_stream_set_write_callback(m_stream, onWritable, this);
    pa_stream_set_underflow_callback(m_stream, onUnderflow, this);
    return pa_stream_connect_playback(m_stream, nullptr, &attributes, PA_STREAM_START_CORKED,
                                      m_volume.forNewStream() /* volume hook */, nullptr) >= 0;
}

void PulseConnection::disconnect()
{
    m_volume.streamGone();  // volume hook
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
    m_streamReady = false;
    m_attempting = false;
}

void PulseConnection::setAlarm(Alarm& alarm, Deadline deadline)
{
    alarm.mainloop = m_mainloop;
    alarm.timer = newTimer(
        duration_cast<microseconds>(deadline - PulseClock::now()),
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
            auto* rung = static_cast<Alarm*>(userdata);
            rung->rang = true;
            pa_threaded_mainloop_signal(rung->mainloop, 0);
        },
        &alarm);
}

void PulseConnection::clearAlarm(Alarm& alarm)
{
    freeTimer(alarm.timer);
}

void PulseConnection::waitForEvent()
{
    pa_threaded_mainloop_wait(m_mainloop);
}

PulseConnection::Wait PulseConnection::finish(pa_operation* operation, Deadline deadline)
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
    // Its callback must not run once the caller's state is gone.
    if (result != Wait::Done)
        pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return result;
}

pa_time_event* PulseConnection::newTimer(microseconds delay, TimerCallback callback, void* userdata)
{
    // The main loop's own clock; a context-less timer also serves while the
    // server is away.
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mainloop);
    struct timeval when {};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(std::max<long long>(delay.count(), 0)));
    return api->time_new(api, &when, callback, userdata);
}

void PulseConnection::freeTimer(pa_time_event*& timer)
{
    if (!timer)
        return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mainloop);
    api->time_free(timer);
    timer = nullptr;
}

void PulseConnection::startResuming(const pa_buffer_attr& attributes)
{
    m_attributes = attributes;
    if (m_resuming)
        return;
    m_resuming = true;
    m_attempts.store(0, std::memory_order_relaxed);
    m_backOff = kFirstAttempt;
    watchSocket();
    scheduleAttempt(m_backOff);
}

void PulseConnection::stopResuming()
{
    if (!m_resuming)
        return;
    m_resuming = false;
    freeTimer(m_attemptTimer);
    unwatchSocket();
    if (m_attempting)
        disconnect();
}

void PulseConnection::scheduleAttempt(microseconds delay)
{
    freeTimer(m_attemptTimer);
    m_attemptTimer = newTimer(
        delay,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            static_cast<PulseConnection*>(self)->attempt();
        },
        this);
}

void PulseConnection::attempt()
{
    freeTimer(m_attemptTimer);
    m_attempts.fetch_add(1, std::memory_order_relaxed);
    // An attempt still on its way when the next is due is dropped for it.
    m_attempting = beginContext();
    m_backOff = std::min(2 * m_backOff, kLongestBackOff);
    scheduleAttempt(m_backOff);
}

void PulseConnection::watchSocket()
{
    const std::string path = serverSocketPath();
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return;
    m_socketWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_socketWatch < 0)
        return;
    const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
    if (::inotify_add_watch(m_socketWatch, directory.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB) < 0) {
        unwatchSocket();
        return;
    }
    m_socketName = path.substr(slash + 1);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mainloop);
    m_socketEvent = api->io_new(api, m_socketWatch, PA_IO_EVENT_INPUT, onSocketDirectory, this);
}

void PulseConnection::unwatchSocket()
{
    if (m_socketEvent) {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_mainloop);
        api->io_free(m_socketEvent);
        m_socketEvent = nullptr;
    }
    if (m_socketWatch >= 0) {
        ::close(m_socketWatch);
        m_socketWatch = -1;
    }
}

void PulseConnection::onSocketDirectory(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags, void* self)
{
    auto* me = static_cast<PulseConnection*>(self);
    alignas(inotify_event) char buffer[4096];
    bool socketAppeared = false;
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        for (char* at = buffer; at < buffer + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            if (event->len > 0 && me->m_socketName == event->name)
                socketAppeared = true;
            at += sizeof(inotify_event) + event->len;
        }
    }
    if (socketAppeared && me->m_resuming) {
        // The server is back: try now, and soon again if it was not ready.
        me->m_backOff = kFirstAttempt / 2;
        me->scheduleAttempt(kAttemptAfterSocket);
    }
}

void PulseConnection::onContextState(pa_context* context, void* self)
{
    auto* me = static_cast<PulseConnection*>(self);
    pa_threaded_mainloop_signal(me->m_mainloop, 0);
    const pa_context_state_t state = pa_context_get_state(context);
    if (me->m_attempting) {
        if (state == PA_CONTEXT_READY && !me->beginStream(me->m_attributes))
            me->m_attempting = false;  // the next attempt starts afresh
        else if (!PA_CONTEXT_IS_GOOD(state))
            me->m_attempting = false;
        return;
    }
    if (!PA_CONTEXT_IS_GOOD(state) && me->m_streamReady) {
        me->m_streamReady = false;
        me->m_events.streamLost();
    }
}

void PulseConnection::onStreamState(pa_stream* stream, void* self)
{
    auto* me = static_cast<PulseConnection*>(self);
    pa_threaded_mainloop_signal(me->m_mainloop, 0);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY)
        me->m_volume.streamReady(me->m_context, stream);  // volume hook
    if (me->m_attempting) {
        if (state == PA_STREAM_READY) {
            me->m_attempting = false;
            me->m_resuming = false;
            me->freeTimer(me->m_attemptTimer);
            me->unwatchSocket();
            me->m_streamReady = true;
            me->m_events.streamBack();
        } else if (!PA_STREAM_IS_GOOD(state)) {
            me->m_attempting = false;
        }
        return;
    }
    if (!PA_STREAM_IS_GOOD(state) && me->m_streamReady) {
        me->m_streamReady = false;
        me->m_events.streamLost();
    }
}

void PulseConnection::onWritable(pa_stream*, std::size_t, void* self)
{
    static_cast<PulseConnection*>(self)->m_events.streamWritable();
}

void PulseConnection::onUnderflow(pa_stream*, void* self)
{
    static_cast<PulseConnection*>(self)->m_events.streamUnderflow();
}

}  // namespace quavira
