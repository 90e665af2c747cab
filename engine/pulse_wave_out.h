// Wave-out on the desktop's sound server through libpulse: PulseAudio, or
// PipeWire's pulse server.
#pragma once

#include "loop_renderer.h"
#include "wave_out.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

struct pa_context;
struct pa_mainloop_api;
struct timeval;
struct pa_stream;
struct pa_threaded_mainloop;
struct pa_time_event;
struct pa_operation;

namespace quavira {

// One playback stream, 8-bit stereo at 44,100 Hz, that keeps about 200 to
// 450 ms of the loop queued at the server, so the client wakes a few times a
// second. Stream frame t plays loop frame t mod 44,100 counted from the last
// write; the bytes come from a private copy of the loop through the shared
// renderer. When the program rewrites the loop, loopChanged copies it again
// and rewrites what is queued, from just after the server's read position
// (fresh from the server) to the end of the queue, each byte at its absolute
// stream position, fading from what was queued to the new bytes. Reset fades
// out the same way and corks the stream once the fade has played, so a
// stopped program makes no wake-ups.
//
// Every call runs on the user-interface thread and waits for the server at
// most kCallBudget: a server that is frozen, gone or too slow costs the
// connection and the call fails. Write and reset connect again when the
// connection was lost, so the first call after the server is back succeeds.
// A tone lost while playing (the server restarted or was too slow) comes
// back by itself: a new connection is tried every second until one plays
// or a call of the program decides otherwise.
// libpulse's own thread runs the refills, callbacks and those attempts; the
// two threads share the state below under the threaded main loop's lock.
class PulseWaveOut final : public WaveOut {
public:
    static constexpr std::chrono::milliseconds kCallBudget{120};

    PulseWaveOut();
    ~PulseWaveOut() override;
    PulseWaveOut(const PulseWaveOut&) = delete;
    PulseWaveOut& operator=(const PulseWaveOut&) = delete;

    // kMmSysBadDeviceId when no server answers at all (there is nothing to
    // talk to), kMmSysError when one answers too slowly or refuses.
    MmResult open(WaveOutHandle* handle, std::uint32_t deviceId, const WaveFormatEx& format) override;
    MmResult prepareHeader(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize) override;
    MmResult write(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize) override;
    MmResult reset(WaveOutHandle handle) override;
    MmResult close(WaveOutHandle handle) override;
    void loopChanged(WaveOutHandle handle) override;

    // Underflows the server reported since open.
    std::uint64_t underruns() const { return m_underruns.load(std::memory_order_relaxed); }

private:
    enum class Playback { Stopped, Playing, FadingOut };
    enum class Wait { Done, Failed, TimedOut };
    using Deadline = std::chrono::steady_clock::time_point;

    bool isOpen(WaveOutHandle handle) const { return handle != kNoWaveOut && handle == m_handle; }
    bool connected() const;
    // The first steps of a connection, which the callbacks carry on when
    // the tone is being brought back; false when the step failed at once.
    bool beginContext();
    bool beginStream();
    MmResult connect(Deadline deadline);
    void disconnect();
    void lost();
    void startResuming();
    void stopResuming();
    void armResumeTimer();
    void cancelResumeTimer();
    void resume();
    template <typename Ready>
    Wait waitUntil(Ready ready, Deadline deadline);
    Wait finish(pa_operation* operation, Deadline deadline);
    // The server's read position now, in stream frames, and the sink's
    // latency in frames; false on failure.
    bool readPosition(std::uint64_t* frame, Deadline deadline, std::uint64_t* sinkFrames = nullptr);
    void copyLoop();
    // Renders from the renderer's position up to `end` and queues it at
    // its absolute stream position.
    void queueUntil(std::uint64_t end);
    void refill();
    void scheduleCork(std::chrono::microseconds delay);
    void cancelCork();

    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onWritable(pa_stream* stream, std::size_t bytes, void* self);
    static void onUnderflow(pa_stream* stream, void* self);
    static void onResumeTimer(pa_mainloop_api* api, pa_time_event* timer, const struct timeval* when, void* self);

    pa_threaded_mainloop* m_mainloop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    pa_time_event* m_corkTimer = nullptr;
    pa_time_event* m_resumeTimer = nullptr;  // set while the tone is to come back
    WaveOutHandle m_handle = kNoWaveOut;
    WaveOutHandle m_lastHandle = kNoWaveOut;

    // Under the main loop's lock from here on.
    Playback m_playback = Playback::Stopped;
    const Sample* m_data = nullptr;  // the written buffer, read on the UI thread only
    std::vector<std::uint8_t> m_loop;
    std::vector<std::uint8_t> m_scratch;
    LoopRenderer m_renderer;
    bool m_flushed = true;       // nothing queued at the server
    bool m_reconnecting = false;  // the callbacks are bringing the tone back

    std::atomic<std::uint64_t> m_underruns{0};
};

}  // namespace quavira
