// SPDX-License-Identifier: GPL-3.0-or-later
// The playback stream's own volume at the sound server.
#include "pulse_stream_volume.h"

#include <pulse/pulseaudio.h>

#include <cmath>

namespace quavira {

namespace {

pa_volume_t toVolume(double level)
{
    // Negative levels, and nonsense (NaN), are silence.
    if (!(level > 0))
        return PA_VOLUME_MUTED;
    // The highest level the program sets is where the desktop's own mixers
    // end their sliders (+11 dB, about 150 %): above it the server only
    // amplifies digitally and a full-scale tone clips. A mixer can still go
    // further if its user insists, and is then read back as it is.
    const pa_volume_t highest = PA_VOLUME_UI_MAX;
    const double volume = std::round(level * PA_VOLUME_NORM);
    return volume >= highest ? highest : static_cast<pa_volume_t>(volume);
}

}  // namespace

void PulseStreamVolume::setLevel(double level)
{
    const pa_volume_t volume = toVolume(level);
    if (m_known && pa_cvolume_valid(&m_volume))
        pa_cvolume_scale(&m_volume, volume);  // the loudest channel to the new level, the balance kept
    else
        pa_cvolume_set(&m_volume, 2, volume);
    m_known = true;
    m_level = static_cast<double>(pa_cvolume_max(&m_volume)) / PA_VOLUME_NORM;
    if (m_context && m_index != PA_INVALID_INDEX)
        apply();
}

void PulseStreamVolume::apply()
{
    // The server's change event reads it back.
    if (pa_operation* setting = pa_context_set_sink_input_volume(m_context, m_index, &m_volume, nullptr, nullptr))
        pa_operation_unref(setting);
}

void PulseStreamVolume::streamReady(pa_context* context, pa_stream* stream)
{
    streamGone();
    m_context = context;
    m_index = pa_stream_get_index(stream);
    pa_context_set_subscribe_callback(m_context, onEvent, this);
    if (pa_operation* subscribing = pa_context_subscribe(m_context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr))
        pa_operation_unref(subscribing);
    // PipeWire (its pulse server, or the session manager behind it) starts
    // a stream at a volume of its own whatever it was asked for: the volume
    // kept is set once more.
    if (m_known)
        apply();
    readBack();
}

void PulseStreamVolume::streamGone()
{
    if (m_reading) {
        pa_operation_cancel(m_reading);
        pa_operation_unref(m_reading);
        m_reading = nullptr;
    }
    if (m_context)
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
    m_context = nullptr;
    m_index = PA_INVALID_INDEX;
}

void PulseStreamVolume::readBack()
{
    // A reading still on its way would tell what was before this change.
    if (m_reading) {
        pa_operation_cancel(m_reading);
        pa_operation_unref(m_reading);
    }
    m_reading = pa_context_get_sink_input_info(m_context, m_index, onInfo, this);
}

void PulseStreamVolume::learn(const pa_cvolume& volume)
{
    m_volume = volume;
    m_known = true;
    const double level = static_cast<double>(pa_cvolume_max(&volume)) / PA_VOLUME_NORM;
    if (level == m_level)
        return;
    m_level = level;
    if (m_listener)
        m_listener();
}

void PulseStreamVolume::onEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t index, void* self)
{
    auto* me = static_cast<PulseStreamVolume*>(self);
    // Every stream of the server is told about; only ours matters, and its
    // removal is the stream's own business.
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT || index != me->m_index ||
        (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE)
        return;
    me->readBack();
}

void PulseStreamVolume::onInfo(pa_context*, const pa_sink_input_info* info, int eol, void* self)
{
    auto* me = static_cast<PulseStreamVolume*>(self);
    if (eol != 0) {
        if (me->m_reading) {
            pa_operation_unref(me->m_reading);
            me->m_reading = nullptr;
        }
        return;
    }
    if (info && info->index == me->m_index && pa_cvolume_valid(&info->volume))
        me->learn(info->volume);
}

}  // namespace quavira
