// SPDX-License-Identifier: GPL-3.0-or-later
// The libpulse plumbing the figures' own clients share: a threaded main loop,
// a context connected to the default server, and the one stream the client
// makes, all torn down together.
#pragma once

#include <pulse/pulseaudio.h>

#include <functional>

namespace quavira::sound {

class PulseClient {
public:
    // Connects as `name`; if the server is ready, `makeStream` is called with
    // the main loop locked and returns the client's stream (or nullptr).
    PulseClient(const char* name, const std::function<pa_stream*(pa_context*)>& makeStream)
    {
        m_mainloop = pa_threaded_mainloop_new();
        if (!m_mainloop || pa_threaded_mainloop_start(m_mainloop) < 0)
            return;
        pa_threaded_mainloop_lock(m_mainloop);
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_mainloop), name);
        pa_context_set_state_callback(m_context, onSignal, m_mainloop);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
            while (pa_context_get_state(m_context) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)))
                pa_threaded_mainloop_wait(m_mainloop);
        }
        if (pa_context_get_state(m_context) == PA_CONTEXT_READY)
            m_stream = makeStream(m_context);
        pa_threaded_mainloop_unlock(m_mainloop);
    }
    ~PulseClient()
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
    PulseClient(const PulseClient&) = delete;
    PulseClient& operator=(const PulseClient&) = delete;

private:
    static void onSignal(pa_context*, void* mainloop)
    {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(mainloop), 0);
    }

    pa_threaded_mainloop* m_mainloop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
};

}  // namespace quavira::sound
