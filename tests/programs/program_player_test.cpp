// SPDX-License-Identifier: GPL-3.0-or-later
// The player rendered offline: tones against the timeline's values, steps at every change, levels.
#include "program.h"
#include "program_player.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>

namespace quavira::programs {
namespace {

constexpr double kRate = ProgramPlayer::kSampleRateHz;

Timeline timeline(const std::string& text)
{
    auto result = programFromSbg(text, "test");
    EXPECT_TRUE(result.ok()) << result.error().text();
    return result.ok() ? std::move(result).value().timeline : Timeline{};
}

std::vector<float> render(ProgramPlayer& player, double seconds)
{
    std::vector<float> out(2 * static_cast<std::size_t>(std::lround(seconds * kRate)));
    // Odd block sizes, as a sound server asks for.
    for (std::size_t done = 0; done < out.size() / 2;) {
        const std::size_t n = std::min<std::size_t>(out.size() / 2 - done, 333);
        player.render(out.data() + 2 * done, n);
        done += n;
    }
    return out;
}

std::vector<double> ear(const std::vector<float>& stereo, int channel, double fromSec, double toSec)
{
    std::vector<double> out;
    for (auto i = static_cast<std::size_t>(fromSec * kRate); i < static_cast<std::size_t>(toSec * kRate); ++i)
        out.push_back(stereo[2 * i + static_cast<std::size_t>(channel)]);
    return out;
}

// How far the tone in `x` (starting at t0) is from one gliding linearly from fStartHz to
// fEndHz across it: the slope of the phase left after demodulating by the expected
// chirp, fitted over ten pieces.
double frequencyErrorHz(const std::vector<double>& x, double fStartHz, double fEndHz)
{
    const double seconds = static_cast<double>(x.size()) / kRate;
    const double rate = (fEndHz - fStartHz) / seconds;
    constexpr int kPieces = 10;
    const std::size_t piece = x.size() / kPieces;
    std::vector<double> centres, phases;
    for (int k = 0; k < kPieces; ++k) {
        std::complex<double> z;
        for (std::size_t i = k * piece; i < (k + 1) * piece; ++i) {
            const double t = static_cast<double>(i) / kRate;
            z += x[i] * std::polar(1.0, -2 * std::numbers::pi * (fStartHz * t + rate * t * t / 2));
        }
        double phase = std::arg(z);
        while (!phases.empty() && phase - phases.back() > std::numbers::pi)
            phase -= 2 * std::numbers::pi;
        while (!phases.empty() && phase - phases.back() < -std::numbers::pi)
            phase += 2 * std::numbers::pi;
        phases.push_back(phase);
        centres.push_back((static_cast<double>(k) + 0.5) * static_cast<double>(piece) / kRate);
    }
    double mt = 0, mp = 0;
    for (int k = 0; k < kPieces; ++k) {
        mt += centres[k] / kPieces;
        mp += phases[k] / kPieces;
    }
    double num = 0, den = 0;
    for (int k = 0; k < kPieces; ++k) {
        num += (centres[k] - mt) * (phases[k] - mp);
        den += (centres[k] - mt) * (centres[k] - mt);
    }
    return num / den / (2 * std::numbers::pi);
}

double rmsDb(const std::vector<double>& x)
{
    double sum = 0;
    for (double v : x)
        sum += v * v;
    return 10 * std::log10(sum / static_cast<double>(x.size()));
}

// The largest step between 16-bit samples of one ear from fromSec to toSec.
int maxStep(const std::vector<float>& stereo, int channel, double fromSec, double toSec)
{
    std::vector<std::int16_t> s(stereo.size());
    toS16(stereo.data(), s.data(), s.size());
    int step = 0;
    const auto end = std::min(s.size() / 2, static_cast<std::size_t>(toSec * kRate));
    for (auto i = static_cast<std::size_t>(fromSec * kRate) + 1; i < end; ++i)
        step = std::max(step, std::abs(s[2 * i + channel] - s[2 * (i - 1) + channel]));
    return step;
}

struct ToneCase {
    const char* name;
    const char* text;
    double atSec;  // the one-second window starts here
};

class PlayerTones : public ::testing::TestWithParam<ToneCase> {};

// Each ear's tone within 0.01 Hz of the timeline's value over the whole second.
TEST_P(PlayerTones, FollowTheTimeline)
{
    ProgramPlayer player(timeline(GetParam().text));
    const double t0 = GetParam().atSec;
    const auto out = render(player, t0 + 1.0);
    const auto a = player.timeline().at(t0).at(0).params;
    const auto b = player.timeline().at(t0 + 1.0).at(0).params;
    for (int channel : {0, 1}) {
        const double sign = channel == 0 ? 0.5 : -0.5;
        const double error = frequencyErrorHz(ear(out, channel, t0, t0 + 1.0), a.carrierHz + sign * a.beatHz,
                                              b.carrierHz + sign * b.beatHz);
        EXPECT_LT(std::abs(error), 0.01) << (channel == 0 ? "left" : "right");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, PlayerTones,
    ::testing::Values(ToneCase{"FractionalBeat", "a: 100+0.92/30\nNOW a\n", 3.0},
                      ToneCase{"RightEarHigher", "a: 100-4/20\nNOW a\n", 2.0},
                      ToneCase{"DecimalCarrier", "a: 200.01+2.5/40\nNOW a\n", 40.0},
                      ToneCase{"Glide", "a: 200+4/40\nb: 260+10/40\nNOW == a ->\n+00:01 == b\n", 20.0},
                      ToneCase{"GlideThroughZeroBeat", "a: 200+4/40\nb: 200-4/40\nNOW == a ->\n+00:01 == b\n", 29.5},
                      ToneCase{"SmoothDrop", "-p drop 00ds+\n", 95.0}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(PlayerTones, PlusGivesTheLeftEarTheHigherTone)
{
    ProgramPlayer player(timeline("a: 100+4/20\nNOW a\n"));
    const auto out = render(player, 2.0);
    EXPECT_LT(std::abs(frequencyErrorHz(ear(out, 0, 1, 2), 102, 102)), 0.01);
    EXPECT_LT(std::abs(frequencyErrorHz(ear(out, 1, 1, 2), 98, 98)), 0.01);
}

// No step above the tones' own + 2 at 16 bits when the sound starts, changes, pauses,
// resumes, seeks and ends.
TEST(PlayerSteps, StartTransitionPauseSeekAndEndAreClickFree)
{
    // a until the change at 60 s (a fade through silence from 30 to 90 s), b to the end at 120 s.
    ProgramPlayer player(timeline("-SE\na: 50+2/90\nb: 80+3/90\nNOW a\n+00:01 b\n+00:02 b\n"));
    auto out = render(player, 100.0);
    const int ownA = maxStep(out, 0, 1.0, 29.0);
    const int ownB = maxStep(out, 0, 91.0, 100.0);
    EXPECT_LE(maxStep(out, 0, 0.0, 1.0), ownA + 2) << "start";
    EXPECT_LE(maxStep(out, 0, 29.0, 100.0), std::max(ownA, ownB) + 2) << "transition";

    player.setPaused(true);
    auto paused = render(player, 0.5);
    EXPECT_LE(maxStep(paused, 0, 0.0, 0.5), ownB + 2) << "pause";
    EXPECT_EQ(paused[paused.size() - 2], 0.0f);
    const double held = player.positionSec();
    render(player, 0.5);
    EXPECT_DOUBLE_EQ(player.positionSec(), held);
    player.setPaused(false);
    EXPECT_LE(maxStep(render(player, 0.5), 0, 0.0, 0.5), ownB + 2) << "resume";

    player.seek(10.0);
    EXPECT_DOUBLE_EQ(player.positionSec(), 10.0);
    EXPECT_LE(maxStep(render(player, 1.0), 0, 0.0, 1.0), std::max(ownA, ownB) + 2) << "seek";
    EXPECT_NEAR(player.positionSec(), 11.0, 0.06);

    player.seek(118.0);
    out = render(player, 3.0);
    EXPECT_LE(maxStep(out, 0, 0.0, 3.0), ownB + 2) << "end";
    EXPECT_TRUE(player.ended());
    EXPECT_EQ(out[out.size() - 2], 0.0f);
}

TEST(PlayerLevels, TonesAndNoiseAtTheFormatsLevels)
{
    struct Case {
        const char* text;
        double dbfs;  // each ear's RMS
    };
    for (const Case& c : {Case{"a: 200+10/50\nNOW a\n", -9.03}, Case{"a: pink/100\nNOW a\n", -16.3},
                          Case{"a: pink/40\nNOW a\n", -24.26}, Case{"a: brown/100\nNOW a\n", -16.3},
                          Case{"a: white/100\nNOW a\n", -16.3}, Case{"a: spin:500+1/100\nNOW a\n", -16.3},
                          // 150 in all is scaled by 1/1.5: each tone peaks at 0.5.
                          Case{"a: 200+4/75 300+4/75\nNOW a\n", -6.02}}) {
        ProgramPlayer player(timeline(c.text));
        const auto out = render(player, 21.0);
        for (int channel : {0, 1})
            EXPECT_NEAR(rmsDb(ear(out, channel, 1.0, 21.0)), c.dbfs, 0.2) << c.text << " channel " << channel;
        const auto peak = *std::max_element(out.begin(), out.end(), [](float x, float y) { return std::abs(x) < std::abs(y); });
        EXPECT_LE(std::abs(peak), 1.0f) << c.text;
    }
}

TEST(PlayerLevels, PinkIsTheSameInBothEarsSpinIsNot)
{
    for (const auto& [text, same] : {std::pair{"a: pink/60\nNOW a\n", true}, std::pair{"a: spin:600+2/60\nNOW a\n", false}}) {
        ProgramPlayer player(timeline(text));
        const auto out = render(player, 2.0);
        EXPECT_EQ(ear(out, 0, 1, 2) == ear(out, 1, 1, 2), same) << text;
    }
}

TEST(PlayerLevels, BellRingsAtItsFrequencyAndDiesAway)
{
    ProgramPlayer player(timeline("a: bell+440/50\nNOW a\n"));
    const auto out = render(player, 10.0);
    EXPECT_LT(std::abs(frequencyErrorHz(ear(out, 0, 0.1, 0.6), 440, 440)), 0.01);
    const double expectedDb = 20 * std::log10(0.5 / std::sqrt(2.0) * std::exp(-1.0 / kBellDecaySec));
    EXPECT_NEAR(rmsDb(ear(out, 0, 0.99, 1.01)), expectedDb, 0.2);
    EXPECT_EQ(maxStep(out, 0, 9.0, 10.0), 0);
}

}  // namespace
}  // namespace quavira::programs
