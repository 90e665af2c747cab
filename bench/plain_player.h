// SPDX-License-Identifier: GPL-3.0-or-later
// A plain libpulse player of the same loop, as a music player would stream
// it: 400 ms queued, asked for 100 ms at a time. The yardstick of the whole
// sound path's cost.
#pragma once

#include "loop_format.h"
#include "pulse_client.h"

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <vector>

namespace quavira::sound {

class PlainPlayer {
public:
    explicit PlainPlayer(std::vector<std::uint8_t> loop)
        : m_loop(std::move(loop)), m_client("plain-player", [this](pa_context* context) {
              const pa_sample_spec spec{PA_SAMPLE_U8, static_cast<std::uint32_t>(kFramesPerSecond), 2};
              pa_stream* stream = pa_stream_new(context, "plain", &spec, nullptr);
              pa_stream_set_write_callback(stream, onWritable, this);
              pa_buffer_attr attributes{};
              attributes.maxlength = static_cast<std::uint32_t>(-1);
              attributes.tlength = static_cast<std::uint32_t>(kFramesPerSecond * 400 / 1000 * 2);
              attributes.prebuf = static_cast<std::uint32_t>(-1);
              attributes.minreq = static_cast<std::uint32_t>(kFramesPerSecond * 100 / 1000 * 2);
              attributes.fragsize = static_cast<std::uint32_t>(-1);
              pa_stream_connect_playback(stream, nullptr, &attributes, static_cast<pa_stream_flags_t>(0), nullptr, nullptr);
              return stream;
          })
    {
    }
    PlainPlayer(const PlainPlayer&) = delete;
    PlainPlayer& operator=(const PlainPlayer&) = delete;

private:
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
    PulseClient m_client;  // last: its stream calls back into the members above
};

}  // namespace quavira::sound
