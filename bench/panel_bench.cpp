// SPDX-License-Identifier: GPL-3.0-or-later
// Generator panel benchmarks, offscreen: a preset application (up to four
// channel fills and three redraws) and one frequency-slider change (one
// fill and one redraw).
#include "fake_wave_out.h"
#include "loop_buffer.h"
#include "offscreen_bench_main.h"
#include "tmform.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

struct Panel {
    quavira::LoopBuffer engine{std::make_unique<quavira::testing::FakeWaveOut>()};
    SilentMessages messages;
    TMForm form{engine, messages};
};

void BM_ApplyPreset(benchmark::State& state)
{
    Panel panel;
    // Alternating two rows whose frequencies differ, so both sliders move.
    int row = 0;
    for (auto _ : state) {
        panel.form.selectPreset(row);
        panel.form.ListBox1Click();
        row = row == 0 ? 14 : 0;
    }
}
BENCHMARK(BM_ApplyPreset)->Unit(benchmark::kMicrosecond);

void BM_FrequencySliderChange(benchmark::State& state)
{
    Panel panel;
    int hz = 50;
    for (auto _ : state) {
        panel.form.setFrequencyPosition(quavira::Channel::Right, hz);
        hz = hz == 2000 ? 50 : hz + 1;
    }
}
BENCHMARK(BM_FrequencySliderChange)->Unit(benchmark::kMicrosecond);

void BM_DrawWaveform(benchmark::State& state)
{
    Panel panel;
    for (auto _ : state)
        panel.form.DrawWaveform();
}
BENCHMARK(BM_DrawWaveform)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    return runOffscreenBenchmarks(argc, argv);
}
