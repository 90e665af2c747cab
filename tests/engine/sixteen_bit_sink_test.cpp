// SPDX-License-Identifier: GPL-3.0-or-later
// The libpulse back end heard at the test server's 16-bit null sink: the
// noise's spectra and levels, its switches as fades, and the sleep timer's
// fade between the 8-bit steps.
#include "loop_buffer.h"
#include "noise_generator.h"
#include "pulse_wave_out.h"
#include "sound_check.h"
#include "spectrum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace quavira {
namespace {

using namespace std::chrono_literals;
using namespace sound;

constexpr const char* kSink16 = "quavira_test16";

// The 16-bit sink's monitor, left channel and right, as parec gives it.
class Recording16 {
public:
    explicit Recording16(double seconds)
    {
        const auto bytes = static_cast<std::size_t>(seconds * kRate) * 4;
        const std::string command = "timeout " + std::to_string(static_cast<int>(seconds) + 20) +
                                    " parec --device=" + kSink16 +
                                    ".monitor --format=s16le --channels=2 --rate=44100 --raw --latency-msec=10"
                                    " 2>/dev/null | head -c " +
                                    std::to_string(bytes);
        m_pipe = ::popen(command.c_str(), "r");
        m_reader = std::thread([this] {
            std::int16_t chunk[2048];
            std::size_t n;
            while (m_pipe && (n = std::fread(chunk, sizeof chunk[0], std::size(chunk), m_pipe)) > 0) {
                m_samples.insert(m_samples.end(), chunk, chunk + n);
                m_received.store(m_samples.size());
            }
        });
        // Until a quarter of a second arrived: an idle null sink renders in
        // 2-s blocks, a recorded one keeps pace.
        for (const auto end = Clock::now() + 5s; Clock::now() < end && m_received.load() < 44100;)
            std::this_thread::sleep_for(5ms);
    }
    ~Recording16() { finish(); }
    const std::vector<std::int16_t>& finish()
    {
        if (m_reader.joinable())
            m_reader.join();
        if (m_pipe)
            ::pclose(std::exchange(m_pipe, nullptr));
        return m_samples;
    }

private:
    FILE* m_pipe = nullptr;
    std::thread m_reader;
    std::vector<std::int16_t> m_samples;
    std::atomic<std::size_t> m_received{0};
};

// The back end plays into the 16-bit sink: libpulse takes the default sink
// of a new context from PULSE_SINK.
class SixteenBitSink : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("PULSE_SINK", kSink16, 1); }
    void TearDown() override { ::unsetenv("PULSE_SINK"); }
};

// Where the sound starts: the first sample beyond two 8-bit steps (a
// silent loop's bytes may lie one step off zero).
std::size_t onset(const std::vector<std::int16_t>& rec)
{
    const auto it = std::find_if(rec.begin(), rec.end(), [](std::int16_t s) { return std::abs(s) > 512; });
    return static_cast<std::size_t>(it - rec.begin()) / 2;
}

std::vector<float> leftChannel(const std::vector<std::int16_t>& rec, std::size_t from, std::size_t frames)
{
    std::vector<float> left(frames);
    for (std::size_t i = 0; i < frames; ++i)
        left[i] = static_cast<float>(rec[2 * (from + i)]) / 32768.0f;
    return left;
}

// The share of samples that lie between the 8-bit steps.
double offTheEightBitSteps(const std::vector<std::int16_t>& rec, std::size_t from, std::size_t frames)
{
    std::size_t off = 0;
    for (std::size_t i = 2 * from; i < 2 * (from + frames); ++i)
        off += (rec[i] & 0xFF) != 0;
    return static_cast<double>(off) / static_cast<double>(2 * frames);
}

// One stream a setting: the tone of 440 and 450 Hz with noise, for
// `seconds`, then a rest; found again in the recording by their onsets,
// since the monitor may lose frames where a stream starts.
void playEach(const std::vector<std::pair<NoiseColour, double>>& settings, double seconds)
{
    for (const auto& [colour, levelDb] : settings) {
        LoopBuffer engine(std::make_unique<PulseWaveOut>());
        EXPECT_EQ(engine.open(), "0");
        engine.fillChannel(440, 64, 0.0f, Channel::Left);
        engine.fillChannel(450, 64, 0.0f, Channel::Right);
        engine.setNoise(colour, levelDb);
        EXPECT_EQ(engine.startLooped(), "0");
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        EXPECT_EQ(engine.stop(), "0");
        std::this_thread::sleep_for(700ms);
    }
}

