// SPDX-License-Identifier: GPL-3.0-or-later
// The 16-bit output stage: the loop byte for byte without a voice, a voice
// played again unchanged under rewrites, and every change of it a fade.
#include "channel_synthesis.h"
#include "fade_curve.h"
#include "loop_format.h"
#include "output_level.h"
#include "output_stage.h"
#include "loop_tones.h"
#include "noise_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

namespace quavira {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Samples = std::vector<std::int16_t>;
constexpr std::size_t kFade = VoiceTrack::kFadeFrames;

Bytes tones(std::int32_t leftHz, std::int32_t rightHz, std::int8_t amplitude = 126)
{
    return testing::loopTones(leftHz, rightHz, amplitude);
}

// Noise that cannot be made again: every frame a fresh draw.
class RandomVoice final : public VoiceSource {
public:
    explicit RandomVoice(float level) : m_level(level) {}
    void render(float* stereo, std::size_t frames) override
    {
        std::uniform_real_distribution<float> draw(-m_level, m_level);
        for (std::size_t i = 0; i < 2 * frames; ++i)
            stereo[i] = draw(m_random);
    }

private:
    float m_level;
    std::mt19937 m_random{7};
};

class SteadyVoice final : public VoiceSource {
public:
    explicit SteadyVoice(float value) : m_value(value) {}
    void render(float* stereo, std::size_t frames) override { std::fill(stereo, stereo + 2 * frames, m_value); }

private:
    float m_value;
};

template <typename Stage>
auto renderFrames(Stage& stage, std::size_t frames)
{
    std::vector<std::conditional_t<std::is_same_v<Stage, OutputStage>, std::int16_t, std::uint8_t>> out(2 * frames);
    stage.render(out.data(), frames);
    return out;
}

// The voice's part of rendered samples: what the loop's bytes leave.
std::vector<int> voicePart(const Samples& out, const Bytes& loopBytes)
{
    std::vector<int> part(out.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        part[i] = out[i] - toOutputSample(loopBytes[i]);
    return part;
}

int largestStep(const Samples& out)
{
    int step = 0;
    for (std::size_t i = 2; i < out.size(); ++i)
        step = std::max(step, std::abs(out[i] - out[i - 2]));
    return step;
}

TEST(OutputStage, WithoutAVoiceEveryFrameIsTheLoopRenderersBytesScaled)
{
    const Bytes a = tones(440, 450), b = tones(440, 1500);
    LoopRenderer reference;
    OutputStage stage;
    // Start, a change reaching back into what was queued, a stop: the same
    // calls on both, and the stage's samples scale back to the same bytes.
    const auto act = [&](auto& s) {
        s.start(100, a.data());
        auto first = renderFrames(s, 20000);
        s.change(12000, b.data());
        auto second = renderFrames(s, 30000);
        s.stop(30000);
        auto third = renderFrames(s, 1000);
        first.insert(first.end(), second.begin(), second.end());
        first.insert(first.end(), third.begin(), third.end());
        return first;
    };
    reference.restartAt(0);
    stage.restartAt(0);
    const Bytes expected = act(reference);
    const Samples out = act(stage);
    ASSERT_EQ(out.size(), expected.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], toOutputSample(expected[i])) << "sample " << i;
    EXPECT_EQ(stage.silentFrom(), reference.silentFrom());
}

TEST(OutputStage, ARewriteOfTheLoopPlaysTheVoiceAgainExactlyAsQueued)
{
    // At the window's own amplitude, with room for the noise beside it.
    const Bytes a = tones(440, 450, 64), b = tones(300, 310, 64);
    RandomVoice noise(0.05f);
    OutputStage stage;
    LoopRenderer loopOnly;  // the loop's own bytes, to take out of the mix
    stage.restartAt(0);
    loopOnly.restartAt(0);
    stage.setVoice(0, &noise);
    stage.start(0, a.data());
    loopOnly.start(0, a.data());
    const Samples queued = renderFrames(stage, 20000);
    const Bytes queuedLoop = renderFrames(loopOnly, 20000);

    stage.change(12000, b.data());
    loopOnly.change(12000, b.data());
    const Samples rewritten = renderFrames(stage, 10000);
    const Bytes rewrittenLoop = renderFrames(loopOnly, 10000);

    const std::vector<int> before = voicePart(queued, queuedLoop);
    const std::vector<int> after = voicePart(rewritten, rewrittenLoop);
    // Frames 12,000 to 20,000 were queued: the same noise; beyond, fresh.
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 2 * 8000, before.begin() + 2 * 12000));
    EXPECT_FALSE(std::equal(after.begin() + 2 * 8000, after.begin() + 2 * 8100, before.begin() + 2 * 11000));
    // Copied again, what was rendered is what was rendered.
    Samples copy(2 * 10000);
    stage.copyRendered(12000, copy.data(), 10000);
    EXPECT_EQ(copy, rewritten);
}

