// SPDX-License-Identifier: GPL-3.0-or-later
// The one curve every long fade follows: the sleep timer's fade-out on the
// output, and a saved file's fade-in and fade-out.
#pragma once

#include <cmath>
#include <cstdint>

namespace quavira {

// A fade that sounds even: the level falls linearly in decibels, from full
// level down to kFadeFloorDb, and is silence from there. At kFadeFloorDb
// the loudest tone (126 steps) is under half a step of an 8-bit sample, so
// the end of the curve is already silence once rounded.
inline constexpr double kFadeFloorDb = -48.0;

// The gain at `progress` of a fade-out, 0 (full level, 1.0) to 1 (silence,
// 0.0); clamped outside. A fade-in is fadeOutGain(1 - progress).
inline double fadeOutGain(double progress)
{
    if (progress <= 0.0)
        return 1.0;
    if (progress >= 1.0)
        return 0.0;
    return std::pow(10.0, kFadeFloorDb * progress / 20.0);
}

// One unsigned 8-bit sample at `gain`, around the format's silence (128):
// gain 1 leaves it as it is, gain 0 gives silence.
inline std::uint8_t scaleSample(std::uint8_t sample, double gain)
{
    const double centred = (static_cast<double>(sample) - 128.0) * gain;
    return static_cast<std::uint8_t>(128 + static_cast<int>(std::lround(centred)));
}

}  // namespace quavira
