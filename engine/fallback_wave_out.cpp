// SPDX-License-Identifier: GPL-3.0-or-later
// A wave-out that falls back to a second back end when the first finds no
// device.
#include "fallback_wave_out.h"

#include "portaudio_wave_out.h"
#include "pulse_wave_out.h"

namespace quavira {

FallbackWaveOut::FallbackWaveOut(std::unique_ptr<WaveOut> preferred, std::unique_ptr<WaveOut> fallback)
    : m_preferred(std::move(preferred)), m_fallback(std::move(fallback)), m_active(m_preferred.get())
{
}

MmResult FallbackWaveOut::open(WaveOutHandle* handle, std::uint32_t deviceId, const WaveFormatEx& format)
{
    m_active = m_preferred.get();
    const MmResult result = m_preferred->open(handle, deviceId, format);
    if (result != kMmSysBadDeviceId || deviceId != kWaveMapper)
        return result;
    m_active = m_fallback.get();
    return m_fallback->open(handle, deviceId, format);
}

MmResult FallbackWaveOut::prepareHeader(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize)
{
    return m_active->prepareHeader(handle, header, headerSize);
}

MmResult FallbackWaveOut::write(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize)
{
    return m_active->write(handle, header, headerSize);
}

MmResult FallbackWaveOut::reset(WaveOutHandle handle)
{
    return m_active->reset(handle);
}

MmResult FallbackWaveOut::close(WaveOutHandle handle)
{
    return m_active->close(handle);
}

void FallbackWaveOut::loopChanged(WaveOutHandle handle)
{
    m_active->loopChanged(handle);
}

void FallbackWaveOut::expectChanges(WaveOutHandle handle)
{
    m_active->expectChanges(handle);
}

double FallbackWaveOut::volume(WaveOutHandle handle)
{
    return m_active->volume(handle);
}

void FallbackWaveOut::setVolume(WaveOutHandle handle, double level)
{
    m_active->setVolume(handle, level);
}

void FallbackWaveOut::fadeLevel(WaveOutHandle handle, double depth, std::uint64_t frames)
{
    m_active->fadeLevel(handle, depth, frames);
}

void FallbackWaveOut::setNoise(WaveOutHandle handle, std::optional<NoiseColour> colour, double levelDb)
{
    m_active->setNoise(handle, colour, levelDb);
}

void FallbackWaveOut::setVolumeListener(std::function<void()> listener)
{
    m_preferred->setVolumeListener(listener);
    m_fallback->setVolumeListener(std::move(listener));
}

std::unique_ptr<WaveOut> makeSystemWaveOut()
{
    return std::make_unique<FallbackWaveOut>(std::make_unique<PulseWaveOut>(), std::make_unique<PortAudioWaveOut>());
}

}  // namespace quavira