// The stretches of sound, [first, end) frames, apart by a rest of a
// quarter of a second or more.
std::vector<std::pair<std::size_t, std::size_t>> soundRuns(const std::vector<std::int16_t>& rec)
{
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (std::size_t f = 0; f < rec.size() / 2; ++f) {
        if (std::abs(rec[2 * f]) <= 512 && std::abs(rec[2 * f + 1]) <= 512)
            continue;
        if (runs.empty() || f > runs.back().second + 11025)
            runs.emplace_back(f, f + 1);
        runs.back().second = f + 1;
    }
    return runs;
}

// The least-squares line through third-octave bands, each weighed by its
// width (a band's spread falls with the bins it holds), in dB per octave.
double weighedSlope(const std::vector<testing::Band>& bands)
{
    double w = 0, x = 0, y = 0, xx = 0, xy = 0;
    for (const testing::Band& band : bands) {
        const double octave = std::log2(band.centreHz / 1000.0);
        w += band.centreHz;
        x += band.centreHz * octave;
        y += band.centreHz * band.db;
        xx += band.centreHz * octave * octave;
        xy += band.centreHz * octave * band.db;
    }
    return (w * xy - x * y) / (w * xx - x * x);
}

// The power from 100 Hz to `hiHz` of a density.
double bandPower(const std::vector<double>& psd, double binHz, double hiHz)
{
    double power = 0;
    for (auto k = static_cast<std::size_t>(100 / binHz); k <= static_cast<std::size_t>(hiHz / binHz); ++k)
        power += psd[k] * binHz;
    return power;
}

// White, pink and brown at -16 dBFS under the tone, then pink at -40:
// spectra from 40 Hz (Welch, the tones' bins left out) on the colour's
// slope, its level within 0.3 dB, and the quiet noise heard between the
// 8-bit steps.
TEST_F(SixteenBitSink, NoiseHasTheSlopeAndLevelOfItsColour)
{
    QUAVIRA_NEED_SOUND_SERVER();
    constexpr double kEach = 6.0;
    Recording16 recorder(4 * (kEach + 0.8) + 1.0);
    playEach({{NoiseColour::White, -16}, {NoiseColour::Pink, -16}, {NoiseColour::Brown, -16}, {NoiseColour::Pink, -40}},
             kEach);
    const std::vector<std::int16_t>& rec = recorder.finish();
    // The monitor may lose frames where a stream starts: each is measured
    // over the last seconds it was heard.
    const auto runs = soundRuns(rec);
    ASSERT_EQ(runs.size(), 4u) << "four streams, each heard";
    const auto kept = static_cast<std::size_t>(5.0 * kRate);
    const auto from = [&](std::size_t k) { return runs[k].second - 6615 - kept; };
    for (const auto& run : runs)
        ASSERT_GE(run.second - run.first, kept + 6615 + 4410) << "too little of a stream heard";

    // White's line stays within 0.5 dB of its middle over the 8 octaves
    // (0.4 at 0.1 dB per octave).
    struct Expected {
        const char* name;
        double slope;
        double tolerance;
        double hiHz;
    };
    const Expected colours[] = {{"white", 0.0, 0.1, 10000}, {"pink", -3.0, 0.3, 10000}, {"brown", -6.0, 0.5, 5000}};
    constexpr std::size_t kSegment = 16384;
    const double binHz = kRate / kSegment;
    for (std::size_t c = 0; c < 3; ++c) {
        SCOPED_TRACE(colours[c].name);
        const std::vector<float> x = leftChannel(rec, from(c), kept);
        std::vector<double> psd = testing::welchPsd(x, kSegment, kRate);
        // The tone's bins take the level of their neighbours.
        const auto bin = [&](double hz) { return static_cast<std::size_t>(hz / binHz); };
        double around = 0;
        for (std::size_t k = bin(390); k < bin(410); ++k)
            around += psd[k] + psd[k + bin(100)];
        around /= 2.0 * static_cast<double>(bin(410) - bin(390));
        std::fill(psd.begin() + static_cast<std::ptrdiff_t>(bin(410)), psd.begin() + static_cast<std::ptrdiff_t>(bin(490)),
                  around);
        const double slope = weighedSlope(testing::thirdOctaveBands(psd, kSegment, kRate, 40, colours[c].hiHz));
        EXPECT_NEAR(slope, colours[c].slope, colours[c].tolerance) << "dB per octave";
        // Its level against a minute of the generator's own at 0 dBFS RMS,
        // over the bands where a few seconds hold many independent values
        // (brown's RMS over seconds wanders with its lowest frequencies).
        std::vector<float> reference(60 * 44100);
        NoiseGenerator(kNoiseColours[c], 1).render(reference.data(), reference.size());
        const double levelDb = 10 * std::log10(bandPower(psd, binHz, colours[c].hiHz) /
                                               bandPower(testing::welchPsd(reference, kSegment, kRate), binHz,
                                                         colours[c].hiHz));
        std::printf("%s noise at -16 dBFS: %.3f dB per octave, %.2f dBFS\n", colours[c].name, slope, levelDb);
        EXPECT_NEAR(levelDb, -16.0, 0.3) << "dBFS RMS";
    }
    EXPECT_GT(offTheEightBitSteps(rec, from(3), kept), 0.9);
}

