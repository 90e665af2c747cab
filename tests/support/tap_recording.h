// SPDX-License-Identifier: GPL-3.0-or-later
// The PortAudio fallback's own output, as its callback hands it to the device.
#pragma once

#include "monitor_recording.h"
#include "portaudio_wave_out.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace quavira::sound {

// Records from the audio thread into room taken beforehand. PulseAudio's
// ALSA plugin, the fallback's way to the test server, drops out now and
// then by itself, whatever plays through it (a bare PortAudio sine player
// does too), so the monitor cannot tell such a gap from one of the
// program's; the tap hears the program alone.
class TapRecording final : public OutputTap {
public:
    explicit TapRecording(double seconds) : m_bytes(static_cast<std::size_t>(seconds * kRate) * 2) {}

    void heard(const std::uint8_t* bytes, std::size_t count) override
    {
        const std::size_t at = m_used.load(std::memory_order_relaxed);
        const std::size_t n = std::min(count, m_bytes.size() - at);
        std::memcpy(m_bytes.data() + at, bytes, n);
        m_used.store(at + n, std::memory_order_release);
    }
    // Once the stream has stopped for good.
    Bytes recording() const { return Bytes(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_used.load(std::memory_order_acquire))); }

private:
    Bytes m_bytes;
    std::atomic<std::size_t> m_used{0};
};

}  // namespace quavira::sound
