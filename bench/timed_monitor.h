// SPDX-License-Identifier: GPL-3.0-or-later
// A recording of the test sink's monitor that places every frame in time
// from the server's timing info rather than from when it arrived.
#pragma once

#include "monitor_recording.h"
#include "pulse_client.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quavira::sound {

// Records the monitor through a libpulse stream with a long latency
// (`latency`): a reader of the monitor sets the sink's latency itself, so a
// short one would pull a deep sink down to it. Frames arrive in blocks as
// long as that latency, so their arrival says little of when they were
// heard; instead each read notes the stream's time (libpulse: the position
// now being played at the sink, corrected by the sink's latency for a
// monitor), and timeOf() places a frame from those notes.
class TimedMonitor {
public:
    TimedMonitor(double seconds, std::chrono::milliseconds latency)
        : m_wanted(static_cast<std::size_t>(seconds * kRate) * 2),
          m_client("quavira-monitor", [this, latency](pa_context* context) {
              const pa_sample_spec spec{PA_SAMPLE_U8, static_cast<std::uint32_t>(kRate), 2};
              pa_stream* stream = pa_stream_new(context, "monitor", &spec, nullptr);
              pa_stream_set_read_callback(stream, onRead, this);
              pa_buffer_attr attributes{};
              attributes.maxlength = static_cast<std::uint32_t>(-1);
              attributes.fragsize = static_cast<std::uint32_t>(static_cast<double>(latency.count()) * kRate / 1000) * 2;
              const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                                                PA_STREAM_ADJUST_LATENCY);
              pa_stream_connect_record(stream, (sinkName() + ".monitor").c_str(), &attributes, flags);
              return stream;
          })
    {
    }
    TimedMonitor(const TimedMonitor&) = delete;
    TimedMonitor& operator=(const TimedMonitor&) = delete;

    // Until the first frames arrived and the stream's time runs; false if
    // that does not happen within 5 s.
    bool waitLive()
    {
        for (const auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
            {
                std::lock_guard lock(m_mutex);
                if (m_notes.size() >= 2)
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Waits until the recording is complete (or 30 s more passed).
    const Bytes& finish()
    {
        for (const auto end = Clock::now() + std::chrono::seconds(30); Clock::now() < end;) {
            {
                std::lock_guard lock(m_mutex);
                if (m_bytes.size() >= m_wanted)
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::lock_guard lock(m_mutex);
        m_bytes.resize(std::min(m_bytes.size(), m_wanted));
        return m_bytes;
    }
    // When recording frame `frame` was played at the sink: from the median of
    // the notes' estimates of when frame 0 was.
    Clock::time_point timeOf(std::size_t frame) const
    {
        std::lock_guard lock(m_mutex);
        // Once the recording is complete its frame 0 is placed once: the
        // figures ask for thousands of frames.
        if (!m_zero || m_bytes.size() < m_wanted) {
            std::vector<Clock::duration> zeros;
            for (const Note& note : m_notes)
                zeros.push_back(note.when.time_since_epoch() - toDuration(note.streamUsec - note.firstFrameUsec));
            if (zeros.empty())
                return {};
            std::nth_element(zeros.begin(), zeros.begin() + static_cast<std::ptrdiff_t>(zeros.size() / 2), zeros.end());
            m_zero = zeros[zeros.size() / 2];
        }
        return Clock::time_point(*m_zero) + toDuration(static_cast<double>(frame) / kRate * 1e6);
    }
    double msAfter(Clock::time_point call, std::size_t frame) const
    {
        return std::chrono::duration<double, std::milli>(timeOf(frame) - call).count();
    }

private:
    struct Note {
        Clock::time_point when;
        double streamUsec;      // the stream's time then
        double firstFrameUsec;  // the stream time of the recording's frame 0
    };

    static Clock::duration toDuration(double usec)
    {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::micro>(usec));
    }
    static void onRead(pa_stream* stream, std::size_t, void* self)
    {
        auto* me = static_cast<TimedMonitor*>(self);
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
            {
                std::lock_guard lock(me->m_mutex);
                if (!me->m_started) {
                    // The stream's read index here is the recording's frame 0.
                    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
                    me->m_firstFrameUsec =
                        timing ? static_cast<double>(timing->read_index) / 2 / kRate * 1e6 : 0.0;
                    me->m_started = true;
                }
                if (data && me->m_bytes.size() < me->m_wanted) {
                    const auto* begin = static_cast<const std::uint8_t*>(data);
                    me->m_bytes.insert(me->m_bytes.end(), begin, begin + bytes);
                } else if (!data && me->m_bytes.size() < me->m_wanted) {
                    me->m_bytes.insert(me->m_bytes.end(), bytes, 128);  // a hole
                }
            }
            pa_stream_drop(stream);
        }
        pa_usec_t usec = 0;
        if (pa_stream_get_time(stream, &usec) == 0) {
            std::lock_guard lock(me->m_mutex);
            me->m_notes.push_back({Clock::now(), static_cast<double>(usec), me->m_firstFrameUsec});
        }
    }

    std::size_t m_wanted;
    mutable std::mutex m_mutex;
    Bytes m_bytes;
    std::vector<Note> m_notes;
    bool m_started = false;
    mutable std::optional<Clock::duration> m_zero;  // when frame 0 was played, once complete
    double m_firstFrameUsec = 0;
    PulseClient m_client;  // last: its stream calls back into the members above
};

}  // namespace quavira::sound
