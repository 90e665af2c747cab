// SPDX-License-Identifier: GPL-3.0-or-later
// Timelines' values at chosen times: transitions, glides, the 24-hour cycle, generated programs.
#include "builtin_programs.h"
#include "program.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quavira::programs {
namespace {

Program program(const std::string& text)
{
    auto result = programFromSbg(text, "test");
    EXPECT_TRUE(result.ok()) << result.error().text();
    return result.ok() ? std::move(result).value() : Program{};
}

// Position 0's values at t (level 0 where nothing sounds).
VoiceParams at0(const Timeline& timeline, double t)
{
    for (const auto& v : timeline.at(t)) {
        if (v.position == 0)
            return v.params;
    }
    return {};
}

struct Expect {
    double tSec;
    double carrierHz;
    double beatHz;
    double level;
};

void expectAt(const Timeline& timeline, std::initializer_list<Expect> expected)
{
    for (const auto& e : expected) {
        const auto p = at0(timeline, e.tSec);
        EXPECT_NEAR(p.level, e.level, 1e-9) << "level at " << e.tSec;
        if (e.level > 0) {
            EXPECT_NEAR(p.carrierHz, e.carrierHz, 1e-9) << "carrier at " << e.tSec;
            EXPECT_NEAR(p.beatHz, e.beatHz, 1e-9) << "beat at " << e.tSec;
        }
    }
}

TEST(Timeline, EndsHalfwayIntoSilenceAndStartsHalfwayOutOfIt)
{
    // 30 s in, 60 s steady, 30 s out: the cycle's transition from `off` centred on the start.
    const auto p = program("a: 200+4/40\noff: -\nNOW a\n+0:02:00 off\n");
    EXPECT_EQ(p.timeline.lengthSec(), 120.0);
    expectAt(p.timeline, {{0, 200, 4, 0.0}, {15, 200, 4, 0.2}, {30, 200, 4, 0.4}, {90, 200, 4, 0.4},
                          {105, 200, 4, 0.2}, {119.999, 200, 4, 0.4 * 0.001 / 30}});
}

TEST(Timeline, CycleOfTheSameToneStartsSteadyAndPlaysOn)
{
    const auto p = program("a: 200+4/40\nb: 200+4/40\nNOW a\n+00:10 b\n");
    EXPECT_FALSE(p.timeline.lengthSec().has_value());
    expectAt(p.timeline, {{0, 200, 4, 0.4}, {600, 200, 4, 0.4}, {86400, 200, 4, 0.4}});
}

TEST(Timeline, FadeThroughVersusSlide)
{
    const std::string sets = "a: 200+4/40\nb: 210+10/20\n";
    // `--`: the changed tone goes through silence at the change's time.
    const auto fade = program(sets + "NOW a\n+00:10 b\n");
    expectAt(fade.timeline, {{569.999, 200, 4, 0.4}, {585, 200, 4, 0.2}, {600, 0, 0, 0.0}, {615, 210, 10, 0.1},
                             {630, 210, 10, 0.2}});
    // `==` on both sides: carrier, beat and level glide over the 60-s window.
    const auto slide = program(sets + "NOW == a\n+00:10 == b\n");
    expectAt(slide.timeline, {{570, 200, 4, 0.4}, {585, 202.5, 5.5, 0.35}, {600, 205, 7, 0.3}, {630, 210, 10, 0.2}});
    // `=` on one side only is a fade.
    const auto half = program(sets + "NOW -= a\n+00:10 -- b\n");
    EXPECT_NEAR(at0(half.timeline, 600).level, 0.0, 1e-12);
    // An unchanged tone through `--` only moves its level.
    const auto level = program("a: 200+4/40\nb: 200+4/20\nNOW a\n+00:10 b\n");
    expectAt(level.timeline, {{600, 200, 4, 0.3}});
}

TEST(Timeline, ArrowGlidesOverTheWholePeriodAndFadeWindowFollowsF)
{
    const auto p = program("-F 20000\na: 100+0.92/30\nb: 100+4/30\nNOW a\n+00:10 == a ->\n+01:10 == b\n");
    expectAt(p.timeline, {{600, 100, 0.92, 0.3}, {2400, 100, 2.46, 0.3}, {4200, 100, 4, 0.3}});
    // The 20-s window of the first change: 10 s either side.
    const auto q = program("-F 20000\na: 200+4/40\nb: 300+4/40\nNOW a\n+00:10 b\n");
    expectAt(q.timeline, {{589.999, 200, 4, 0.4}, {595, 200, 4, 0.2}, {605, 300, 4, 0.2}});
}

TEST(Timeline, ArrowWithAnEmptyPositionFadesAtItsOwnFrequency)
{
    const auto p = program("a: 200+4/40 -\nb: 200+4/40 300/20\nNOW a ->\n+00:10 b\n");
    const auto voices = p.timeline.at(300);
    ASSERT_EQ(voices.size(), 2u);
    EXPECT_NEAR(voices[1].params.carrierHz, 300.0, 1e-9);
    EXPECT_NEAR(voices[1].params.level, 0.1, 1e-9);
}

TEST(Timeline, BellsRingAtTheirPeriodsAndTheGainKeepsFullScale)
{
    // With no fade window the bell strikes while both voices are at full level.
    const auto p = program("-F 0\na: 200+4/60 pink/60\nb: 200+4/60 pink/60 bell+440/30\noff: -\n"
                           "NOW a\n+00:10 b\n+00:20 a\n+00:30 off\n");
    ASSERT_EQ(p.timeline.bells().size(), 1u);
    EXPECT_DOUBLE_EQ(p.timeline.bells()[0].atSec, 600.0);
    EXPECT_NEAR(p.timeline.peakSum(), 1.5, 1e-9);
    EXPECT_NEAR(p.timeline.gain(), 1.0 / 1.5, 1e-12);
}

TEST(Timeline, MainToneIsTheLoudest)
{
    const auto p = program("a: 300-6/10 pink/80 150+3.5/30\nNOW a\n");
    const auto main = p.timeline.mainTone(5);
    ASSERT_TRUE(main.has_value());
    EXPECT_DOUBLE_EQ(main->carrierHz, 150.0);
    EXPECT_DOUBLE_EQ(main->beatHz, 3.5);
    EXPECT_DOUBLE_EQ(program("a: 300-6/10\nNOW a\n").timeline.mainTone(5)->beatHz, 6.0);
}

TEST(Timeline, DropSmoothWithHold)
{
    const auto p = program("-p drop 00ds+\n");
    EXPECT_EQ(p.timeline.lengthSec(), 3610.0);
    // Carrier straight over drop + hold; beat 10 * 0.25^(t / 1800) over the drop.
    expectAt(p.timeline, {{0, 205, 10, 0.5}, {900, 203.75, 5.0, 0.5}, {1800, 202.5, 2.5, 0.5},
                          {3600, 200, 2.5, 0.5}, {3605, 200, 2.5, 0.25}});
    // Between the 10-s points of the curve, within 0.001 Hz of the exponential.
    EXPECT_NEAR(at0(p.timeline, 905).beatHz, 10 * std::pow(0.25, 905.0 / 1800), 1e-3);
}

TEST(Timeline, DropStepsWakeAndLevel)
{
    const auto p = program("-p drop t30,0,3 10dk^/20\n");
    EXPECT_EQ(p.timeline.lengthSec(), 33 * 60 + 10.0);
    const double ratio = std::pow(0.25, 1.0 / 29);  // 30 one-minute steps from 10 to 2.5 Hz
    expectAt(p.timeline, {{30, 185 - 5 * 30.0 / 1800, 10, 0.2},
                          {90, 185 - 5 * 90.0 / 1800, 10 * ratio, 0.2},
                          {120, 185 - 5 * 120.0 / 1800, 10 * (ratio + ratio * ratio) / 2, 0.2},
                          {1790, 185 - 5 * 1790.0 / 1800, 2.5, 0.2},
                          {1890, 182.5, 6.25, 0.2},
                          {1980, 185, 10, 0.2}});
    // Three-minute steps without k: the first change is at 180 s.
    const auto stepped = program("-p drop 00a\n");
    EXPECT_NEAR(at0(stepped.timeline, 170).beatHz, 10.0, 1e-9);
    EXPECT_NEAR(at0(stepped.timeline, 190).beatHz, 10 * std::pow(0.44, 1.0 / 9), 1e-9);
    EXPECT_EQ(stepped.timeline.lengthSec(), 1810.0);
}

TEST(Timeline, SlideHoldsTheBeatWhileTheCarrierFalls)
{
    const auto p = program("-p slide t10 200-8/30\n");
    EXPECT_EQ(p.timeline.lengthSec(), 610.0);
    expectAt(p.timeline, {{0, 200, -8, 0.3}, {300, 102, -8, 0.3}, {600, 4, -8, 0.3}});
}

TEST(Timeline, GeneratedProgramErrorsNameTheOptionLine)
{
    for (const char* text : {"## x\n-p drop 00z\n", "## x\n-p drop t0 00d\n", "## x\n-p slide pink/4\n",
                             "## x\n-p sigmoid 1\n", "## x\n-p drop 00dsk\n"}) {
        const auto result = programFromSbg(text, "x");
        ASSERT_FALSE(result.ok()) << text;
        EXPECT_EQ(result.error().line, 2) << text;
    }
}

TEST(BuiltinPrograms, EachIsDescribedAndAsLongAsItSays)
{
    const auto programs = builtinPrograms();
    ASSERT_GE(programs.size(), 8u);
    const double lengths[] = {3610, 5410, 1390, 2410, 1800, 2400, 1810, 1500, 1200};
    ASSERT_EQ(programs.size(), std::size(lengths));
    for (std::size_t i = 0; i < programs.size(); ++i) {
        EXPECT_FALSE(programs[i].description.empty()) << programs[i].name;
        EXPECT_EQ(programs[i].timeline.lengthSec(), lengths[i]) << programs[i].name;
        EXPECT_LE(programs[i].timeline.peakSum(), 1.0) << programs[i].name;
    }
    // The sigmoid descent: 12 Hz at the start, the midpoint halfway, 2 Hz at the end.
    const auto& wind = programs[3].timeline;
    EXPECT_NEAR(wind.mainTone(0)->beatHz, 12.0, 1e-9);
    EXPECT_NEAR(wind.mainTone(1200)->beatHz, 7.0, 1e-9);
    EXPECT_NEAR(wind.mainTone(2400)->beatHz, 2.0, 1e-9);
}

}  // namespace
}  // namespace quavira::programs
