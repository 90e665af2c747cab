// SPDX-License-Identifier: GPL-3.0-or-later
// Engine benchmarks: one channel fill, one second of output through the
// renderer, one second of noise of each colour, and Start/Stop on the test
// device.
#include "channel_synthesis.h"
#include "fake_wave_out.h"
#include "loop_buffer.h"
#include "loop_renderer.h"
#include "noise_generator.h"
#include "noise_voice.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
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

// One second of one colour's noise, mono: what both ears get.
void BM_NoiseGenerator(benchmark::State& state)
{
    NoiseGenerator generator(static_cast<NoiseColour>(state.range(0)), 1);
    std::vector<float> out(kLoopFrames);
    for (auto _ : state) {
        generator.render(out.data(), out.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(std::string(noiseColourName(generator.colour())));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kLoopFrames));
}
BENCHMARK(BM_NoiseGenerator)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// One second of stereo noise added to the output in 10-ms pieces, as a back
// end asks for it.
void BM_NoiseVoiceOneSecond(benchmark::State& state)
{
    NoiseVoice voice(1);
    const auto colour = static_cast<NoiseColour>(state.range(0));
    voice.set(colour, -22);
    std::vector<float> out(2 * 441);
    for (auto _ : state) {
        for (int piece = 0; piece < 100; ++piece) {
            voice.addTo(out.data(), 441);
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetLabel(std::string(noiseColourName(colour)));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kLoopFrames));
}
BENCHMARK(BM_NoiseVoiceOneSecond)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

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