// Noise alone (a silent loop), switched four ways: every change moves the
// 1-ms RMS over at least 5 ms (a cut would do it within one or two), and
// a colour changed at the same level stays within the spread the steady
// noise has.
TEST_F(SixteenBitSink, SwitchingTheNoiseIsAFade)
{
    QUAVIRA_NEED_SOUND_SERVER();
    Recording16 recorder(7.5);
    {
        LoopBuffer engine(std::make_unique<PulseWaveOut>());
        ASSERT_EQ(engine.open(), "0");
        engine.fillChannel(440, 0, 0.0f, Channel::Left);
        engine.fillChannel(450, 0, 0.0f, Channel::Right);
        engine.setNoise(NoiseColour::White, -16);
        const auto start = Clock::now();
        ASSERT_EQ(engine.startLooped(), "0");
        std::this_thread::sleep_until(start + 1500ms);
        engine.setNoise(NoiseColour::Pink, -16);
        std::this_thread::sleep_until(start + 3000ms);
        engine.setNoise(std::nullopt, -16);
        std::this_thread::sleep_until(start + 4000ms);
        engine.setNoise(NoiseColour::White, -16);
        std::this_thread::sleep_until(start + 5500ms);
        engine.setNoise(NoiseColour::White, -34);
        std::this_thread::sleep_until(start + 6500ms);
        EXPECT_EQ(engine.stop(), "0");
    }
    const std::vector<std::int16_t>& rec = recorder.finish();
    const std::size_t first = onset(rec);
    ASSERT_LT(first + 6 * 44100, rec.size() / 2) << "nothing heard";
    const std::vector<float> x = leftChannel(rec, first, 6 * 44100);
    // The 1-ms RMS about each millisecond's mean (the silent loop may lie
    // one step off zero).
    constexpr std::size_t kMs = 44;
    std::vector<double> envelope;
    for (std::size_t w = 0; (w + 1) * kMs <= x.size(); ++w) {
        double mean = 0, power = 0;
        for (std::size_t i = w * kMs; i < (w + 1) * kMs; ++i)
            mean += x[i] / static_cast<double>(kMs);
        for (std::size_t i = w * kMs; i < (w + 1) * kMs; ++i)
            power += (x[i] - mean) * (x[i] - mean) / static_cast<double>(kMs);
        envelope.push_back(10 * std::log10(std::max(power, 1e-12)));
    }
    // The monitor may lose frames where the stream is rewritten, so each
    // change is found where the level first passes a mark, and the
    // milliseconds just before it that lie between two levels counted: a
    // fade of 10 ms passes through them, a cut leaves one at most.
    const auto firstPast = [&](std::size_t fromMs, auto past) {
        std::size_t ms = fromMs;
        while (ms < envelope.size() && !past(envelope[ms]))
            ++ms;
        return ms;
    };
    const auto between = [&](std::size_t atMs, double lo, double hi) {
        return std::count_if(envelope.begin() + static_cast<std::ptrdiff_t>(atMs - 30),
                             envelope.begin() + static_cast<std::ptrdiff_t>(atMs),
                             [&](double db) { return db > lo && db < hi; });
    };
    const std::size_t off = firstPast(2000, [](double db) { return db < -60; });
    const std::size_t on = firstPast(off + 300, [](double db) { return db > -20; });
    const std::size_t down = firstPast(on + 800, [](double db) { return db < -32; });
    ASSERT_LT(down + 100, envelope.size()) << "the changes were not all heard";
    EXPECT_GE(between(off, -60, -20), 4) << "off";
    EXPECT_GE(between(on, -60, -20), 3) << "on";
    EXPECT_GE(between(down, -32, -18), 3) << "18 dB down";
    // White to pink at -16, found where the highs fall (pink's first
    // difference has a twelfth of white's power): the milliseconds around
    // it stay within what the steady milliseconds of either colour span.
    std::vector<double> highs;
    for (std::size_t ms = 0; ms + 10 < off; ++ms) {
        double power = 0;
        for (std::size_t i = ms * kMs + 1; i < (ms + 10) * kMs; ++i)
            power += (x[i] - x[i - 1]) * (x[i] - x[i - 1]);
        highs.push_back(10 * std::log10(power / (10 * kMs)));
    }
    const double mark = (highs[200] + highs[off - 300]) / 2;
    const auto change = static_cast<std::size_t>(
        std::find_if(highs.begin() + 200, highs.end(), [&](double db) { return db < mark; }) - highs.begin());
    ASSERT_GT(change, 300u);
    ASSERT_LT(change + 300, off) << "no change of colour heard";
    const auto [whiteLo, whiteHi] = std::minmax_element(envelope.begin() + 100, envelope.begin() + static_cast<std::ptrdiff_t>(change - 100));
    const auto [pinkLo, pinkHi] = std::minmax_element(envelope.begin() + static_cast<std::ptrdiff_t>(change + 100), envelope.begin() + static_cast<std::ptrdiff_t>(off - 100));
    for (std::size_t ms = change - 20; ms < change + 20; ++ms) {
        EXPECT_GT(envelope[ms], std::min(*whiteLo, *pinkLo) - 1.0) << "at " << ms << " ms";
        EXPECT_LT(envelope[ms], std::max(*whiteHi, *pinkHi) + 1.0) << "at " << ms << " ms";
    }
}

