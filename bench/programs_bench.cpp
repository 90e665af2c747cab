// SPDX-License-Identifier: GPL-3.0-or-later
// Program synthesis: the cost of one voice-second, and a 12.5-minute program rendered to 16 bits.
#include "program.h"
#include "program_player.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace quavira::programs;

constexpr std::size_t kBlockFrames = 4096;

Timeline timelineOf(const std::string& text)
{
    auto program = programFromSbg(text, "bench");
    return program.ok() ? std::move(program).value().timeline : Timeline{};
}

// `voices` binaural tones gliding over the whole program, so every sample moves.
void BM_GlidingVoiceSecond(benchmark::State& state)
{
    const auto voices = static_cast<int>(state.range(0));
    std::string a = "a:", b = "b:";
    for (int v = 0; v < voices; ++v) {
        a += " " + std::to_string(100 + 20 * v) + "+4/5";
        b += " " + std::to_string(140 + 20 * v) + "+10.5/5";
    }
    ProgramPlayer player(timelineOf(a + "\n" + b + "\nNOW == a ->\n+01:00 == b\n"));
    std::vector<float> out(2 * kBlockFrames);
    for (auto _ : state) {
        player.render(out.data(), kBlockFrames);
        benchmark::DoNotOptimize(out.data());
    }
    const double seconds = static_cast<double>(state.iterations() * kBlockFrames) / ProgramPlayer::kSampleRateHz;
    state.counters["voice_seconds"] = benchmark::Counter(seconds * voices);
    state.counters["per_voice_second"] =
        benchmark::Counter(seconds * voices, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_GlidingVoiceSecond)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMicrosecond);

void BM_PinkNoiseVoiceSecond(benchmark::State& state)
{
    ProgramPlayer player(timelineOf("a: pink/50\nNOW a\n"));
    std::vector<float> out(2 * kBlockFrames);
    for (auto _ : state) {
        player.render(out.data(), kBlockFrames);
        benchmark::DoNotOptimize(out.data());
    }
    const double seconds = static_cast<double>(state.iterations() * kBlockFrames) / ProgramPlayer::kSampleRateHz;
    state.counters["per_voice_second"] =
        benchmark::Counter(seconds, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PinkNoiseVoiceSecond)->Unit(benchmark::kMicrosecond);

// Three binaural voices and pink noise for 12.5 minutes, the whole of it to a 16-bit
// buffer, as saving a program does (the file's writing is not counted).
void BM_TwelveAndAHalfMinutesToS16(benchmark::State& state)
{
    const std::string text = "-SE\n"
                             "a: 200+10/20 300+6/20 400+4/20 pink/30\n"
                             "b: 180+8/20 280+5/20 380+3/20 pink/30\n"
                             "off: -\n"
                             "NOW == a ->\n+00:10 == b\n+00:12:30 off\n";
    const Timeline timeline = timelineOf(text);
    const auto frames = static_cast<std::size_t>(*timeline.lengthSec() * ProgramPlayer::kSampleRateHz);
    std::vector<std::int16_t> pcm(2 * frames);
    std::vector<float> block(2 * kBlockFrames);
    for (auto _ : state) {
        ProgramPlayer player(timeline);
        for (std::size_t done = 0; done < frames; done += kBlockFrames) {
            const std::size_t n = std::min(kBlockFrames, frames - done);
            player.render(block.data(), n);
            toS16(block.data(), pcm.data() + 2 * done, 2 * n);
        }
        benchmark::DoNotOptimize(pcm.data());
    }
    state.counters["realtime_x"] = benchmark::Counter(
        static_cast<double>(state.iterations() * frames) / ProgramPlayer::kSampleRateHz, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TwelveAndAHalfMinutesToS16)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
