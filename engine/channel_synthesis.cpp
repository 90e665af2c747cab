// Cosine synthesis of one channel of the loop buffer.
//
// The samples are defined by the straightforward extended-precision loop
// (exactSample). A fast path evaluates the same cosine with a polynomial,
// four or two lanes at a time, and falls back to the exact evaluation for any
// sample whose value lies so close to an integer that the two could
// truncate differently. The result is byte-identical to the exact loop.
#include "channel_synthesis.h"

#include "loop_buffer.h"

#include <algorithm>
#include <cmath>

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

// The fast path reproduces the extended-precision angle exactly when
// i * s + phase needs at most 64 significant bits, so that the extended sum
// is exact and its rounding to double is the plain double sum: i < 2^17 and
// s (a float) give i * s exactly in 41 bits; with |i * s| and |phase| below
// 2^14 and neither having bits below 2^-48, the sum spans at most 63 bits.
bool fastPathExact(std::int32_t freqHz, float phase)
{
    const float absPhase = std::fabs(phase);
    const bool phaseOk = phase == 0.0f || (absPhase >= 0x1p-25f && absPhase < 0x1p13f);
    const std::int32_t absFreq = freqHz < 0 ? -freqHz : freqHz;
    return freqHz != INT32_MIN && absFreq >= 1 && absFreq <= 2600 && phaseOk;
}

// cos(r) for |r| <= pi/2 + a little: Taylor series to r^22, error below
// 1e-15, far inside the fallback margin.
inline double cosNearZero(double r)
{
    const double z = r * r;
    double p = 1.0 / 1124000727777607680000.0;  // 1/22!
    p = p * z - 1.0 / 2432902008176640000.0;
    p = p * z + 1.0 / 6402373705728000.0;
    p = p * z - 1.0 / 20922789888000.0;
    p = p * z + 1.0 / 87178291200.0;
    p = p * z - 1.0 / 479001600.0;
    p = p * z + 1.0 / 3628800.0;
    p = p * z - 1.0 / 40320.0;
    p = p * z + 1.0 / 720.0;
    p = p * z - 1.0 / 24.0;
    p = p * z + 1.0 / 2.0;
    return 1.0 - p * z;
}

constexpr std::size_t kBlock = 512;  // samples per pass; the values live on the stack
// A value this close to an integer is recomputed exactly; the polynomial's
// value differs from the exact one by less than 1e-12.
constexpr double kMargin = 1e-7;

// Sample values (before truncation) for byte indices first, first + 2, ...
// Straight-line arithmetic only, so the compiler vectorises it.
// Sanitizer runtimes start after ifunc resolvers run, so sanitized builds
// keep one baseline version.
#ifdef QUAVIRA_SANITIZED
#define QUAVIRA_VECTOR_CLONES
#else
#define QUAVIRA_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif

QUAVIRA_VECTOR_CLONES void approximateValues(double* values, std::size_t count,
                                                                          double firstIndex, double step, double phase,
                                                                          double amplitude)
{
    constexpr double kPi1 = 0x1.921fb54400000p+1;  // pi in three parts, the first
    constexpr double kPi2 = 0x1.0b4611a600000p-33;  // two with 33 bits, so that
    constexpr double kPi3 = 0x1.3198a2e037073p-68;  // k * part is exact
    constexpr double kInvPi = 0.31830988618379067154;
    constexpr double kRound = 0x1.8p52;  // adding and subtracting it rounds to an integer
    for (std::size_t k = 0; k < count; ++k) {
        const double index = firstIndex + 2.0 * static_cast<double>(k);
        const double angle = index * step + phase;  // exact product, one rounding
        const double turns = (angle * kInvPi + kRound) - kRound;
        const double r = ((angle - turns * kPi1) - turns * kPi2) - turns * kPi3;
        // cos(angle) = (-1)^turns cos(r)
        const double halfTurns = (turns * 0.5 + kRound) - kRound;
        const double sign = 1.0 - 2.0 * std::fabs(turns - 2.0 * halfTurns);
        values[k] = cosNearZero(r) * sign * amplitude + 127.0;
    }
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

    if (!fastPathExact(freqHz, phaseRad)) {
        for (std::uint32_t i = first; i < first + kLoopBytes; i += 2)
            buffer[i].store(exactSample(i, stepX, phaseX, ampX), std::memory_order_relaxed);
        return;
    }

    double values[kBlock];
    for (std::size_t frame = 0; frame < kLoopFrames; frame += kBlock) {
        const std::size_t count = std::min(kBlock, kLoopFrames - frame);
        const auto firstIndex = static_cast<std::uint32_t>(first + 2 * frame);
        approximateValues(values, count, firstIndex, step, phaseRad, amplitude);
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint32_t i = firstIndex + static_cast<std::uint32_t>(2 * k);
            const double v = values[k];
            const double whole = static_cast<double>(static_cast<std::int32_t>(v));
            const double fraction = v - whole;
            const std::uint8_t sample =
                (fraction < kMargin || fraction > 1.0 - kMargin || v < 0.0)
                    ? exactSample(i, stepX, phaseX, ampX)
                    : static_cast<std::uint8_t>(static_cast<std::int32_t>(v) & 0xFF);
            buffer[i].store(sample, std::memory_order_relaxed);
        }
    }
}

}  // namespace quavira
