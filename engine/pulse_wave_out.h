// SPDX-License-Identifier: GPL-3.0-or-later
// Wave-out on the desktop's sound server through libpulse: PulseAudio, or
// PipeWire's pulse server.
#pragma once

#include "loop_device_checks.h"
#include "loop_renderer.h"
#include "noise_source.h"
#include "output_level.h"
#include "output_stage.h"
#include "pulse_connection.h"
#include "pulse_timing.h"
#include "wave_out.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <vector>

struct pa_operation;
struct pa_stream;
struct pa_time_event;

namespace quavira {

// One playback stream, 16-bit stereo at 44,100 Hz, that keeps over a second
// of the loop queued at the server, so the client wakes rarely and a server
// that stalls for a moment (its main loop busy, a device being probed) and
// then catches up finds enough to play. Stream frame t plays loop frame
// t mod 44,100 counted from the last write; the bytes come from private
// copies of the loop through the shared output stage, with the noise
// mixed in beside it. When the program
// rewrites the loop, loopChanged copies it and rewrites what is queued,
// from the first frame the server has not taken yet and will not take
// before the write arrives (StreamTiming) to the end of the queue, each
// byte at its absolute stream position, fading from what was queued to the
// new bytes. Reset fades out the same way and corks the stream once the
// fade has been played, so a stopped program makes no wake-ups; releasing
// the device (close, or destroying it) while the tone plays fades it out
// and lets the fade be heard first.
//
// The stream is buffered deep while the user only listens and quick while
// the user acts (expectChanges, and every change): it turns quick at once
// and deep again after kQuietBeforeDeep without either. While nothing
// plays and the user acts, the stream runs quick with silence, so that the
// sink is awake and quick when Start comes, which is then a change; after
// kQuietBeforeDeep without input it is corked again.
//
// Start from corked (no input before it, a media key): a corked stream
// reads nothing, so the loop is written right at its read index, learnt
// when it was corked, and the stream uncorked; PulseAudio mixes it in at
// once. No round trip stands between the call and the sound.
//
// Every call runs on the user-interface thread. One user action waits for
// the server at most ActionBudget::kBudget in all. A server that answers
// later than that is late, not lost: the call writes where it is safe
// without a fresh position (at the end of what is queued: heard later,
// never behind the read index), succeeds, and the sound is brought in line
// when the answer comes. Only a connection or stream that fails is lost.
// Open waits up to kOpenBudget for a server whose socket accepted the
// connection (one still starting). Write connects again when the
// connection was lost, so the first Start after the server is back plays;
// with nothing playing, reset and close succeed whether or not a server
// answers. A tone lost while playing comes back by itself once a server
// answers, unless a call of the program decided otherwise. libpulse's own
// thread runs the refills, callbacks and timers; both threads share the
// state below under the main loop's lock.
class PulseWaveOut final : public WaveOut, private PulseStreamEvents {
public:
    static constexpr std::chrono::milliseconds kOpenBudget{3000};
    static constexpr std::chrono::milliseconds kQuietBeforeDeep{2000};
    // The longest a release waits for the fade-out to be played.
    static constexpr std::chrono::milliseconds kReleaseLimit{800};

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
    void expectChanges(WaveOutHandle handle) override;
    void fadeLevel(WaveOutHandle handle, double depth, std::uint64_t frames) override;
    void setNoise(WaveOutHandle handle, std::optional<NoiseColour> colour, double levelDb) override;
    // The stream's own volume at the server (PulseStreamVolume).
    double volume(WaveOutHandle handle) override;
    void setVolume(WaveOutHandle handle, double level) override;
    void setVolumeListener(std::function<void()> listener) override;

    // Underflows the server reported since open.
    std::uint64_t underruns() const { return m_underruns.load(std::memory_order_relaxed); }
    // Attempts to bring a lost tone back since it was lost.
    std::uint64_t resumeAttempts() const { return m_connection.resumeAttempts(); }
    // Whether the stream is buffered quick now.
    bool quick() const { return m_quick.load(std::memory_order_relaxed); }
    // How far the server's read index is taken to move at once now.
    std::uint64_t readStepFrames();

private:
    // Primed: nothing plays, but the user acts, so the stream runs quick
    // with silence: the sink stays awake and at a few milliseconds, and a
    // start is only a change.
    enum class Playback { Stopped, Primed, Playing, FadingOut };
    // What a call did while the server was late, to be brought in line
    // when its answer comes.
    enum class Late { Nothing, Change, Start, CorkedStart, Stop };

