// SPDX-License-Identifier: GPL-3.0-or-later
// Engine benchmarks: one channel fill, one second of output through the
// renderer, and Start/Stop on the test device.
#include "channel_synthesis.h"
#include "fake_wave_out.h"
#include "loop_buffer.h"
#include "loop_renderer.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

using namespace quavira;

void BM_FillChannel(benchmark::State& state)
{
    std::unique_ptr<Sample[]> bytes(new Sample[kLoopBytes]());
    const std::span<Sample> buffer(bytes.get(), kLoopBytes);
    std::int32_t hz = 50;
    for (auto _ : state) {
        fillChannel(buffer, hz, 64, 0.0f, Channel::Left);
        benchmark::ClobberMemory();
        hz = hz == 2000 ? 50 : hz + 1;
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kLoopFrames));
}
BENCHMARK(BM_FillChannel)->Unit(benchmark::kMicrosecond);

// One second of output as a back end asks for it (in 10-ms pieces), with
// one change and its fade in it, as while a user works the controls.
void BM_RenderOneSecond(benchmark::State& state)
{
    std::vector<Sample> buffer(kLoopBytes);
    fillChannel(buffer, 440, 100, 0.0f, Channel::Left);
    fillChannel(buffer, 450, 100, 0.0f, Channel::Right);
    std::vector<std::uint8_t> loop(kLoopBytes);
    loadBytes(buffer, loop.data());
    LoopRenderer renderer;
    renderer.start(0, loop.data());
    std::vector<std::uint8_t> out(2 * 441);
    for (auto _ : state) {
        for (int piece = 0; piece < 100; ++piece) {
            if (piece == 50)
                renderer.change(renderer.position(), loop.data());
            renderer.render(out.data(), 441);
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kLoopFrames));
}
BENCHMARK(BM_RenderOneSecond)->Unit(benchmark::kMicrosecond);

void BM_StartStop(benchmark::State& state)
{
    LoopBuffer engine(std::make_unique<testing::FakeWaveOut>());
    engine.open();
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine.startLooped());
        benchmark::DoNotOptimize(engine.stop());
    }
}
BENCHMARK(BM_StartStop)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
