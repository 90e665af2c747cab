// SPDX-License-Identifier: GPL-3.0-or-later
// Channel synthesis: exact sample values, channel isolation, tone frequency.
#include "channel_synthesis.h"
#include "loop_buffer.h"
#include "reference_synthesis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <numbers>
#include <vector>

namespace quavira {
namespace {

struct Scratch {
    std::unique_ptr<Sample[]> bytes{new Sample[kLoopBytes]()};
    std::span<Sample> span() { return {bytes.get(), kLoopBytes}; }
    std::uint8_t at(std::size_t i) const { return bytes[i].load(); }
    std::vector<std::uint8_t> channel(Channel c) const
    {
        std::vector<std::uint8_t> out;
        for (std::size_t i = static_cast<std::size_t>(c); i < kLoopBytes; i += 2)
            out.push_back(at(i));
        return out;
    }
    void fillWith(std::uint8_t v)
    {
        for (std::size_t i = 0; i < kLoopBytes; ++i)
            bytes[i].store(v);
    }
};

struct FirstSampleCase {
    const char* name;
    std::int32_t freqHz;
    std::int8_t amplitude;
    float phase;
    Channel channel;
    std::uint8_t firstSample;
};

class FirstSample : public ::testing::TestWithParam<FirstSampleCase> {};

TEST_P(FirstSample, MatchesTheCosineAtTheChannelsFirstByte)
{
    const auto& c = GetParam();
    Scratch s;
    fillChannel(s.span(), c.freqHz, c.amplitude, c.phase, c.channel);
    EXPECT_EQ(s.at(static_cast<std::size_t>(c.channel)), c.firstSample);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, FirstSample,
    ::testing::Values(
        FirstSampleCase{"Peak50HzAmp63", 50, 63, 0.0f, Channel::Left, 190},
        // 3.1415925f: cos gives -0.99999999999999 and 64.0000000000007 truncates to 64.
        FirstSampleCase{"TroughAtPhase3_1415925", 50, 63, 0.006283185f * 500, Channel::Left, 64},
        FirstSampleCase{"InitialPanelTone", 500, 64, 0.0f, Channel::Left, 191},
        FirstSampleCase{"LoudestPeak", 2000, 126, 0.0f, Channel::Left, 253},
        FirstSampleCase{"NegativeAmplitudeInvertsPeak", 440, -63, 0.0f, Channel::Left, 64}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(ChannelSynthesis, LeavesTheOtherChannelByteIdentical)
{
    Scratch s;
    for (std::size_t i = 0; i < kLoopBytes; ++i)
        s.bytes[i].store(static_cast<std::uint8_t>(i * 7));
    const auto rightBefore = s.channel(Channel::Right);
    fillChannel(s.span(), 50, 63, 0.0f, Channel::Left);
    EXPECT_EQ(s.channel(Channel::Right), rightBefore);

    const auto leftAfter = s.channel(Channel::Left);
    fillChannel(s.span(), 1234, 10, 1.0f, Channel::Right);
    EXPECT_EQ(s.channel(Channel::Left), leftAfter);
}

TEST(ChannelSynthesis, RepeatedCallLeavesTheBufferUnchanged)
{
    Scratch s;
    fillChannel(s.span(), 777, 99, 2.5f, Channel::Right);
    const auto first = s.channel(Channel::Right);
    fillChannel(s.span(), 777, 99, 2.5f, Channel::Right);
    EXPECT_EQ(s.channel(Channel::Right), first);
}

TEST(ChannelSynthesis, AmplitudeOneSpans126To128)
{
    Scratch s;
    // 128 needs the exact peak, which phase 0 gives at the first left byte.
    fillChannel(s.span(), 1999, 1, 0.0f, Channel::Left);
    auto left = s.channel(Channel::Left);
    EXPECT_EQ(*std::min_element(left.begin(), left.end()), 126);
    EXPECT_EQ(*std::max_element(left.begin(), left.end()), 128);
    fillChannel(s.span(), 1999, 1, 0.3f, Channel::Left);
    left = s.channel(Channel::Left);
    EXPECT_EQ(*std::min_element(left.begin(), left.end()), 126);
    EXPECT_EQ(*std::max_element(left.begin(), left.end()), 127);
}

TEST(ChannelSynthesis, AmplitudeOneTwentySixSpans1To253)
{
    Scratch s;
    fillChannel(s.span(), 2000, 126, 0.0f, Channel::Left);
    const auto left = s.channel(Channel::Left);
    EXPECT_GE(*std::min_element(left.begin(), left.end()), 1);
    EXPECT_EQ(*std::max_element(left.begin(), left.end()), 253);
}

TEST(ChannelSynthesis, RightChannelRunsHalfAFrameAheadOfLeft)
{
    // Right sample k sits at byte 2k+1, so it equals a left tone whose phase
    // is one step s further on.
    Scratch both;
    fillChannel(both.span(), 500, 64, 0.0f, Channel::Right);
    const float step = synthesisStep(500);
    std::vector<std::uint8_t> expected(kLoopBytes);
    // The left channel at phase s, computed by the reference arithmetic.
    for (std::uint32_t i = 0; i < kLoopBytes; i += 2) {
        const long double angle = static_cast<long double>(i) * step + static_cast<long double>(step);
        const long double v = static_cast<long double>(std::cos(static_cast<double>(angle))) * 64 + 127.0L;
        expected[i] = static_cast<std::uint8_t>(static_cast<std::int32_t>(v));
    }
    std::size_t equal = 0;
    for (std::size_t k = 0; k < kLoopFrames; ++k)
        equal += both.at(2 * k + 1) == expected[2 * k];
    EXPECT_EQ(equal, kLoopFrames);

    // And differs from the unshifted left channel.
    fillChannel(both.span(), 500, 64, 0.0f, Channel::Left);
    std::size_t differing = 0;
    for (std::size_t k = 0; k < kLoopFrames; ++k)
        differing += both.at(2 * k) != both.at(2 * k + 1);
    EXPECT_GT(differing, kLoopFrames / 4);
}

// Counts upward crossings of the centre line over one buffer of a channel.
int cyclesPerBuffer(const std::vector<std::uint8_t>& samples)
{
    int crossings = 0;
    for (std::size_t k = 1; k < samples.size(); ++k)
        crossings += samples[k - 1] < 127 && samples[k] >= 127;
    return crossings;
}

TEST(ChannelSynthesis, OneBufferHoldsAsManyCyclesAsHertz)
{
    for (std::int32_t hz : {50, 440, 1999, 2000}) {
        Scratch s;
        fillChannel(s.span(), hz, 63, 0.0f, Channel::Left);
        EXPECT_EQ(cyclesPerBuffer(s.channel(Channel::Left)), hz) << hz << " Hz";
    }
}

// Every frequency the panel can ask for, at amplitudes and phases that cover
// the full swing, the smallest swing, negative amplitude and the phase values
// the panel uses; both channels.
TEST(ChannelSynthesis, MatchesTheReferenceAtEveryFrequencyFrom50To2000)
{
    Scratch s;
    std::vector<std::uint8_t> expected(kLoopBytes);
    const std::int8_t amplitudes[] = {1, 63, 126, -100};
    const float phases[] = {0.0f, 0.006283185f * 500, 0.006283185f * 1000, 0.7f};
    for (std::int32_t hz = 50; hz <= 2000; ++hz) {
        for (int variant = 0; variant < 4; ++variant) {
            const std::int8_t amp = amplitudes[(hz + variant) % 4];
            const float phase = phases[variant];
            const int channel = (hz + variant) % 2;
            fillChannel(s.span(), hz, amp, phase, static_cast<Channel>(channel));
            testing::referenceFill(expected, hz, amp, phase, channel);
            for (std::size_t i = static_cast<std::size_t>(channel); i < kLoopBytes; i += 2)
                ASSERT_EQ(s.at(i), expected[i]) << hz << " Hz amp " << int(amp) << " phase " << phase << " byte " << i;
        }
    }
}

// Outside the panel's range the slower exact evaluation takes over; it must
// agree with the reference too.
TEST(ChannelSynthesis, MatchesTheReferenceOutsideThePanelsRange)
{
    Scratch s;
    std::vector<std::uint8_t> expected(kLoopBytes);
    const struct {
        std::int32_t hz;
        float phase;
    } cases[] = {{0, 0.0f}, {-440, 0.0f}, {2600, 1.0f}, {2601, 0.0f}, {20000, 0.0f}, {440, 8191.0f}, {440, 8192.0f},
                 {440, -3.0f}, {1, 1e-30f}, {INT32_MAX, 0.0f}, {INT32_MIN, 0.0f}};
    for (const auto& c : cases) {
        fillChannel(s.span(), c.hz, 100, c.phase, Channel::Left);
        testing::referenceFill(expected, c.hz, 100, c.phase, 0);
        for (std::size_t i = 0; i < kLoopBytes; i += 2)
            ASSERT_EQ(s.at(i), expected[i]) << c.hz << " Hz phase " << c.phase << " byte " << i;
    }
}

TEST(ChannelSynthesis, AnAbsentBufferIsLeftAlone)
{
    fillChannel({}, 440, 64, 0.0f, Channel::Left);  // must not write anywhere
    Scratch s;
    s.fillWith(9);
    fillChannel(s.span().first(1000), 440, 64, 0.0f, Channel::Left);
    EXPECT_EQ(s.at(0), 9);
}

TEST(ChannelSynthesis, ToneRunsSlightlyAboveNominalFrequency)
{
    // 3.1416 in place of pi: 2.34 ppm sharp.
    EXPECT_NEAR(synthesisStep(1000) * 2.0 * 44100.0 / (2.0 * std::numbers::pi) / 1000.0, 1.0000023, 2e-7);
}

}  // namespace
}  // namespace quavira
