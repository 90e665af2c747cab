// SPDX-License-Identifier: GPL-3.0-or-later
// The sound's one format: a one-second loop of 8-bit stereo at 44,100 Hz.
#pragma once

#include <cstddef>

namespace quavira {

inline constexpr std::size_t kFramesPerSecond = 44100;
inline constexpr std::size_t kLoopFrames = kFramesPerSecond;  // exactly one second
inline constexpr std::size_t kLoopBytes = kLoopFrames * 2;     // left byte, then right byte

}  // namespace quavira
