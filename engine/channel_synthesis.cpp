// SPDX-License-Identifier: GPL-3.0-or-later
// Cosine synthesis of one channel of the loop buffer.
//
// The samples are defined by the straightforward extended-precision loop
// (exactSample). A fast path rotates a table of cosines and sines through
// each block, four or two lanes at a time, and falls back to the exact
// evaluation for any sample whose value lies so close to an integer that the
// two could truncate differently. The result is byte-identical to the exact loop.
#include "channel_synthesis.h"

#include "loop_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace quavira {

namespace {

// Held in extended precision, like the step's product.
constexpr long double kOneOver44100 = 1.0L / 44100.0L;

std::uint8_t exactSample(std::uint32_t byteIndex, long double step, long double phase, long double amplitude)
{
    const long double angle = static_cast<long double>(byteIndex) * step + phase;
    const long double value = static_cast<long double>(std::cos(static_cast<double>(angle))) * amplitude + 127.0L;
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(value) & 0xFF);
}

// The fast path's error bound (see fillChannel) holds while every angle
// stays below 2^15 radians: |freqHz| up to 2600 gives |i * s| below 16,400,
// and |phase| below 2^13 adds at most 8,192. NaN phases take the exact path.
bool fastPathApplies(std::int32_t freqHz, float phase)
{
    const std::int64_t absFreq = std::abs(static_cast<std::int64_t>(freqHz));
    return absFreq <= 2600 && std::fabs(phase) < 0x1p13f;
}

constexpr std::size_t kBlock = 512;  // frames per block; the tables live on the stack
constexpr std::size_t kFine = 32;    // table entries evaluated directly
// A value this close to an integer is recomputed exactly. The fast value
// differs from the exact one by less than 1e-9 (see fillChannel).
constexpr double kMargin = 1e-7;

// Sanitizer runtimes start after ifunc resolvers run, so sanitized builds
// keep one baseline version.
#ifdef QUAVIRA_SANITIZED
#define QUAVIRA_VECTOR_CLONES
#else
#define QUAVIRA_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// For one block: the sample bytes, and whether any value lies too close to
// an integer (or below zero) to trust its truncation. Straight-line
// arithmetic only, so the compiler vectorises it.
QUAVIRA_VECTOR_CLONES bool blockSamples(const double* __restrict cosTable, const double* __restrict sinTable,
                                        std::size_t count, double cosStart, double sinStart, double amplitude,
                                        std::uint8_t* __restrict samples)
{
    int doubtful = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const double value = (cosStart * cosTable[k] - sinStart * sinTable[k]) * amplitude + 127.0;
        const std::int32_t whole = static_cast<std::int32_t>(value);
        const double fraction = value - static_cast<double>(whole);
        samples[k] = static_cast<std::uint8_t>(whole);
        doubtful |= (fraction < kMargin) | (fraction > 1.0 - kMargin) | (value < 0.0);
    }
    return doubtful != 0;
}

bool isDoubtful(double value)
{
    const double fraction = value - static_cast<double>(static_cast<std::int32_t>(value));
    return fraction < kMargin || fraction > 1.0 - kMargin || value < 0.0;
}

}  // namespace

float synthesisStep(std::int32_t freqHz)
{
    return static_cast<float>(static_cast<long double>(freqHz) * 3.1416L * kOneOver44100);
}

void fillChannel(std::span<Sample> buffer, std::int32_t freqHz, std::int8_t amplitude, float phaseRad,
                 Channel channel)
{
    if (buffer.size() != kLoopBytes)
        return;
    const float step = synthesisStep(freqHz);
    const long double stepX = step, phaseX = phaseRad, ampX = amplitude;
    const std::uint32_t first = static_cast<std::uint32_t>(channel);

    if (!fastPathApplies(freqHz, phaseRad)) {
        for (std::uint32_t i = first; i < first + kLoopBytes; i += 2)
            buffer[i].store(exactSample(i, stepX, phaseX, ampX), std::memory_order_relaxed);
        return;
    }

    // Fast path: the angle at frame f0 + k is angle(f0) + 2ks, and
    // cos(a + d) = cos a cos d - sin a sin d with d = 2ks exact in a double.
    // The block's start angle is rounded to a double once, which moves the
    // value by at most 127 * ulp(25000) / 2 < 3e-10; the reference's own
    // rounding of each angle moves it by as much again. Both are far inside
    // kMargin, so every sample away from it truncates as the reference does.
    // The tables of cos d and sin d come from kFine + kBlock / kFine direct
    // evaluations, combined by the same identity (error below 1e-15).
    double cosTable[kBlock], sinTable[kBlock];
    double cosFine[kFine], sinFine[kFine];
    const double frameStep = 2.0 * static_cast<double>(step);
    for (std::size_t k = 0; k < kFine; ++k) {
        cosFine[k] = std::cos(static_cast<double>(k) * frameStep);
        sinFine[k] = std::sin(static_cast<double>(k) * frameStep);
    }
    for (std::size_t coarse = 0; coarse < kBlock; coarse += kFine) {
        const double c = std::cos(static_cast<double>(coarse) * frameStep);
        const double s = std::sin(static_cast<double>(coarse) * frameStep);
        for (std::size_t k = 0; k < kFine; ++k) {
            cosTable[coarse + k] = c * cosFine[k] - s * sinFine[k];
            sinTable[coarse + k] = s * cosFine[k] + c * sinFine[k];
        }
    }
    std::uint8_t samples[kBlock];
    for (std::size_t frame = 0; frame < kLoopFrames; frame += kBlock) {
        const std::size_t count = std::min(kBlock, kLoopFrames - frame);
        const auto firstIndex = static_cast<std::uint32_t>(first + 2 * frame);
        const auto start = static_cast<double>(static_cast<long double>(firstIndex) * stepX + phaseX);
        const double cosStart = std::cos(start), sinStart = std::sin(start);
        if (blockSamples(cosTable, sinTable, count, cosStart, sinStart, amplitude, samples)) {
            // Rare: redo the doubtful samples exactly. The vector kernel may
            // fuse multiply-adds, so its values can differ from these in the
            // last bits; that is far below kMargin, so every value it could
            // not trust is found again here.
            for (std::size_t k = 0; k < count; ++k) {
                if (isDoubtful((cosStart * cosTable[k] - sinStart * sinTable[k]) * amplitude + 127.0))
                    samples[k] = exactSample(firstIndex + static_cast<std::uint32_t>(2 * k), stepX, phaseX, ampX);
            }
        }
        Sample* out = buffer.data() + firstIndex;
#pragma GCC unroll 8
        for (std::size_t k = 0; k < count; ++k)
            out[2 * k].store(samples[k], std::memory_order_relaxed);
    }
}

}  // namespace quavira
