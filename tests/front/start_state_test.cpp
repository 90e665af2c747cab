// SPDX-License-Identifier: GPL-3.0-or-later
// The random start state set on the first show, for fixed clocks.
#include "front_fixture.h"

#include "band_colour.h"
#include "random_source.h"

#include <algorithm>
#include <functional>

namespace fronttest {
namespace {

class StartState : public FrontWindow {
protected:
    static std::int64_t findSeconds(const std::function<bool(const StartDraws&)>& wanted)
    {
        for (std::int64_t seconds = kDefaultSeconds;; ++seconds)
            if (wanted(startDrawsFor(seconds)))
                return seconds;
    }

    void expectStereoSectionShows(int preset)
    {
        EXPECT_EQ(control<QComboBox>("ComboBox1")->currentIndex(), preset);
        EXPECT_EQ(control<QListWidget>("ListBox1")->currentRow(), preset);
        EXPECT_EQ(control<QLineEdit>("LFreqEdit")->text(), QString::number(kPresetHz[preset][0]));
        EXPECT_EQ(control<QLineEdit>("RFreqEdit")->text(), QString::number(kPresetHz[preset][1]));
    }
};

TEST_F(StartState, FixedClockGivesThePredictedPresetOffsetAndBase)
{
    const StartDraws draws = startDrawsFor(kDefaultSeconds);
    start(kDefaultSeconds);

    expectStereoSectionShows(draws.preset);
    EXPECT_EQ(baseEdit()->text(), QString::number(draws.baseHz));
    EXPECT_EQ(offsetSlider()->value(), draws.offsetHz);
    EXPECT_EQ(control<QLabel>("offsetlabel")->text(), QString::number(draws.offsetHz));
    EXPECT_EQ(windowColour(), quavira::bandColour(draws.offsetHz));
    EXPECT_EQ(textColour("fup"), quavira::bandColour(draws.offsetHz));
    EXPECT_EQ(panelHz(Channel::Left), draws.baseHz);
    EXPECT_EQ(panelHz(Channel::Right), std::min(2000, draws.baseHz + draws.offsetHz));
    EXPECT_EQ(panelText(Channel::Right), QString::number(draws.baseHz + draws.offsetHz));
    EXPECT_FALSE(m_device->isPlaying());
    EXPECT_EQ(control<QPushButton>("bstart")->text(), QStringLiteral("Start"));
    EXPECT_TRUE(m_box.shown.isEmpty());
}

TEST_F(StartState, SecondsBeyond32BitsSeedWithTheirLowWord)
{
    const std::int64_t seconds = (std::int64_t{1} << 32) + 12345;
    const StartDraws draws = startDrawsFor(12345);
    start(seconds);
    EXPECT_EQ(baseEdit()->text(), QString::number(draws.baseHz));
    EXPECT_EQ(offsetSlider()->value(), draws.offsetHz);
}

TEST_F(StartState, OffsetEqualToTheDesignPositionStillSetsNumberAndColour)
{
    const std::int64_t seconds =
        findSeconds([](const StartDraws& d) { return d.offsetHz == 30 && d.baseHz != 700; });
    const StartDraws draws = startDrawsFor(seconds);
    start(seconds);

    EXPECT_EQ(offsetSlider()->value(), 30);
    EXPECT_EQ(control<QLabel>("offsetlabel")->text(), QStringLiteral("30"));
    EXPECT_EQ(windowColour(), QColor(0x00FF00));
    EXPECT_EQ(textColour("hz"), QColor(0x00FF00));
    // The new base text applied the pair.
    EXPECT_EQ(panelHz(Channel::Left), draws.baseHz);
}

TEST_F(StartState, DesignOffsetAndBaseKeepThePresetUntilBstartApplies)
{
    const std::int64_t seconds =
        findSeconds([](const StartDraws& d) { return d.offsetHz == 30 && d.baseHz == 700; });
    const StartDraws draws = startDrawsFor(seconds);
    start(seconds);

    EXPECT_EQ(baseEdit()->text(), QStringLiteral("700"));
    EXPECT_EQ(control<QLabel>("offsetlabel")->text(), QStringLiteral("30"));
    EXPECT_EQ(windowColour(), QColor(0x00FF00));
    EXPECT_EQ(panelHz(Channel::Left), kPresetHz[draws.preset][0]);
    EXPECT_EQ(panelHz(Channel::Right), kPresetHz[draws.preset][1]);
    expectStereoSectionShows(draws.preset);

    QTest::mouseClick(control<QPushButton>("bstart"), Qt::LeftButton);
    EXPECT_EQ(panelHz(Channel::Left), 700);
    EXPECT_EQ(panelHz(Channel::Right), 730);
    EXPECT_TRUE(m_device->isPlaying());
}

TEST_F(StartState, HighBaseWithHighOffsetClampsTheRightSlider)
{
    const std::int64_t seconds =
        findSeconds([](const StartDraws& d) { return d.baseHz + d.offsetHz > 2000; });
    const StartDraws draws = startDrawsFor(seconds);
    start(seconds);
    EXPECT_EQ(panelHz(Channel::Right), 2000);
    EXPECT_EQ(panelText(Channel::Right), QString::number(draws.baseHz + draws.offsetHz));
}

TEST_F(StartState, SecondShowDrawsNothingNew)
{
    start(kDefaultSeconds);
    const QString base = baseEdit()->text();
    const std::uint32_t state = sharedRandom().state();
    m_form.hide();
    m_form.show();
    EXPECT_EQ(sharedRandom().state(), state);
    EXPECT_EQ(baseEdit()->text(), base);
}

TEST_F(StartState, RandomProfileOnlyEverPicksTheFirstFortyPresets)
{
    start();
    QComboBox* presets = control<QComboBox>("ComboBox1");
    Lcg random(0);
    for (int i = 0; i < 60; ++i) {
        // Predict the next two draws from the shared source's current state.
        random.state = sharedRandom().state();
        const int preset = random.draw() % 40;
        const int offset = random.draw() % 100;
        m_form.Label8Click();
        ASSERT_EQ(presets->currentIndex(), preset);
        ASSERT_EQ(offsetSlider()->value(), offset);
        expectStereoSectionShows(preset);
    }
}

}  // namespace
}  // namespace fronttest
