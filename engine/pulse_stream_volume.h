// SPDX-License-Identifier: GPL-3.0-or-later
// The playback stream's own volume at the sound server: the per-application
// volume a desktop's mixer shows, read back and followed, and kept for a
// stream made anew.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include <pulse/def.h>
#include <pulse/volume.h>

struct pa_context;
struct pa_operation;
struct pa_sink_input_info;
struct pa_stream;

namespace quavira {

// The level is on the server's own scale, the one its mixers show as a
// percentage: 1.0 is PA_VOLUME_NORM (100 %), 0.5 is 50 %. What the server
// says is the truth; a change made there (pavucontrol, `pactl
// set-sink-input-volume`) arrives as a sink-input event, is read back and
// told to the listener. Only events of our own sink input are followed,
// and nothing is asked of the server while nothing changes.
//
// Every call is made under the main loop's lock: the program's from the UI
// thread, the connection's hooks and the callbacks on libpulse's thread.
class PulseStreamVolume {
public:
    PulseStreamVolume() = default;
    PulseStreamVolume(const PulseStreamVolume&) = delete;
    PulseStreamVolume& operator=(const PulseStreamVolume&) = delete;

    // The last level known: the server's, or the one last set; 1.0 before
    // either.
    double level() const { return m_level; }
    // Sets the stream's volume at the server, keeping the balance between
    // its channels; without a stream, the next stream starts at it.
    void setLevel(double level);
    void setListener(std::function<void()> listener) { m_listener = std::move(listener); }

    // Hooks of the connection. The volume a new stream starts at: the one
    // known, so a stream made anew (a reconnection) keeps what the user set;
    // none (the server's choice) before anything is known.
    const pa_cvolume* forNewStream() const { return m_known ? &m_volume : nullptr; }
    // The stream is ready on `context`: its volume is read and followed.
    void streamReady(pa_context* context, pa_stream* stream);
    // The stream and its context are about to go.
    void streamGone();

private:
    void apply();
    void readBack();
    void learn(const pa_cvolume& volume);
    static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* self);
    static void onInfo(pa_context* context, const pa_sink_input_info* info, int eol, void* self);

    pa_context* m_context = nullptr;
    std::uint32_t m_index = PA_INVALID_INDEX;  // our sink input's, while there is one
    pa_operation* m_reading = nullptr;
    pa_cvolume m_volume{};
    bool m_known = false;
    double m_level = 1.0;
    std::function<void()> m_listener;
};

}  // namespace quavira
