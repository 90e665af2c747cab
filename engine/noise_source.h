// SPDX-License-Identifier: GPL-3.0-or-later
// The noise as a voice of the output stage.
#pragma once

#include "noise_voice.h"
#include "voice_track.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quavira {

// A NoiseVoice that writes its frames for a VoiceTrack. A back end keeps
// one for as long as it lives and, on a change, sets it anew and passes it
// to the output stage again with Crossfade::EqualPower: what was queued
// crossfades at equal power into the fresh frames, which themselves move
// from the old setting to the new along the voice's own fade. Turning it
// off is setting it off and passing no voice (a fade to silence).
class NoiseSource final : public VoiceSource {
public:
    explicit NoiseSource(std::uint64_t seed) : m_voice(seed) {}

    void set(std::optional<NoiseColour> colour, double levelDb) { m_voice.set(colour, levelDb); }
    bool on() const { return m_voice.colour().has_value(); }
    std::optional<NoiseColour> colour() const { return m_voice.colour(); }
    double levelDb() const { return m_voice.levelDb(); }

    void render(float* stereo, std::size_t frames) override
    {
        std::fill_n(stereo, 2 * frames, 0.0f);
        m_voice.addTo(stereo, frames);
    }

private:
    NoiseVoice m_voice;
};

}  // namespace quavira
