// SPDX-License-Identifier: GPL-3.0-or-later
// A recording of the test sink's monitor, put on the steady clock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quavira::sound {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
constexpr double kRate = 44100;

inline std::string sinkName()
{
    const char* name = std::getenv("QUAVIRA_TEST_SINK");
    return name && *name ? name : "quavira_test";
}

// True when the server answering PULSE_SERVER is PipeWire's: its graph is
// float and resamples, so its monitor gives the tones but not the bytes.
inline bool serverIsPipeWire()
{
    return std::system("pactl info 2>/dev/null | grep -q 'on PipeWire'") == 0;
}

// A command that records the test sink's monitor to its standard output.
inline std::string recorder(int latencyMs)
{
    return "parec --device=" + sinkName() + ".monitor --format=u8 --channels=2 --rate=44100 --raw --latency-msec=" +
           std::to_string(latencyMs);
}

// Records the sink's monitor on a thread: a fixed number of bytes, taken
// with head -c so that parec is never killed with data unflushed. The
// sink hands a frame to its monitor when it renders it, and no block can
// arrive before its last frame was rendered, so the earliest arrival
// against the frame count bounds when a frame was rendered: timeOf() errs
// late, never early.
class MonitorRecording {
public:
    // `latencyMs`: the recorder's; a reader of the monitor sets the sink's
    // latency itself, so a short one keeps the sink quick.
    explicit MonitorRecording(double seconds, int latencyMs = 10) : MonitorRecording(seconds, recorder(latencyMs)) {}
    // `recorder`: a command that writes the monitor to its standard output
    // as raw u8 stereo at 44,100 Hz.
    MonitorRecording(double seconds, const std::string& recorder)
    {
        const auto bytes = static_cast<std::size_t>(seconds * kRate) * 2;
        // Ended in any case a while after it should be complete: a monitor
        // that stays silent (a sink suspended) must not hold a test forever.
        const std::string command = "timeout " + std::to_string(static_cast<int>(seconds) + 20) + " " + recorder +
                                    " 2>/dev/null | head -c " + std::to_string(bytes);
        m_pipe = ::popen(command.c_str(), "r");
        if (m_pipe)
            m_reader = std::thread([this] { read(); });
    }
    ~MonitorRecording() { finish(); }
    MonitorRecording(const MonitorRecording&) = delete;
    MonitorRecording& operator=(const MonitorRecording&) = delete;

    // Until a quarter of a second arrived (an idle null sink renders in
    // 2-s blocks; a recorded one keeps pace). False if it never does.
    bool waitLive()
    {
        for (const auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
            if (m_received.load() >= 22050)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    const Bytes& finish()
    {
        if (m_reader.joinable())
            m_reader.join();
        if (m_pipe) {
            ::pclose(m_pipe);
            m_pipe = nullptr;
        }
        return m_bytes;
    }
    Clock::time_point timeOf(std::size_t frame) const
    {
        // From the blocks that ended within a third of a second after the
        // frame: a server that rewinds its sink (a stream starting) can make
        // the monitor lose frames, which shifts every later block.
        std::lock_guard lock(m_mutex);
        std::optional<Clock::time_point> zero;
        for (const auto& [arrived, end] : m_arrivals)
            if (end >= frame && end <= frame + 14700) {
                const Clock::time_point z = arrived - seconds(static_cast<double>(end));
                if (!zero || z < *zero)
                    zero = z;
            }
        return zero.value_or(Clock::time_point{}) + seconds(static_cast<double>(frame));
    }
    double msAfter(Clock::time_point call, std::size_t frame) const
    {
        return std::chrono::duration<double, std::milli>(timeOf(frame) - call).count();
    }

private:
    static Clock::duration seconds(double frames)
    {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(frames / kRate));
    }

    void read()
    {
        std::uint8_t chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, m_pipe)) > 0) {
            const Clock::time_point arrived = Clock::now();
            std::lock_guard lock(m_mutex);
            m_bytes.insert(m_bytes.end(), chunk, chunk + n);
            m_arrivals.emplace_back(arrived, m_bytes.size() / 2);
            m_received.store(m_bytes.size());
        }
    }

    FILE* m_pipe = nullptr;
    std::thread m_reader;
    mutable std::mutex m_mutex;
    Bytes m_bytes;
    std::vector<std::pair<Clock::time_point, std::size_t>> m_arrivals;  // when, frames received by then
    std::atomic<std::size_t> m_received{0};
};

}  // namespace quavira::sound
