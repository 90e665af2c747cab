// SPDX-License-Identifier: GPL-3.0-or-later
// A wave-out that uses its first back end when that one finds a device, and
// its second otherwise.
#pragma once

#include "wave_out.h"

#include <memory>

namespace quavira {

// Open tries the preferred back end; when it reports that there is no
// device at all (kMmSysBadDeviceId), the fallback is opened instead. Every
// later call goes to the one that opened. UI thread only.
class FallbackWaveOut final : public WaveOut {
public:
    FallbackWaveOut(std::unique_ptr<WaveOut> preferred, std::unique_ptr<WaveOut> fallback);

    MmResult open(WaveOutHandle* handle, std::uint32_t deviceId, const WaveFormatEx& format) override;
    MmResult prepareHeader(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize) override;
    MmResult write(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize) override;
    MmResult reset(WaveOutHandle handle) override;
    MmResult close(WaveOutHandle handle) override;
    void loopChanged(WaveOutHandle handle) override;
    void expectChanges(WaveOutHandle handle) override;
    void fadeLevel(WaveOutHandle handle, double depth, std::uint64_t frames) override;
    void setNoise(WaveOutHandle handle, std::optional<NoiseColour> colour, double levelDb) override;
    double volume(WaveOutHandle handle) override;
    void setVolume(WaveOutHandle handle, double level) override;
    // Both back ends get it: the one that opens may change at the next open.
    void setVolumeListener(std::function<void()> listener) override;

private:
    std::unique_ptr<WaveOut> m_preferred;
    std::unique_ptr<WaveOut> m_fallback;
    WaveOut* m_active;  // the preferred one until a fallback was opened
};

// The shipped program's device: the desktop's sound server through libpulse
// (PulseAudio or PipeWire), or PortAudio where no server answers.
std::unique_ptr<WaveOut> makeSystemWaveOut();

}  // namespace quavira
