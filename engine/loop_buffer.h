// SPDX-License-Identifier: GPL-3.0-or-later
// The one-second loop buffer and the device that plays it endlessly.
#pragma once

#include "channel_synthesis.h"
#include "loop_format.h"
#include "noise_colour.h"
#include "wave_out.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace quavira {

// Status texts of the four operations: "0" is success.
inline constexpr const char* kStatusOk = "0";

// Process-wide engine state: device handle, loop buffer, its header and the
// last device result. Only the user-interface thread calls it; the device
// reads the buffer on its own thread. It owns the device, which is released
// (stream stopped, audio thread ended) before the buffer is freed, so the
// audio thread never outlives the bytes it reads.
class LoopBuffer {
public:
    explicit LoopBuffer(std::unique_ptr<WaveOut> device);
    ~LoopBuffer();
    LoopBuffer(const LoopBuffer&) = delete;
    LoopBuffer& operator=(const LoopBuffer&) = delete;

    std::string open();
    std::string startLooped();
    std::string stop();
    std::string close();

    // Fill channel on the loop buffer, then tells the device that its bytes
    // changed. Does nothing when no buffer exists.
    void fillChannel(std::int32_t freqHz, std::int8_t amplitude, float phaseRad, Channel channel);
    // Tells the device that the user is about to act: changes should be
    // heard quickly from now on. Cheap; does nothing when no device is open.
    void expectChanges();
    // The output moves along the fade curve to `depth` (0 full, 1 silence)
    // over `span` from about now; the next start plays at full level again.
    // The buffer itself is untouched. Does nothing when no device is open.
    void fadeLevel(double depth, std::chrono::milliseconds span);

    // The noise under the tone: `colour` at `levelDb` dBFS RMS, or none.
    // Kept here and given to every device opened from now on; an open
    // device hears it at once (WaveOut::setNoise).
    void setNoise(std::optional<NoiseColour> colour, double levelDb);
    std::optional<NoiseColour> noiseColour() const { return m_noiseColour; }
    double noiseLevelDb() const { return m_noiseLevelDb; }

    // The device's own volume on the sound server's scale (1.0 is its 100 %);
    // 1.0 where the device has none, and setting it there does nothing.
    double volume() const;
    void setVolume(double level);
    // Runs `listener` on the device's own thread when its volume changes
    // other than by setVolume; see WaveOut::setVolumeListener.
    void setVolumeListener(std::function<void()> listener);

    // Empty when no buffer exists (before Open, after a failed Open, after
    // Close released it); writers and readers must then do nothing.
    std::span<Sample> samples() { return {m_buffer.get(), m_buffer ? kLoopBytes : 0}; }
    std::span<const Sample> samples() const { return {m_buffer.get(), m_buffer ? kLoopBytes : 0}; }

    MmResult lastResult() const { return m_lastResult; }
    const WaveHdr& header() const { return m_header; }
    WaveOutHandle handle() const { return m_handle; }

private:
    void releaseBuffer();

    WaveHdr m_header;
    std::unique_ptr<Sample[]> m_buffer;
    WaveOutHandle m_handle = kNoWaveOut;
    MmResult m_lastResult = kMmSysNoError;
    std::optional<NoiseColour> m_noiseColour;
    double m_noiseLevelDb = kDefaultNoiseLevelDb;
    // Declared last so it is destroyed first: the device stops reading before
    // the buffer goes.
    std::unique_ptr<WaveOut> m_device;
};

}  // namespace quavira
