// SPDX-License-Identifier: GPL-3.0-or-later
// A wave-out back end for tests.
#include "fake_wave_out.h"

#include <chrono>

namespace quavira::testing {

FakeWaveOut::~FakeWaveOut()
{
    stopPlayer();
}

void FakeWaveOut::setResult(WaveOutCall call, MmResult result)
{
    std::lock_guard lock(m_mutex);
    m_results[call] = result;
}

MmResult FakeWaveOut::open(WaveOutHandle* handle, std::uint32_t deviceId, const WaveFormatEx& format)
{
    std::lock_guard lock(m_mutex);
    m_calls.push_back(WaveOutCall::Open);
    m_format = format;
    m_deviceId = deviceId;
    if (const MmResult r = m_results[WaveOutCall::Open]; r != kMmSysNoError) {
        *handle = kNoWaveOut;
        return r;
    }
    if (const MmResult refused = m_checks.open(handle, deviceId, format))
        return refused;
    m_checks.opened(handle);
    return kMmSysNoError;
}

MmResult FakeWaveOut::prepareHeader(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize)
{
    std::lock_guard lock(m_mutex);
    m_calls.push_back(WaveOutCall::PrepareHeader);
    if (const MmResult r = m_results[WaveOutCall::PrepareHeader]; r != kMmSysNoError)
        return r;
    return m_checks.prepare(handle, header, headerSize);
}

MmResult FakeWaveOut::write(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize)
{
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(WaveOutCall::Write);
        if (const MmResult r = m_results[WaveOutCall::Write]; r != kMmSysNoError)
            return r;
        if (const MmResult refused = m_checks.header(handle, header, headerSize, true))
            return refused;
    }
    stopPlayer();
    const bool looping = (header->flags & kWhdrBeginLoop) && (header->flags & kWhdrEndLoop);
    const std::uint64_t passes = looping ? std::max<std::uint64_t>(header->loops, 1) : 1;
    {
        std::lock_guard lock(m_mutex);
        m_recording.clear();
    }
    m_stopRequested = false;
    m_playing = true;
    m_player = std::thread([this, data = header->data, length = std::size_t{header->bufferLength}, passes] {
        play(data, length, passes);
    });
    return kMmSysNoError;
}

MmResult FakeWaveOut::reset(WaveOutHandle handle)
{
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(WaveOutCall::Reset);
        if (const MmResult r = m_results[WaveOutCall::Reset]; r != kMmSysNoError)
            return r;  // a failed reset leaves the device playing
        if (const MmResult refused = m_checks.call(handle))
            return refused;
    }
    stopPlayer();
    return kMmSysNoError;
}

MmResult FakeWaveOut::close(WaveOutHandle handle)
{
    std::lock_guard lock(m_mutex);
    m_calls.push_back(WaveOutCall::Close);
    if (const MmResult r = m_results[WaveOutCall::Close]; r != kMmSysNoError)
        return r;
    if (const MmResult refused = m_checks.call(handle))
        return refused;
    m_checks.closed();
    return kMmSysNoError;
}

void FakeWaveOut::fadeLevel(WaveOutHandle, double depth, std::uint64_t frames)
{
    std::lock_guard lock(m_mutex);
    m_levels.emplace_back(depth, frames);
}

std::vector<std::pair<double, std::uint64_t>> FakeWaveOut::levels() const
{
    std::lock_guard lock(m_mutex);
    return m_levels;
}

void FakeWaveOut::setNoise(WaveOutHandle, std::optional<NoiseColour> colour, double levelDb)
{
    std::lock_guard lock(m_mutex);
    m_noises.emplace_back(colour, levelDb);
}

std::vector<FakeWaveOut::NoiseCall> FakeWaveOut::noises() const
{
    std::lock_guard lock(m_mutex);
    return m_noises;
}

std::vector<WaveOutCall> FakeWaveOut::calls() const
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

WaveFormatEx FakeWaveOut::lastFormat() const
{
    std::lock_guard lock(m_mutex);
    return m_format;
}

std::uint32_t FakeWaveOut::lastDeviceId() const
{
    std::lock_guard lock(m_mutex);
    return m_deviceId;
}

bool FakeWaveOut::isOpen() const
{
    std::lock_guard lock(m_mutex);
    return m_checks.anyOpen();
}

std::vector<std::uint8_t> FakeWaveOut::waitForRecording(std::size_t bytes, int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    m_recorded.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_recording.size() >= bytes; });
    return m_recording;
}

void FakeWaveOut::stopPlayer()
{
    m_stopRequested = true;
    if (m_player.joinable())
        m_player.join();
    m_playing = false;
}

void FakeWaveOut::play(const Sample* data, std::size_t length, std::uint64_t passes)
{
    std::size_t position = 0;
    std::vector<std::uint8_t> chunk(kChunkBytes);
    while (!m_stopRequested && passes > 0) {
        std::size_t n = 0;
        for (; n < kChunkBytes && passes > 0; ++n) {
            chunk[n] = data[position].load(std::memory_order_relaxed);
            if (++position == length) {
                position = 0;
                --passes;
            }
        }
        {
            std::lock_guard lock(m_mutex);
            if (m_recording.size() < kMaxRecordingBytes)
                m_recording.insert(m_recording.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        }
        m_recorded.notify_all();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_playing = false;
}

}  // namespace quavira::testing
