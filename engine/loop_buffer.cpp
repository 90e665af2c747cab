// SPDX-License-Identifier: GPL-3.0-or-later
// The one-second loop buffer and the device that plays it endlessly.
#include "loop_buffer.h"

namespace quavira {

namespace {
constexpr std::uint32_t kEndlessLoops = 0xFFFFFFFF;  // about 136 years of one-second passes
}

LoopBuffer::LoopBuffer(std::unique_ptr<WaveOut> device) : m_device(std::move(device)) {}

LoopBuffer::~LoopBuffer()
{
    // The device goes first (member order); nothing else to do here. The
    // program itself never stops or closes the device at exit.
    m_device.reset();
}

std::string LoopBuffer::open()
{
    {
        const WaveFormatEx format{kWaveFormatPcm, 2, 44100, 88200, 2, 8, 0};
        m_lastResult = m_device->open(&m_handle, kWaveMapper, format);
    }
    if (m_lastResult != kMmSysNoError) {
        m_handle = kNoWaveOut;
        return "Error003";
    }
    // The device may have kept another noise from before it was closed.
    m_device->setNoise(m_handle, m_noiseColour, m_noiseLevelDb);

    // Zeroed so that a read of a byte no fill has written yet is defined.
    m_buffer.reset(new Sample[kLoopBytes]());

    m_header = WaveHdr{};
    m_header.data = m_buffer.get();
    m_header.bufferLength = static_cast<std::uint32_t>(kLoopBytes);
    m_header.flags = kWhdrBeginLoop;
    m_header.loops = 1;
    m_lastResult = m_device->prepareHeader(m_handle, &m_header, kWaveHdrSize);
    const MmResult prepared = m_lastResult;

    m_header.flags = kWhdrPrepared | kWhdrBeginLoop | kWhdrEndLoop;
    m_header.loops = kEndlessLoops;

    if (prepared != kMmSysNoError) {
        close();
        return "Error001";
    }
    return kStatusOk;
}

std::string LoopBuffer::startLooped()
{
    m_lastResult = m_device->reset(m_handle);
    if (m_lastResult != kMmSysNoError)
        return "Can't reset!";
    m_lastResult = m_device->write(m_handle, &m_header, kWaveHdrSize);
    if (m_lastResult != kMmSysNoError)
        return "Can't write!";
    return kStatusOk;
}

std::string LoopBuffer::stop()
{
    m_lastResult = m_device->reset(m_handle);
    if (m_lastResult != kMmSysNoError)
        return "Can't stop, won't stop!";
    return kStatusOk;
}

std::string LoopBuffer::close()
{
    m_lastResult = m_device->reset(m_handle);
    const bool stoppedReading = m_lastResult == kMmSysNoError;
    if (stoppedReading)
        releaseBuffer();
    if (m_lastResult != kMmSysNoError)
        return "Unable to close!";

    m_lastResult = m_device->close(m_handle);
    if (m_lastResult != kMmSysNoError)
        return "Unable to close!";
    m_handle = kNoWaveOut;
    return kStatusOk;
}

void LoopBuffer::fillChannel(std::int32_t freqHz, std::int8_t amplitude, float phaseRad, Channel channel)
{
    if (!m_buffer)
        return;
    quavira::fillChannel(samples(), freqHz, amplitude, phaseRad, channel);
    m_device->loopChanged(m_handle);
}

void LoopBuffer::expectChanges()
{
    if (m_handle != kNoWaveOut)
        m_device->expectChanges(m_handle);
}

double LoopBuffer::volume() const
{
    return m_device->volume(m_handle);
}

void LoopBuffer::setVolume(double level)
{
    m_device->setVolume(m_handle, level);
}

void LoopBuffer::fadeLevel(double depth, std::chrono::milliseconds span)
{
    if (m_handle != kNoWaveOut)
        m_device->fadeLevel(m_handle, depth, static_cast<std::uint64_t>(span.count()) * kFramesPerSecond / 1000);
}

void LoopBuffer::setVolumeListener(std::function<void()> listener)
{
    m_device->setVolumeListener(std::move(listener));
}

void LoopBuffer::releaseBuffer()
{
    // A failed reset leaves the device possibly still reading, so the buffer
    // is kept then; it goes with the engine, after the device.
    m_buffer.reset();
    m_header.data = nullptr;
}

void LoopBuffer::setNoise(std::optional<NoiseColour> colour, double levelDb)
{
    m_noiseColour = colour;
    m_noiseLevelDb = levelDb;
    if (m_handle != kNoWaveOut)
        m_device->setNoise(m_handle, colour, levelDb);
}

}  // namespace quavira
