// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the preset table and preset application.
#include "list_index_error.h"
#include "panel_fixture.h"

#include <QTest>

#include <string>

using quavira::Channel;

namespace {

struct PresetRow {
    int row;
    const char* name;
    const char* base;
    const char* beat;
    int leftHz;
    int rightHz;
};

// The preset table as the user knows it: names as stored (trailing blanks
// included), the stored texts, and the frequencies a row sets.
const PresetRow kPresets[] = {
    {0, "Spiritual Awakening", "852", "7.5", 852, 859},
    {1, "Lucid Dreaming", "174", "7", 174, 181},
    {2, "Astral Projection", "852", "12", 852, 864},
    {3, "Energy Express", "285", "8", 285, 293},
    {4, "Tinnitus Relief", "528", "4", 528, 532},
    {5, "Blissful Sleep", "432", "3.9", 432, 435},
    {6, "Deep Sleep", "174", "3.9", 174, 177},
    {7, "Power Nap", "432", "3.4", 432, 435},
    {8, "Deep Meditation", "852", "5", 852, 857},
    {9, "Earth Vibration", "432", "7.83", 432, 439},
    {10, "Zen Focus", "741", "14", 741, 755},
    {11, "Anxiety Release", "396", "8.6", 396, 404},
    {12, "Positive Thinking", "396", "8", 396, 404},
    {13, "Creativity Boost", "741", "7.5", 741, 748},
    {14, "Root Chakra ", "528", "256", 528, 784},
    {15, "Sacral Chakra ", "528", "288", 528, 816},
    {16, "Navel Chakra ", "528", "320", 528, 848},
    {17, "Heart Chakra", "528", "341.3", 528, 869},
    {18, "Throat Chakra ", "528", "384", 528, 912},
    {19, "Third Eye Chakra ", "528", "426.7", 528, 954},
    {20, "Crown Chakra ", "528", "480", 528, 1008},
    {21, "Super Brain Power", "528", "10", 528, 538},
    {22, "Memory Enhancer", "432", "40", 432, 472},
    {23, "Chill Pill", "528", "6", 528, 534},
    {24, "Pain Relief", "174", "6", 174, 180},
    {25, "Kundalini Awakening", "852", "55", 852, 907},
    {26, "Serotonin Boost", "528", "12", 528, 540},
    {27, "Love Meditation", "639", "12.5", 639, 651},
    {28, "Muscle Relaxation", "528", "12", 528, 540},
    {29, "Headache Relief", "174", "12", 174, 186},
    {30, "Tantric Stimulation", "528", "9", 528, 537},
    {31, "Abundance Meditation", "417", "12", 417, 429},
    {32, "Weight Loss Mindset", "396", "12", 396, 408},
    {33, "Self-Confidence Meditation", "396", "12", 396, 408},
    {34, "Stop Smoking", "417", "12", 417, 429},
    {35, "Misophonia Relief", "432", "10", 432, 442},
    {36, "Immunity Booster", "528", "10.5", 528, 538},
    {37, "Exercise Motivation", "528", "12", 528, 540},
    {38, "Procrastination Meditation", "741", "12", 741, 753},
    {39, "Wind Chimes Meditation", "963", "12", 963, 975},
    {40, "Motivation Motivation", "528", "12", 528, 540},
    {41, "Self-Love Meditation", "639", "10.5", 639, 649},
    {42, "Lower Blood Pressure", "285", "10.5", 285, 295},
    {43, "Flow State", "432", "11", 432, 443},
    {44, "", "0", "0", 50, 50},
    {45, "174", "174", "0", 174, 174},
    {46, "285", "285", "0", 285, 285},
    {47, "396", "396", "0", 396, 396},
    {48, "417", "417", "0", 417, 417},
    {49, "432", "432", "0", 432, 432},
    {50, "528", "528", "0", 528, 528},
    {51, "639", "639", "0", 639, 639},
    {52, "741", "741", "0", 741, 741},
    {53, "852", "852", "0", 852, 852},
    {54, "963", "963", "0", 963, 963},
};

class PresetRowTest : public PanelTest, public ::testing::WithParamInterface<PresetRow> {};

TEST_P(PresetRowTest, RowIsStoredAndAppliesItsFrequencies)
{
    const PresetRow& p = GetParam();
    ASSERT_EQ(ui().ListBox1->count(), 55);
    ASSERT_EQ(ui().ListBox2->count(), 55);
    ASSERT_EQ(ui().ListBox3->count(), 55);
    EXPECT_EQ(ui().ListBox1->item(p.row)->text(), QString::fromUtf8(p.name));
    EXPECT_EQ(ui().ListBox2->item(p.row)->text(), QString::fromUtf8(p.base));
    EXPECT_EQ(ui().ListBox3->item(p.row)->text(), QString::fromUtf8(p.beat));

    m_panel->selectPreset(p.row);
    m_panel->ListBox1Click();
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Left), p.leftHz);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), p.rightHz);
    EXPECT_EQ(m_panel->frequencyText(Channel::Left), QString::number(p.leftHz));
    EXPECT_EQ(m_panel->frequencyText(Channel::Right), QString::number(p.rightHz));
    EXPECT_EQ(channelBytes(*m_engine, Channel::Left), expectedChannel(p.leftHz, 64, 0.0f, Channel::Left));
    EXPECT_EQ(channelBytes(*m_engine, Channel::Right), expectedChannel(p.rightHz, 64, 0.0f, Channel::Right));
}

INSTANTIATE_TEST_SUITE_P(AllRows, PresetRowTest, ::testing::ValuesIn(kPresets),
                         [](const auto& testInfo) { return "Row" + std::to_string(testInfo.param.row); });

using PresetTest = PanelTest;

