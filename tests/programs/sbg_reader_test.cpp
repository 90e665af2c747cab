// SPDX-License-Identifier: GPL-3.0-or-later
// The .sbg reader on files of our own: time forms, transitions, voices, blocks, notes, errors.
#include "sbg_reader.h"

#include <gtest/gtest.h>

#include <string>

namespace quavira::programs {
namespace {

SbgProgram read(const std::string& text)
{
    auto result = readSbg(text);
    EXPECT_TRUE(result.ok()) << result.error().text();
    return result.ok() ? std::move(result).value() : SbgProgram{};
}

struct TimeCase {
    const char* name;
    const char* lines;  // after "a: 200+4/10"
    std::vector<double> offsetsSec;
};

class SbgTimes : public ::testing::TestWithParam<TimeCase> {};

TEST_P(SbgTimes, LinesStartWhereTheirTimesSay)
{
    const auto program = read(std::string("a: 200+4/10\n") + GetParam().lines);
    ASSERT_EQ(program.lines.size(), GetParam().offsetsSec.size());
    for (std::size_t i = 0; i < program.lines.size(); ++i)
        EXPECT_DOUBLE_EQ(program.lines[i].offsetSec, GetParam().offsetsSec[i]) << "line " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SbgTimes,
    ::testing::Values(
        TimeCase{"ClockMinutes", "22:00 a\n22:30 a\n", {0, 1800}},
        TimeCase{"ClockSeconds", "08:00:00 a\n08:00:45 a\n", {0, 45}},
        TimeCase{"MidnightWraps", "23:59:59 a\n00:00:00 a\n", {0, 1}},
        TimeCase{"EarlierClockIsNextDay", "10:00 a\n09:00 a\n", {0, 23 * 3600}},
        TimeCase{"RelativeToNow", "NOW a\n+00:10 a\n+00:25:30 a\n", {0, 600, 1530}},
        TimeCase{"RelativeToLastAbsolute", "12:00 a\n+00:20 a\n13:00 a\n+00:05 a\n", {0, 1200, 3600, 3900}},
        TimeCase{"Chains", "NOW a\nNOW+04:00+01:12:04 a\n", {0, 5 * 3600 + 12 * 60 + 4}},
        TimeCase{"ChainOnClock", "12:00 a\n12:00+00:00:20 a\n", {0, 20}},
        TimeCase{"SameTimeTwice", "NOW a\n+00:01 a\n+00:01 a\n", {0, 60, 60}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(SbgReader, TransitionsAndSlides)
{
    const auto program = read("a: 200+4/10\nNOW a\n+00:01 == a ->\n+00:02 <> a\n+00:03 =- a->\n+00:04 -= a\n");
    const std::string expected[] = {"--0", "==1", "<>0", "=-1", "-=0"};
    ASSERT_EQ(program.lines.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        const auto& l = program.lines[i];
        EXPECT_EQ(std::string() + l.fadeIn + l.fadeOut + (l.slideToNext ? '1' : '0'), expected[i]) << i;
    }
}

TEST(SbgReader, VoicesOfEveryKind)
{
    const auto program = read("t: 200+2.5/10 100-0.92/30 150/5 - pink/40 white/1 brown/2 bell+440/20 spin:300+4.2/30\n"
                              "NOW t\n");
    const auto& v = program.sets.at(0).voices;
    ASSERT_EQ(v.size(), 9u);
    EXPECT_EQ(*v[0], (VoiceSpec{VoiceKind::Tone, 200.0, 2.5, 0.0, 0.10}));
    EXPECT_EQ(*v[1], (VoiceSpec{VoiceKind::Tone, 100.0, -0.92, 0.0, 0.30}));
    EXPECT_EQ(*v[2], (VoiceSpec{VoiceKind::Tone, 150.0, 0.0, 0.0, 0.05}));
    EXPECT_FALSE(v[3].has_value());
    EXPECT_EQ(*v[4], (VoiceSpec{VoiceKind::PinkNoise, 0.0, 0.0, 0.0, 0.40}));
    EXPECT_EQ(v[5]->kind, VoiceKind::WhiteNoise);
    EXPECT_EQ(v[6]->kind, VoiceKind::BrownNoise);
    EXPECT_EQ(*v[7], (VoiceSpec{VoiceKind::Bell, 440.0, 0.0, 0.0, 0.20}));
    EXPECT_EQ(*v[8], (VoiceSpec{VoiceKind::Spin, 0.0, 4.2, 300.0, 0.30}));
}

TEST(SbgReader, NestedBlocksStampTheirLinesAtTheirUse)
{
    const auto program = read("a: 200+4/10\nb: 200+6/10\n"
                              "pair: {\n+00:00 a\n+00:05 b\n}\n"
                              "twice: {\n+00:00 pair\n+00:10 pair\n}\n"
                              "NOW twice\n+00:30 a\n");
    const double expected[] = {0, 300, 600, 900, 1800};
    ASSERT_EQ(program.lines.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_DOUBLE_EQ(program.lines[i].offsetSec, expected[i]) << i;
    EXPECT_EQ(program.sets[program.lines[1].set].name, "b");
}

TEST(SbgReader, OptionsDescriptionAndNotesForWhatIsNotPlayed)
{
    const auto program = read("## A test program\n##   over two lines\n-SE -F 20000\n-Q -m river.ogg\n"
                              "# a plain comment\n"
                              "a: 200+4/10 mix/50 wave01:150+3/10   # voices\nNOW a\n");
    EXPECT_TRUE(program.endAtLastLine);
    EXPECT_DOUBLE_EQ(program.fadeSec, 20.0);
    EXPECT_EQ(program.description, "A test program\nover two lines");
    EXPECT_EQ(program.notes.size(), 4u);  // -Q, -m, mix/, waveNN
    ASSERT_EQ(program.sets[0].voices.size(), 3u);
    EXPECT_FALSE(program.sets[0].voices[1].has_value());
    EXPECT_DOUBLE_EQ(program.sets[0].voices[2]->carrierHz, 150.0);
}

TEST(SbgReader, GeneratedProgramOption)
{
    const auto program = read("-p drop t20,0,3 00dk^/40\n");
    ASSERT_TRUE(program.generated.has_value());
    EXPECT_EQ(program.generated->name, "drop");
    EXPECT_EQ(program.generated->words, (std::vector<std::string>{"t20,0,3", "00dk^/40"}));
}

TEST(SbgReader, Latin1DescriptionBecomesUtf8)
{
    const auto program = read("## Caf\xe9\na: 200+4/10\nNOW a\n");
    EXPECT_EQ(program.description, "Caf\xc3\xa9");
}

struct ErrorCase {
    const char* name;
    std::string text;
    int line;
    const char* words;  // in the message
};

class SbgErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(SbgErrors, NameTheLineAndWhatIsWrong)
{
    const auto result = readSbg(GetParam().text);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().line, GetParam().line) << result.error().text();
    EXPECT_NE(result.error().what.find(GetParam().words), std::string::npos) << result.error().text();
}

INSTANTIATE_TEST_SUITE_P(
    Files, SbgErrors,
    ::testing::Values(
        ErrorCase{"NotTheFormat", "a: 200+4/10\n\nNOW a\nthis is prose\n", 4, "\"this\" is not a time"},
        ErrorCase{"BadVoice", "a: 200+4/10 20x/4\nNOW a\n", 1, "\"20x/4\" is not a voice"},
        ErrorCase{"AboveTheHighestTone", "a: 22000+101/10\nNOW a\n", 1, "above 22,050 Hz"},
        ErrorCase{"BadTime", "a: 200+4/10\n25:00 a\n", 2, "is not a time"},
        ErrorCase{"OutOfOrder", "a: 200+4/10\n10:00 a\n12:00 a\n11:00 a\n", 4, "out of order"},
        ErrorCase{"UnknownName", "a: 200+4/10\nNOW a\n+00:10 b\n", 3, "\"b\" is not a tone set or block"},
        ErrorCase{"BlockUsesItself", "a: 200+4/10\nloop: {\n+00:00 a\n+00:01 loop\n}\nNOW loop\n", 4, "uses itself"},
        ErrorCase{"SeventeenVoices", "a:" + [] { std::string s; for (int i = 0; i < 17; ++i) s += " 200+4/1"; return s; }() + "\nNOW a\n", 1, "at most 16"},
        ErrorCase{"DefinedTwice", "a: 200+4/10\na: 100/1\nNOW a\n", 2, "first on line 1"},
        ErrorCase{"AbsoluteTimeInBlock", "b: {\n12:00 a\n}\n", 2, "relative"},
        ErrorCase{"BlockNotClosed", "a: 1/1\nb: {\n+00:00 a\n", 2, "not closed"},
        ErrorCase{"OptionAfterSets", "a: 200+4/10\n-E\nNOW a\n", 2, "options must come before"},
        ErrorCase{"NoTimeLines", "## only words\na: 200+4/10\n", 0, "no time lines"},
        ErrorCase{"NotText", std::string("a: 200+4/10\nNOW a\x00\n", 18), 2, "not text"},
        ErrorCase{"TooLong", std::string(kMaxSbgBytes + 1, '#'), 0, "larger than 1 MiB"},
        ErrorCase{"BadFade", "-F soon\na: 1/1\nNOW a\n", 1, "-F needs"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(SbgReader, BlocksThatMultiplyWithoutEndAreRefused)
{
    std::string text = "a: 200+4/10\nb0: {\n+00:00 a\n}\n";
    for (int i = 1; i <= 8; ++i) {
        text += "b" + std::to_string(i) + ": {\n";
        for (int k = 0; k < 10; ++k)
            text += "+00:00 b" + std::to_string(i - 1) + "\n";
        text += "}\n";
    }
    text += "NOW b8\n";
    const auto result = readSbg(text);
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.error().what.find("more than"), std::string::npos);
}

}  // namespace
}  // namespace quavira::programs
