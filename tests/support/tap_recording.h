// SPDX-License-Identifier: GPL-3.0-or-later
// The PortAudio fallback's own output, as its callback hands it to the device.
#pragma once

#include "monitor_recording.h"
#include "portaudio_wave_out.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quavira::sound {

// Records from the audio thread into room taken beforehand. PulseAudio's
// ALSA plugin, the fallback's way to the test server, drops out now and
// then by itself, whatever plays through it (a bare PortAudio sine player
// does too), so the monitor cannot tell such a gap from one of the
// program's; the tap hears the program alone.
class TapRecording final : public OutputTap {
public:
    explicit TapRecording(double seconds) : m_samples(static_cast<std::size_t>(seconds * kRate) * 2) {}

    void heard(const std::int16_t* samples, std::size_t count) override
    {
        const std::size_t at = m_used.load(std::memory_order_relaxed);
        const std::size_t n = std::min(count, m_samples.size() - at);
        std::memcpy(m_samples.data() + at, samples, n * sizeof(std::int16_t));
        m_used.store(at + n, std::memory_order_release);
    }
    // Samples heard so far: the frames the stream handed out before now
    // are the first half as many.
    std::size_t samplesHeard() const { return m_used.load(std::memory_order_acquire); }
    // Once the stream has stopped for good: the 16-bit samples.
    std::vector<std::int16_t> samples() const
    {
        const auto used = static_cast<std::ptrdiff_t>(m_used.load(std::memory_order_acquire));
        return {m_samples.begin(), m_samples.begin() + used};
    }
    // The same at the nearest 8-bit step, as the measures of the loop's
    // bytes take them: the loop's own samples come back as its bytes
    // exactly, and a fade keeps its steps centred (dropping the low byte
    // would take every small negative sample a step down).
    Bytes recording() const
    {
        Bytes bytes;
        for (const std::int16_t sample : samples())
            bytes.push_back(static_cast<std::uint8_t>(std::min((sample + 128) >> 8, 127) + 128));
        return bytes;
    }

private:
    std::vector<std::int16_t> m_samples;
    std::atomic<std::size_t> m_used{0};
};

}  // namespace quavira::sound