TEST_F(PresetTest, SelectingARowAppliesNothingUntilTheClick)
{
    m_panel->selectPreset(2);
    EXPECT_EQ(ui().ListBox1->currentRow(), 2);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Left), 500);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 500);
}

TEST_F(PresetTest, ReapplyingTheCurrentRowRunsNoSliderHandlerButRefillsBothChannels)
{
    m_panel->selectPreset(0);
    m_panel->ListBox1Click();
    ui().LFEUpDown->setPosition(7);
    ui().RFEUpDown->setPosition(8);
    poison(Channel::Left);
    poison(Channel::Right);
    m_panel->setFrequencyText(Channel::Left, QStringLiteral("typed"));

    m_panel->ListBox1Click();
    EXPECT_EQ(ui().LFEUpDown->position(), 7) << "LFreqTrackBarChange must not run";
    EXPECT_EQ(ui().RFEUpDown->position(), 8) << "RFreqTrackBarChange must not run";
    EXPECT_EQ(m_panel->frequencyText(Channel::Left), QStringLiteral("852"));
    EXPECT_EQ(channelBytes(*m_engine, Channel::Left), expectedChannel(852, 64, 0.0f, Channel::Left));
    EXPECT_EQ(channelBytes(*m_engine, Channel::Right), expectedChannel(859, 64, 0.0f, Channel::Right));
}

TEST_F(PresetTest, AmplitudesAndPhasesAreKept)
{
    ui().LAmplitudeTrackBar->setValue(100);
    ui().RAmplitudeTrackBar->setValue(20);
    ui().LPhaseTrackBar->setValue(250);
    ui().RPhaseTrackBar->setValue(999);
    m_panel->selectPreset(17);
    m_panel->ListBox1Click();
    EXPECT_EQ(ui().LAmplitudeTrackBar->value(), 100);
    EXPECT_EQ(ui().RAmplitudeTrackBar->value(), 20);
    EXPECT_EQ(ui().LPhaseTrackBar->value(), 250);
    EXPECT_EQ(ui().RPhaseTrackBar->value(), 999);
    EXPECT_EQ(channelBytes(*m_engine, Channel::Left), expectedChannel(528, 27, phaseForPosition(250), Channel::Left));
    EXPECT_EQ(channelBytes(*m_engine, Channel::Right), expectedChannel(869, 107, phaseForPosition(999), Channel::Right));
}

TEST_F(PresetTest, RightFrequencyComesFromTheUnclampedBase)
{
    // A base below the slider's range: the left slider clamps to 50, the
    // right one is computed from the stored base.
    ui().ListBox2->item(3)->setText(QStringLiteral("20"));
    ui().ListBox3->item(3)->setText(QStringLiteral("45.9"));
    m_panel->selectPreset(3);
    m_panel->ListBox1Click();
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Left), 50);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 65);
    EXPECT_EQ(m_panel->frequencyText(Channel::Right), QStringLiteral("65"));
}

TEST_F(PresetTest, HugeStoredNumbersClampInsteadOfOverflowing)
{
    ui().ListBox2->item(4)->setText(QStringLiteral("99999999999"));
    ui().ListBox3->item(4)->setText(QStringLiteral("1e300"));
    m_panel->selectPreset(4);
    m_panel->ListBox1Click();
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Left), 2000);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 2000);
}

TEST_F(PresetTest, BeatReadsThePointInACommaLocale)
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    m_panel->selectPreset(19);
    m_panel->ListBox1Click();
    QLocale::setDefault(saved);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 954);
}

TEST_F(PresetTest, RowNamingNoItemFailsBeforeAnythingChanges)
{
    for (const int row : {-1, 55, 1000}) {
        m_panel->selectPreset(row);
        EXPECT_EQ(ui().ListBox1->currentRow(), -1);
        poison(Channel::Left);
        poison(Channel::Right);
        try {
            m_panel->ListBox1Click();
            ADD_FAILURE() << "no error for row " << row;
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "List index out of bounds (-1)");
            EXPECT_NE(dynamic_cast<const ListIndexError*>(&e), nullptr);
        }
        EXPECT_EQ(m_panel->frequencyText(Channel::Left), QStringLiteral("500"));
        EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 500);
        EXPECT_EQ(firstByte(Channel::Left), 0);
        EXPECT_EQ(firstByte(Channel::Right), 0);
    }
    // The standard exception display keeps the text as it is: it ends in ")".
    EXPECT_EQ(exceptionDisplayText(QString::fromLatin1(ListIndexError(-1).what())),
              QStringLiteral("List index out of bounds (-1)"));
}

TEST_F(PresetTest, ClickInTheShownPanelsListAppliesTheRow)
{
    m_panel->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_panel.get()));
    QListWidget* list = ui().ListBox1;
    const QRect row2 = list->visualItemRect(list->item(2));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row2.center());
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Left), 852);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 864);

    // Clicking the selected row again applies it again.
    m_panel->setFrequencyPosition(Channel::Right, 1500);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row2.center());
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 864);

    // A key that moves the selection applies the new row.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(list->currentRow(), 3);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 293);
}

TEST_F(PresetTest, ListRowsAreThirteenPixelsHigh)
{
    for (QListWidget* list : {ui().ListBox1, ui().ListBox2, ui().ListBox3}) {
        EXPECT_EQ(list->visualItemRect(list->item(1)).top() - list->visualItemRect(list->item(0)).top(), 13);
        EXPECT_EQ(list->font().family(), QStringLiteral("MS Sans Serif"));
    }
    EXPECT_FALSE(ui().ListBox2->isEnabled());
    EXPECT_FALSE(ui().ListBox3->isEnabled());
    EXPECT_EQ(ui().ListBox2->palette().color(QPalette::Base), QColor(0xFF, 0xFF, 0xE1));
}

}  // namespace
