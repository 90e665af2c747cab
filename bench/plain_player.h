// SPDX-License-Identifier: GPL-3.0-or-later
// A plain libpulse player of the same loop, as a music player would stream
// it: 400 ms queued, asked for 100 ms at a time. The yardstick of the whole
// sound path's cost.
#pragma once

#include "loop_format.h"

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <vector>

namespace quavira::sound {

class PlainPlayer {
public:
    explicit PlainPlayer(std::vector<std::uint8_t> loop) : m_loop(std::move(loop))
    {
        m_mainloop = pa_threaded_mainloop_new();
        if (!m_mainloop || pa_threaded_mainloop_start(m_mainloop) < 0)
            return;
        pa_threaded_mainloop_lock(m_mainloop);
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_mainloop), "plain-player");
        pa_context_set_state_callback(m_context, onSignal, this);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
            while (pa_context_get_state(m_context) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)))
                pa_threaded_mainloop_wait(m_mainloop);
        }
        if (pa_context_get_state(m_context) == PA_CONTEXT_READY) {
            const pa_sample_spec spec{PA_SAMPLE_U8, static_cast<std::uint32_t>(kFramesPerSecond), 2};
            m_stream = pa_stream_new(m_context, "plain", &spec, nullptr);
            pa_stream_set_write_callback(m_stream, onWritable, this);
            pa_buffer_attr attributes{};
            attributes.maxlength = static_cast<std::uint32_t>(-1);
            attributes.tlength = static_cast<std::uint32_t>(kFramesPerSecond * 400 / 1000 * 2);
            attributes.prebuf = static_cast<std::uint32_t>(-1);
            attributes.minreq = static_cast<std::uint32_t>(kFramesPerSecond * 100 / 1000 * 2);
            attributes.fragsize = static_cast<std::uint32_t>(-1);
            pa_stream_connect_playback(m_stream, nullptr, &attributes, static_cast<pa_stream_flags_t>(0), nullptr, nullptr);
        }
        pa_threaded_mainloop_unlock(m_mainloop);
    }
    ~PlainPlayer()
    {
        if (!m_mainloop)
            return;
        pa_threaded_mainloop_lock(m_mainloop);
        if (m_stream) {
            pa_stream_disconnect(m_stream);
            pa_stream_unref(m_stream);
        }
        if (m_context) {
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
        pa_threaded_mainloop_unlock(m_mainloop);
        pa_threaded_mainloop_stop(m_mainloop);
        pa_threaded_mainloop_free(m_mainloop);
    }
    PlainPlayer(const PlainPlayer&) = delete;
    PlainPlayer& operator=(const PlainPlayer&) = delete;

private:
    static void onSignal(pa_context*, void* self)
    {
        pa_threaded_mainloop_signal(static_cast<PlainPlayer*>(self)->m_mainloop, 0);
    }
    static void onWritable(pa_stream* stream, std::size_t bytes, void* self)
    {
        auto* me = static_cast<PlainPlayer*>(self);
        std::vector<std::uint8_t> chunk(bytes & ~std::size_t{1});
        for (std::uint8_t& byte : chunk) {
            byte = me->m_loop[me->m_next];
            me->m_next = (me->m_next + 1) % me->m_loop.size();
        }
        pa_stream_write(stream, chunk.data(), chunk.size(), nullptr, 0, PA_SEEK_RELATIVE);
    }

    std::vector<std::uint8_t> m_loop;
    std::size_t m_next = 0;
    pa_threaded_mainloop* m_mainloop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
};

}  // namespace quavira::sound
