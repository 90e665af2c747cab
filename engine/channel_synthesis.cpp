// Cosine synthesis of one channel of the loop buffer.
#include "channel_synthesis.h"

#include "loop_buffer.h"

#include <cmath>

namespace quavira {

namespace {
// Held in extended precision, like the step's product.
constexpr long double kOneOver44100 = 1.0L / 44100.0L;
}

float synthesisStep(std::int32_t freqHz)
{
    return static_cast<float>(static_cast<long double>(freqHz) * 3.1416L * kOneOver44100);
}

void fillChannel(std::span<Sample> buffer, std::int32_t freqHz, std::int8_t amplitude, float phaseRad,
                 Channel channel)
{
    if (buffer.size() != kLoopBytes)
        return;
    const long double step = synthesisStep(freqHz);
    const long double phase = phaseRad;
    const long double amp = amplitude;
    const std::uint32_t first = static_cast<std::uint32_t>(channel);
    for (std::uint32_t i = first; i < first + kLoopBytes; i += 2) {
        const long double angle = static_cast<long double>(i) * step + phase;
        const long double value = static_cast<long double>(std::cos(static_cast<double>(angle))) * amp + 127.0L;
        const auto sample = static_cast<std::int32_t>(value);
        buffer[i].store(static_cast<std::uint8_t>(sample & 0xFF), std::memory_order_relaxed);
    }
}

}  // namespace quavira
