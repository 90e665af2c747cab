// SPDX-License-Identifier: GPL-3.0-or-later
// The straightforward per-sample synthesis, kept as the reference any faster
// fillChannel must match byte for byte.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace quavira::testing {

// Fills bytes c, c + 2, ... of an 88,200-byte interleaved buffer.
inline void referenceFill(std::vector<std::uint8_t>& buffer, std::int32_t freqHz, std::int8_t amplitude, float phase,
                          int channel)
{
    const float step = static_cast<float>(static_cast<long double>(freqHz) * 3.1416L * (1.0L / 44100.0L));
    for (std::uint32_t i = static_cast<std::uint32_t>(channel); i < static_cast<std::uint32_t>(channel) + 88200;
         i += 2) {
        const long double angle = static_cast<long double>(i) * step + static_cast<long double>(phase);
        const long double value =
            static_cast<long double>(std::cos(static_cast<double>(angle))) * amplitude + 127.0L;
        buffer[i] = static_cast<std::uint8_t>(static_cast<std::int32_t>(value) & 0xFF);
    }
}

}  // namespace quavira::testing