TEST(OutputStage, TheVoiceFadesInAndOutWithTheLoopAndCrossfadesWhenChanged)
{
    const Bytes quiet(kLoopBytes, 128);
    SteadyVoice up(0.25f), down(-0.25f);
    OutputStage stage;
    stage.restartAt(0);
    stage.setVoice(0, &up);
    stage.start(0, quiet.data());
    Samples out = renderFrames(stage, 5000);
    EXPECT_LT(std::abs(out[0]), 8192 / 100);  // from silence...
    EXPECT_EQ(out[2 * kFade], 8192);          // ...to the voice's level after the fade
    // A change of voice while it plays, reaching back into what was queued:
    // from +0.25 to -0.25 of full scale without a jump.
    stage.setVoice(3000, &down);
    const Samples changed = renderFrames(stage, 2000);
    EXPECT_NEAR(changed[0], 8192, 16384 / static_cast<int>(kFade) + 1);
    EXPECT_EQ(changed.back(), -8192);
    EXPECT_LE(largestStep(changed), 16384 / static_cast<int>(kFade) + 1);
    stage.stop(5000);
    const Samples stopped = renderFrames(stage, 2000);
    EXPECT_LE(largestStep(stopped), 8192 / static_cast<int>(kFade) + 1);
    EXPECT_EQ(stage.silentFrom(), 5000 + kFade);
    EXPECT_EQ(stopped.back(), 0);
}

// The noise set anew while it plays, reaching back into what was queued:
// what was queued and the fresh frames do not correlate, and at equal power
// the level holds through the crossfade (a linear one dips by 1.8 dB over
// it), and the noise plays on.
TEST(OutputStage, NoiseSetAnewCrossfadesAtItsLevel)
{
    const Bytes quiet(kLoopBytes, 128);
    NoiseSource noise(3);
    noise.set(NoiseColour::White, -16);
    OutputStage stage;
    stage.restartAt(0);
    stage.setVoice(0, &noise);
    stage.start(0, quiet.data());
    renderFrames(stage, 30000);
    noise.set(NoiseColour::White, -16);
    stage.setVoice(20000, &noise, Crossfade::EqualPower);
    const Samples out = renderFrames(stage, 44100);
    // 441-frame windows, the first one the crossfade's: white noise's own
    // spread over one is 0.3 dB.
    for (std::size_t w = 0; w + kFade <= out.size() / 2; w += kFade) {
        double power = 0;
        for (std::size_t i = 2 * w; i < 2 * (w + kFade); i += 2)
            power += (out[i] / 32768.0) * (out[i] / 32768.0);
        EXPECT_NEAR(10 * std::log10(power / kFade), -16.0, 1.0) << "at frame " << 20000 + w;
    }
}

TEST(OutputLevel, A16BitFadeMovesBetweenThe8BitSteps)
{
    // Half way down the curve (-24 dB), a full-scale sample lands between
    // the steps an 8-bit output has, where that one would round to them.
    OutputLevel level;
    level.moveTo(0, 0.5, 0);
    Samples samples(2 * 100);
    for (std::size_t k = 0; k < 100; ++k)
        samples[2 * k] = samples[2 * k + 1] = static_cast<std::int16_t>(-32768 + 655 * static_cast<int>(k));
    const Samples before = samples;
    level.apply(samples.data(), 10, 100);
    int between = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        EXPECT_NEAR(samples[i], before[i] * fadeOutGain(0.5), 0.5);
        between += samples[i] % 256 != 0;
    }
    EXPECT_GT(between, 150);
}

}  // namespace
}  // namespace quavira
