// Engine benchmarks: one channel fill, and Start/Stop on the test device.
#include "channel_synthesis.h"
#include "fake_wave_out.h"
#include "loop_buffer.h"

#include <benchmark/benchmark.h>

#include <memory>

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
