// SPDX-License-Identifier: GPL-3.0-or-later
// The noise as the output's second voice: a colour or off, at a level,
// moving between settings without a click.
#pragma once

#include "noise_colour.h"
#include "noise_generator.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quavira {

// Adds noise to stereo frames, the same noise in both ears: noise with no
// difference between the ears leaves the difference between the two tones,
// which is where the beat lives, standing clear of it (a noise that differs
// between the ears brings its own wandering interaural phase, which masks
// the beat's). Every set() moves from what plays to the new setting over
// kFadeFrames along a raised cosine in power: a level changes as a ramp, a
// colour as a crossfade whose total power moves evenly from the old level
// to the new, off as a fade-out; a set() during a fade starts from where
// that fade stands. Each colour has a generator of its own, which runs only
// while it is heard. Neither set() nor addTo() allocates or locks.
// Not thread-safe: the renderer's thread calls it.
class NoiseVoice {
public:
    static constexpr std::size_t kFadeFrames = 441;  // 10 ms at 44,100 Hz

    explicit NoiseVoice(std::uint64_t seed);

    // `colour` at `levelDb` dBFS RMS, or off for nullopt (levelDb ignored).
    void set(std::optional<NoiseColour> colour, double levelDb);
    // Adds the next `frames` frames of noise to `stereo` (left, right per
    // frame; full scale 1.0).
    void addTo(float* stereo, std::size_t frames);
    // Whether addTo() adds nothing from now on: off and faded out.
    bool silent() const;

    std::optional<NoiseColour> colour() const { return m_colour; }
    double levelDb() const { return m_levelDb; }

private:
    static constexpr std::size_t kChunkFrames = 256;

    // Each colour's gain: from `from` at the start of the fade to `to`.
    struct Gain {
        float from = 0;
        float to = 0;
    };

    float gainAt(const Gain& gain, std::size_t fadeFrame) const;

    std::array<NoiseGenerator, 3> m_generators;
    std::array<Gain, 3> m_gains{};
    std::size_t m_fadeFrame = kFadeFrames;  // frames of the fade played; kFadeFrames: steady
    std::optional<NoiseColour> m_colour;
    double m_levelDb = kNoiseLevelsDb.front();
    std::array<float, kFadeFrames + 1> m_fadeIn{};  // the raised cosine, 0 to 1
    std::array<float, kChunkFrames> m_mono{};
};

}  // namespace quavira
