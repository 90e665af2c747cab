// SPDX-License-Identifier: GPL-3.0-or-later
// A loop of two tones, as the panel fills one, for the output stage's tests.
#pragma once

#include "channel_synthesis.h"
#include "loop_format.h"
#include "wave_out.h"

#include <cstdint>
#include <vector>

namespace quavira::testing {

inline std::vector<std::uint8_t> loopTones(std::int32_t leftHz, std::int32_t rightHz, std::int8_t amplitude = 126)
{
    std::vector<Sample> buffer(kLoopBytes);
    fillChannel(buffer, leftHz, amplitude, 0.0f, Channel::Left);
    fillChannel(buffer, rightHz, amplitude, 0.0f, Channel::Right);
    std::vector<std::uint8_t> bytes(kLoopBytes);
    loadBytes(buffer, bytes.data());
    return bytes;
}

}  // namespace quavira::testing