// The sleep timer's fade, heard at 16 bits: 24 dB a second, block by block,
// down to -45 dB, and where the 8-bit steps grow coarse it lies between
// them.
TEST_F(SixteenBitSink, TheSleepTimersFadeFallsBetweenTheEightBitSteps)
{
    QUAVIRA_NEED_SOUND_SERVER();
    Recording16 recorder(4.5);
    {
        LoopBuffer engine(std::make_unique<PulseWaveOut>());
        ASSERT_EQ(engine.open(), "0");
        engine.fillChannel(440, 100, 0.0f, Channel::Left);
        engine.fillChannel(450, 100, 0.0f, Channel::Right);
        ASSERT_EQ(engine.startLooped(), "0");
        std::this_thread::sleep_for(700ms);
        engine.fadeLevel(1.0, 2000ms);
        std::this_thread::sleep_for(3000ms);
        EXPECT_EQ(engine.stop(), "0");
    }
    const std::vector<std::int16_t>& rec = recorder.finish();
    const std::size_t first = onset(rec);
    constexpr std::size_t kBlock = 1470;
    std::vector<double> levels;
    double full = 0;
    std::size_t quietFrom = 0;
    for (std::size_t start = first + 22050; start + kBlock <= rec.size() / 2; start += kBlock) {
        int peak = 0;
        for (std::size_t i = 2 * start; i < 2 * (start + kBlock); ++i)
            peak = std::max(peak, std::abs(static_cast<int>(rec[i])));
        full = full == 0 ? peak : full;
        const double db = 20 * std::log10(std::max(peak, 1) / full);
        if (db < -45)
            break;
        if (db < -36 && quietFrom == 0)
            quietFrom = start;
        levels.push_back(db);
    }
    ASSERT_GT(levels.size(), 40u) << "too short a fade to measure";
    for (std::size_t k = 1; k < levels.size(); ++k)
        EXPECT_LE(levels[k], levels[k - 1] + 0.3) << "the level rose at block " << k;
    const auto falling = std::find_if(levels.begin(), levels.end(), [](double db) { return db < -3; });
    const double seconds = static_cast<double>(levels.end() - falling - 1) * kBlock / kRate;
    // As heard, a little steeper: what the server holds already cannot
    // take the fade, which arrives when asked all the same.
    EXPECT_NEAR((levels.back() - *falling) / seconds, -24.0, 3.0) << "dB per second";
    ASSERT_GT(quietFrom, 0u);
    EXPECT_GT(offTheEightBitSteps(rec, quietFrom, 2 * kBlock), 0.5) << "an 8-bit staircase";
}

}  // namespace
}  // namespace quavira
