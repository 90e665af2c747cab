// SPDX-License-Identifier: GPL-3.0-or-later
// Saving the tone as a file: sixty minutes as FLAC and as WAV, the tone alone
// and with pink noise under it, written to a temporary folder, with the
// file's size.
#include "channel_synthesis.h"
#include "loop_format.h"
#include "noise_colour.h"
#include "tone_file.h"
#include "wave_out.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <stdlib.h>

namespace {

using namespace quavira;

void BM_SaveSixtyMinutes(benchmark::State& state, ToneFileFormat format,
                         std::optional<NoiseColour> noise = std::nullopt)
{
    std::vector<Sample> buffer(kLoopBytes);
    // The panel's starting amplitude (slider at 63).
    fillChannel(buffer, 440, 64, 0.0f, Channel::Left);
    fillChannel(buffer, 450, 64, 0.0f, Channel::Right);
    std::string folder = (std::filesystem::temp_directory_path() / "quavira-save-bench-XXXXXX").string();
    if (!::mkdtemp(folder.data())) {
        state.SkipWithError("no temporary folder");
        return;
    }
    ToneFileRequest request;
    request.loop.resize(kLoopBytes);
    loadBytes(buffer, request.loop.data());
    request.frames = 60 * 60 * kFramesPerSecond;
    request.format = format;
    request.title = "440 Hz / 450 Hz";
    request.comment = noise ? "10 Hz, Alpha; Pink noise, -28 dB" : "10 Hz, Alpha";
    request.software = "Quavira";
    request.targetPath = folder + (format == ToneFileFormat::Flac ? "/tone.flac" : "/tone.wav");
    request.noise = noise;
    request.noiseLevelDb = kDefaultNoiseLevelDb;
    Cancellation cancel;
    for (auto _ : state) {
        const ToneFileResult result = writeToneFile(request, cancel);
        if (result.status != ToneFileStatus::Saved) {
            state.SkipWithError(result.detail.c_str());
            break;
        }
    }
    std::error_code error;
    state.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(request.targetPath, error)) / 1e6;
    std::filesystem::remove_all(folder, error);
}
BENCHMARK_CAPTURE(BM_SaveSixtyMinutes, Flac, ToneFileFormat::Flac)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_SaveSixtyMinutes, Wav, ToneFileFormat::Wav)->Unit(benchmark::kMillisecond)->UseRealTime();
// At 16 bits: the noise generated for the whole hour and mixed with the loop.
BENCHMARK_CAPTURE(BM_SaveSixtyMinutes, FlacPinkNoise, ToneFileFormat::Flac, NoiseColour::Pink)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_SaveSixtyMinutes, WavPinkNoise, ToneFileFormat::Wav, NoiseColour::Pink)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
