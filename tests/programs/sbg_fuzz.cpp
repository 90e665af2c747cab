// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: any bytes as a sequence file, read, resolved, looked at and briefly played.
#include "program.h"
#include "program_player.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quavira::programs;
    auto result = programFromSbg(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz");
    if (!result.ok()) {
        // An error always says what is wrong.
        if (result.error().what.empty())
            __builtin_trap();
        return 0;
    }
    Program program = std::move(result).value();
    const Timeline& timeline = program.timeline;
    const double end = timeline.lengthSec().value_or(600.0);
    for (double t : {0.0, end / 3, end / 2, end})
        (void)timeline.at(t), (void)timeline.mainTone(t);
    if (timeline.peakSum() < 0.0)
        __builtin_trap();
    ProgramPlayer player(timeline);
    std::vector<float> out(2 * 512);
    player.render(out.data(), 512);
    player.seek(end / 2);
    player.render(out.data(), 512);
    for (float v : out) {
        if (!(v >= -1.0f && v <= 1.0f))
            __builtin_trap();
    }
    return 0;
}
