// SPDX-License-Identifier: GPL-3.0-or-later
// Cosine synthesis of one channel of the loop buffer.
#pragma once

#include "wave_out.h"

#include <cstdint>
#include <span>

namespace quavira {

enum class Channel { Left = 0, Right = 1 };

// Writes one second of cos tone into `channel`'s 44,100 bytes of `buffer`
// (an interleaved 88,200-byte loop buffer); the other channel's bytes are
// not touched. Samples are centred on 127: value = cos(angle) * amplitude +
// 127, truncated, low 8 bits stored. The angle at byte index i is
// i * s + phase with s = freqHz * 3.1416 / 44100 rounded to float, so it
// advances 2s per frame and the right channel runs half a frame ahead.
// A buffer of any other size (no buffer at all) is left alone.
// UI thread; the device may be reading the same bytes meanwhile.
void fillChannel(std::span<Sample> buffer, std::int32_t freqHz, std::int8_t amplitude, float phaseRad,
                 Channel channel);

// The per-byte step s of fillChannel, exposed for tests and benchmarks.
float synthesisStep(std::int32_t freqHz);

}  // namespace quavira
