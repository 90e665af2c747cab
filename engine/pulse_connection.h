// SPDX-License-Identifier: GPL-3.0-or-later
// The connection to the desktop's sound server through libpulse: main loop,
// context and one playback stream, waits that end at a deadline, and a lost
// stream brought back.
#pragma once

#include "pulse_stream_volume.h"
#include "wave_out.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include <pulse/def.h>
#include <pulse/mainloop-api.h>

struct pa_context;
struct pa_io_event;
struct pa_mainloop_api;
struct pa_operation;
struct pa_stream;
struct pa_threaded_mainloop;
struct pa_time_event;
struct timeval;

namespace quavira {

using PulseClock = std::chrono::steady_clock;
using Deadline = PulseClock::time_point;

// What happens to the stream, told on libpulse's thread under the main
// loop's lock.
class PulseStreamEvents {
public:
    virtual void streamWritable() = 0;
    virtual void streamUnderflow() = 0;
    // A stream the connection brought back by itself is ready, corked.
    virtual void streamBack() = 0;
    // The server went away, or dropped the stream, while it was connected.
    virtual void streamLost() = 0;

protected:
    ~PulseStreamEvents() = default;
};

// An operation a thread waits for: its outcome, and the main loop to wake.
struct PulseReply {
    pa_threaded_mainloop* mainloop = nullptr;
    int success = 0;
    static void done(pa_stream* stream, int success, void* reply);
};

// Holds the main loop's lock for its lifetime.
class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop* mainloop);
    ~MainloopLock();
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

private:
    pa_threaded_mainloop* m_mainloop;
};

// How long one user action (a click, a key) may wait for the server in
// all, however many calls it makes: calls that follow each other within
// kGap belong to one action and share its kBudget, which only the time
// spent in them uses up. UI thread only.
class ActionBudget {
public:
    static constexpr std::chrono::milliseconds kBudget{180};
    static constexpr std::chrono::milliseconds kGap{20};

    // The deadline of a call starting at `now`.
    Deadline begin(PulseClock::time_point now);
    // The call that began last has ended at `now`.
    void end(PulseClock::time_point now);
    // The user has just acted: the next call begins a new action.
    void newAction();

private:
    PulseClock::time_point m_lastEnd{};
    PulseClock::duration m_spent{};
    PulseClock::time_point m_callStart{};
};

// One context and one playback stream, 8-bit stereo at 44,100 Hz, created
// corked. Every call is made under the main loop's lock (MainloopLock on
// mainloop()), from the UI thread or from libpulse's own thread.
//
// A connection attempt fails at once when nobody listens on the server's
// socket; once the socket has accepted it, it may wait longer for a server
// that is still starting. While a lost stream is to come back, attempts
// back off from 1 s to 30 s, and one is made at once when the server's
// socket appears again.
class PulseConnection {
public:
    enum class Wait { Done, Failed, TimedOut };

    explicit PulseConnection(PulseStreamEvents& events);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Starts libpulse's thread (once); false when it cannot.
    bool startMainloop();
    pa_threaded_mainloop* mainloop() const { return m_mainloop; }
    pa_stream* stream() const { return m_stream; }
    bool connected() const;

    // Connects with the stream's buffer `attributes`: kMmSysBadDeviceId when
    // no server listens at all, kMmSysError when it answers wrongly or not
    // before `deadline` (`acceptedDeadline` once the socket has accepted).
    MmResult connect(const pa_buffer_attr& attributes, Deadline deadline, Deadline acceptedDeadline);
    void disconnect();

    // Waits, with the lock released meanwhile, until `ready` gives an
    // outcome or the deadline passes; an alarm ends the wait even when the
    // server never answers.
    template <typename Ready>
    Wait waitUntil(Ready ready, Deadline deadline);
    // Waits for `operation` (null: failed) and drops it.
    Wait finish(pa_operation* operation, Deadline deadline);

    // Bringing the stream back: attempts until one gives a ready stream
    // (PulseStreamEvents::streamBack) or stopResuming is called.
    void startResuming(const pa_buffer_attr& attributes);
    void stopResuming();
    bool resuming() const { return m_resuming; }
    // Connection attempts made since the stream was lost, for the tests.
    std::uint64_t resumeAttempts() const { return m_attempts.load(std::memory_order_relaxed); }

    // The stream's own volume at the server, kept across streams.
    PulseStreamVolume& volume() { return m_volume; }

    // A one-shot timer, run by libpulse's thread; freeTimer frees it (if
    // set) and clears the pointer.
    using TimerCallback = void (*)(pa_mainloop_api*, pa_time_event*, const struct timeval*, void*);
    pa_time_event* newTimer(std::chrono::microseconds delay, TimerCallback callback, void* userdata);
    void freeTimer(pa_time_event*& timer);

private:
    struct Alarm {
        pa_threaded_mainloop* mainloop = nullptr;
        pa_time_event* timer = nullptr;
        bool rang = false;
    };
    void setAlarm(Alarm& alarm, Deadline deadline);
    void clearAlarm(Alarm& alarm);
    void waitForEvent();

    bool beginContext();
    bool beginStream(const pa_buffer_attr& attributes);
    void scheduleAttempt(std::chrono::microseconds delay);
    void attempt();
    void watchSocket();
    void unwatchSocket();

    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onWritable(pa_stream* stream, std::size_t bytes, void* self);
    static void onUnderflow(pa_stream* stream, void* self);
    static void onSocketDirectory(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags events, void* self);

    PulseStreamEvents& m_events;
    pa_threaded_mainloop* m_mainloop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    pa_buffer_attr m_attributes{};

    bool m_streamReady = false;  // the stream has been ready and not lost since
    bool m_resuming = false;
    bool m_attempting = false;  // a connection of the resuming is on its way
    std::chrono::microseconds m_backOff{};
    pa_time_event* m_attemptTimer = nullptr;
    int m_socketWatch = -1;
    pa_io_event* m_socketEvent = nullptr;
    std::string m_socketName;
    std::atomic<std::uint64_t> m_attempts{0};
    // Volume hooks: the new stream's volume (beginStream), ready
    // (onStreamState) and gone (disconnect).
    PulseStreamVolume m_volume;
};

template <typename Ready>
PulseConnection::Wait PulseConnection::waitUntil(Ready ready, Deadline deadline)
{
    Alarm alarm;
    setAlarm(alarm, deadline);
    Wait result = Wait::TimedOut;
    for (;;) {
        if (const auto outcome = ready()) {
            result = *outcome ? Wait::Done : Wait::Failed;
            break;
        }
        if (alarm.rang || PulseClock::now() >= deadline)
            break;
        waitForEvent();
    }
    clearAlarm(alarm);
    return result;
}

}  // namespace quavira
