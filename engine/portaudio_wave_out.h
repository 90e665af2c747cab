// SPDX-License-Identifier: GPL-3.0-or-later
// Wave-out on PortAudio's default output device.
#pragma once

#include "loop_device_checks.h"
#include "loop_format.h"
#include "loop_snapshots.h"
#include "noise_source.h"
#include "output_level.h"
#include "output_stage.h"
#include "wave_out.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

using PaStream = void;
struct PaStreamCallbackTimeInfo;

namespace quavira {

// Sees every buffer the callback hands to the device, on the audio thread,
// so it must neither block nor allocate. The tests hear the fallback's own
// output there, apart from what the device path after it may add.
class OutputTap {
public:
    // `count` 16-bit samples, two a frame, as the device gets them.
    virtual void heard(const std::int16_t* samples, std::size_t count) = 0;

protected:
    ~OutputTap() = default;
};

// One stream on the default output device, 16-bit stereo at 44,100 Hz with
// a low suggested latency: the fallback where no sound server runs. The
// stream runs only between write and reset. Its callback plays a private
// copy of the written buffer, and the noise under it, through the shared
// output stage, which fades every change, start and stop; loopChanged hands
// it a fresh copy and setNoise a new noise, both without a lock. The
// callback never allocates, locks or logs. UI thread for every call; the
// callback runs on PortAudio's audio thread.
class PortAudioWaveOut final : public WaveOut {
public:
    PortAudioWaveOut() = default;
    ~PortAudioWaveOut() override;
    PortAudioWaveOut(const PortAudioWaveOut&) = delete;
    PortAudioWaveOut& operator=(const PortAudioWaveOut&) = delete;

    MmResult open(WaveOutHandle* handle, std::uint32_t deviceId, const WaveFormatEx& format) override;
    MmResult prepareHeader(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize) override;
    MmResult write(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize) override;
    MmResult reset(WaveOutHandle handle) override;
    MmResult close(WaveOutHandle handle) override;
    void loopChanged(WaveOutHandle handle) override;
    void fadeLevel(WaveOutHandle handle, double depth, std::uint64_t frames) override;
    void setNoise(WaveOutHandle handle, std::optional<NoiseColour> colour, double levelDb) override;

    // Callback invocations that reported an output underflow since open.
    std::uint64_t underruns() const { return m_underruns.load(std::memory_order_relaxed); }
    // The stream's own figure for its output latency, 0 when not open.
    double outputLatencySeconds() const;
    // `tap` (null: none) sees the output from the next write on.
    void setTap(OutputTap* tap) { m_tap.store(tap, std::memory_order_relaxed); }

private:
    static int streamCallback(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* timeInfo,
                              unsigned long statusFlags, void* self);
    void render(std::int16_t* out, std::size_t frames, double dacTime);
    // The noise as one word, so that the callback never reads half of one
    // setting and half of the next.
    static std::uint64_t packNoise(std::optional<NoiseColour> colour, double levelDb);
    void takeNoise(std::uint64_t packed, std::uint64_t frame);
    // Opens a stream on the default output device (starting PortAudio first
    // when it is not running).
    MmResult openStream();
    // Closes a stream the host ended and opens a fresh one; false when no
    // device takes it.
    bool reopenStream();
    // Lets a playing stream fade out and the device play it (bounded
    // wait), then stops it.
    void fadeOutAndStop();
    void abortStream();

    bool m_initialised = false;
    PaStream* m_stream = nullptr;
    LoopDeviceChecks m_checks;

    // Set by write before the stream starts; the callback's own while it
    // runs. The live buffer is read only on the UI thread, into snapshots.
    const Sample* m_data = nullptr;
    LoopSnapshots m_snapshots{kLoopBytes};
    OutputStage m_stage;
    // Seeded anew for every stream, so that no two plays are alike. Set up
    // by write with the noise last asked for; the callback's own while the
    // stream runs, taking setNoise's requests through the two atomics below,
    // the request's number last.
    NoiseSource m_noise{0};
    std::uint32_t m_noiseTaken = 0;
    std::atomic<std::uint64_t> m_noiseSetting{0};
    std::atomic<std::uint32_t> m_noiseAsked{0};
    // The level the callback plays at; fadeLevel asks for a new one through
    // the three atomics below, the request's number last.
    OutputLevel m_level;
    std::uint32_t m_levelTaken = 0;
    std::atomic<double> m_levelDepth{0.0};
    std::atomic<std::uint64_t> m_levelFrames{0};
    std::atomic<std::uint32_t> m_levelAsked{0};
    std::uint64_t m_played = 0;  // stream frames handed to PortAudio
    bool m_fadingOut = false;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_fadedOut{false};
    std::atomic<double> m_silentAtStreamTime{0.0};  // stream time the fade-out ends at the device; 0: unknown
    std::atomic<std::uint64_t> m_underruns{0};
    std::atomic<OutputTap*> m_tap{nullptr};
    // Set once the host ended the stream on its own (the audio server or the
    // device went away): the dead stream is never started again, which can
    // hang in the host API; the next write opens a fresh one.
    bool m_lost = false;
};

}  // namespace quavira
