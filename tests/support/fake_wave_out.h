// SPDX-License-Identifier: GPL-3.0-or-later
// A wave-out back end for tests: any call can be made to fail with a chosen
// result, every call is recorded, and a written buffer is "played" on a
// thread of its own, which copies its bytes into a recording the way a
// device would read them.
#pragma once

#include "loop_device_checks.h"
#include "wave_out.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace quavira::testing {

enum class WaveOutCall { Open, PrepareHeader, Write, Reset, Close };

class FakeWaveOut final : public WaveOut {
public:
    FakeWaveOut() = default;
    ~FakeWaveOut() override;

    // Every later call of `call` returns `result` (0 makes it succeed again).
    void setResult(WaveOutCall call, MmResult result);

    MmResult open(WaveOutHandle* handle, std::uint32_t deviceId, const WaveFormatEx& format) override;
    MmResult prepareHeader(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize) override;
    MmResult write(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize) override;
    MmResult reset(WaveOutHandle handle) override;
    MmResult close(WaveOutHandle handle) override;
    // Counted apart from calls(): every fill makes one.
    void loopChanged(WaveOutHandle) override { m_loopChanges.fetch_add(1); }
    void expectChanges(WaveOutHandle) override { m_expectations.fetch_add(1); }
    // Recorded, and not applied: the recording is the loop's bytes.
    void fadeLevel(WaveOutHandle, double depth, std::uint64_t frames) override;
    // Recorded only: the recording holds the loop alone.
    void setNoise(WaveOutHandle, std::optional<NoiseColour> colour, double levelDb) override;

    std::vector<WaveOutCall> calls() const;
    std::size_t loopChanges() const { return m_loopChanges.load(); }
    std::size_t expectations() const { return m_expectations.load(); }
    // Every fadeLevel asked for: depth, frames.
    std::vector<std::pair<double, std::uint64_t>> levels() const;
    // Every setNoise, in order: colour (none for off), level in dBFS RMS.
    using NoiseCall = std::pair<std::optional<NoiseColour>, double>;
    std::vector<NoiseCall> noises() const;
    WaveFormatEx lastFormat() const;
    std::uint32_t lastDeviceId() const;
    bool isPlaying() const { return m_playing.load(); }
    bool isOpen() const;

    // Blocks until the playing thread has recorded at least `bytes` bytes
    // since the last write (or `timeoutMs` passed); returns what it has.
    std::vector<std::uint8_t> waitForRecording(std::size_t bytes, int timeoutMs = 5000);
    // Bytes played per wake-up of the playing thread.
    static constexpr std::size_t kChunkBytes = 4410;
    // The recording stops growing here (about 45 s of sound).
    static constexpr std::size_t kMaxRecordingBytes = 4'000'000;

private:
    void stopPlayer();
    void play(const Sample* data, std::size_t length, std::uint64_t passes);

    mutable std::mutex m_mutex;
    std::condition_variable m_recorded;
    std::map<WaveOutCall, MmResult> m_results;
    std::vector<WaveOutCall> m_calls;
    std::vector<std::pair<double, std::uint64_t>> m_levels;
    std::vector<NoiseCall> m_noises;
    WaveFormatEx m_format{};
    std::uint32_t m_deviceId = 0;
    LoopDeviceChecks m_checks;
    std::vector<std::uint8_t> m_recording;

    std::thread m_player;
    std::atomic<bool> m_playing{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<std::size_t> m_loopChanges{0};
    std::atomic<std::size_t> m_expectations{0};
};

}  // namespace quavira::testing