    MmResult connect(Deadline deadline);
    void dropConnection();
    PulseClock::time_point lastInput() const;
    bool recentInput() const;
    void noteInput();
    void setLatency(Latency latency);
    void armQuietTimer(std::chrono::microseconds delay);
    void calibrateSoon();
    // Copies the live loop into the copy the renderer does not play.
    const std::uint8_t* takeCopy();
    const std::uint8_t* playLatestCopy();
    // Renders from the renderer's position up to `end` and queues it at
    // its absolute stream position.
    void queueUntil(std::uint64_t end);
    // queueUntil() for what was just rewritten from the renderer's position.
    void rewriteUntil(std::uint64_t end);
    // The first frame a rewrite may start at now, with what comes before
    // it queued as things stand.
    std::uint64_t rewriteFrom(const StreamPosition& position);
    // Plays the latest copy from stream frame `first`, fading in from what
    // was queued there.
    void beginPlaying(std::uint64_t first);
    // From corked: the stream runs quick with silence (Primed); and back.
    void prime();
    void rest();
    void fadeOut(const StreamPosition& position);
    void fadeOutFrom(std::uint64_t from);
    // Sends again what is queued from `from` on, at the level it now has.
    void resendFrom(std::uint64_t from);
    // Writes the scratch bytes at the output's level from stream frame
    // `first` on.
    void sendScratchAt(std::uint64_t first);
    void releaseStream();
    // The rest of a rewrite, held back a moment (rewriteUntil), sent now.
    void sendBody();
    // The end of what is queued at the server, the rest of a rewrite not
    // yet sent included.
    std::uint64_t queuedEnd() const;
    // Where a call may write without a fresh position: the end of what is
    // queued, once the rest of any rewrite has been sent.
    std::uint64_t endOfQueue();
    void noteLate(Late what, std::uint64_t frame);
    // The server answered a request a call gave up on. It first catches up
    // with what it missed (a null sink takes the stall's length at once),
    // so the position is asked again a moment later, and what the late
    // calls wrote is brought in line from that one.
    void serverBack();
    void askInLinePosition();
    void inLinePositionAnswered(const StreamPosition* position);
    void bringInLine(const StreamPosition& position);
    // Where the corked, flushed stream's read index stands, asked once it
    // was corked, so that a start need not ask.
    void corkedPositionAnswered(const StreamPosition* position);
    void forgetCorkedPosition();

    void checkFadedOut();
    void scheduleFadeCheck(std::chrono::microseconds delay);
    void cancelTimers();
    void fadeCheckAnswered(const StreamPosition* position);

    void streamWritable() override;
    void streamUnderflow() override;
    void streamBack() override;
    void streamLost() override;

    PulseConnection m_connection;
    StreamTiming m_timing;
    ActionBudget m_budget;
    LoopDeviceChecks m_checks;
    std::atomic<PulseClock::rep> m_lastInput{0};
    std::atomic<bool> m_quick{false};
    // Quick and uncorked (playing, or primed): input needs nothing more.
    std::atomic<bool> m_ready{false};

    // Under the main loop's lock from here on.
    Playback m_playback = Playback::Stopped;
    bool m_wantPlaying = false;  // a write succeeded and no call said otherwise since
    bool m_flushed = true;       // nothing queued at the server
    std::optional<std::uint64_t> m_corkedRead;  // corked and flushed: the read index
    PositionRequest m_corkedPosition;
    Late m_late = Late::Nothing;
    std::uint64_t m_lateFrame = 0;  // where the late call wrote
    pa_time_event* m_inLineTimer = nullptr;
    PositionRequest m_inLinePosition;
    Latency m_latency = Latency::Deep;
    const Sample* m_data = nullptr;  // the written buffer, read on the UI thread only
    std::array<std::vector<std::uint8_t>, 2> m_copies;
    std::size_t m_playingCopy = 0;
    std::size_t m_latestCopy = 0;
    std::vector<std::int16_t> m_scratch;
    std::uint64_t m_bodyEnd = 0;  // where the rest of a rewrite held back ends
    pa_time_event* m_bodyTimer = nullptr;
    OutputStage m_renderer;
    NoiseSource m_noise{std::random_device{}()};  // no two streams alike
    OutputLevel m_level;
    std::uint64_t m_fadeEnd = 0;  // the first silent frame after a fade-out
    pa_time_event* m_fadeTimer = nullptr;
    PositionRequest m_fadeCheck;
    pa_time_event* m_quietTimer = nullptr;
    pa_time_event* m_calibrateTimer = nullptr;

    std::atomic<std::uint64_t> m_underruns{0};
};

}  // namespace quavira
