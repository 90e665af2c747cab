// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the panel's controls and their change handlers.
#include "panel_fixture.h"
#include "random_source.h"
#include "track_bar.h"
#include "up_down.h"

#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>

using quavira::Channel;

namespace {

// --- TrackBar: the notification rule every slider relies on ---

class TrackBarTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_slider.setRange(50, 2000);
        m_slider.setValue(500);
        m_slider.resize(389, 30);
    }
    TrackBar m_slider{Qt::Horizontal};
};

TEST_F(TrackBarTest, ProgramAssignmentNotifiesOnlyWhenThePositionChanges)
{
    QSignalSpy spy(&m_slider, &TrackBar::changed);
    m_slider.setValue(500);
    EXPECT_EQ(spy.count(), 0);
    m_slider.setValue(612);
    EXPECT_EQ(spy.count(), 1);
    m_slider.setValue(5000);
    EXPECT_EQ(m_slider.value(), 2000);
    EXPECT_EQ(spy.count(), 2);
    m_slider.setValue(2500);  // clamps to the same 2000
    EXPECT_EQ(spy.count(), 2);
    m_slider.setValue(-3);
    EXPECT_EQ(m_slider.value(), 50);
    EXPECT_EQ(spy.count(), 3);
}

TEST_F(TrackBarTest, EveryKeyNotifiesOnceEvenAtTheLimit)
{
    QSignalSpy spy(&m_slider, &TrackBar::changed);
    QTest::keyClick(&m_slider, Qt::Key_Right);
    EXPECT_EQ(m_slider.value(), 501);
    EXPECT_EQ(spy.count(), 1);
    m_slider.setValue(2000);
    spy.clear();
    QTest::keyClick(&m_slider, Qt::Key_Right);
    QTest::keyClick(&m_slider, Qt::Key_End);
    EXPECT_EQ(m_slider.value(), 2000);
    EXPECT_EQ(spy.count(), 2);
}

TEST_F(TrackBarTest, WheelAtTheLimitStillNotifies)
{
    m_slider.setValue(2000);
    QSignalSpy spy(&m_slider, &TrackBar::changed);
    const QPointF centre(m_slider.width() / 2.0, m_slider.height() / 2.0);
    QWheelEvent wheel(centre, m_slider.mapToGlobal(centre), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&m_slider, &wheel);
    EXPECT_EQ(m_slider.value(), 2000);
    EXPECT_EQ(spy.count(), 1);
}

TEST_F(TrackBarTest, ClickOnTheGrooveNotifiesOnce)
{
    QSignalSpy spy(&m_slider, &TrackBar::changed);
    const int before = m_slider.value();
    QTest::mouseClick(&m_slider, Qt::LeftButton, {}, QPoint(m_slider.width() - 3, m_slider.height() / 2));
    EXPECT_GT(m_slider.value(), before);
    EXPECT_EQ(spy.count(), 1);
}

// --- UpDown ---

TEST(UpDownTest, ProgramPositionIsSixteenBitsUnclampedAndSilent)
{
    UpDown upDown;
    upDown.setMinimum(1);
    upDown.setMaximum(20000);
    QSignalSpy spy(&upDown, &UpDown::clicked);
    upDown.setPosition(30000);
    EXPECT_EQ(upDown.position(), 30000);
    upDown.setPosition(40000);
    EXPECT_EQ(upDown.position(), 40000 - 65536);
    upDown.setPosition(70000);
    EXPECT_EQ(upDown.position(), 70000 - 65536);
    upDown.setPosition(0);
    EXPECT_EQ(upDown.position(), 0);
    EXPECT_EQ(spy.count(), 0);
}

TEST(UpDownTest, ArrowClicksStepWithinTheRangeAndAlwaysReport)
{
    UpDown upDown;
    upDown.setMinimum(1);
    upDown.setMaximum(20000);
    upDown.resize(16, 23);
    QSignalSpy spy(&upDown, &UpDown::clicked);
    upDown.setPosition(19999);
    QTest::mouseClick(upDown.upButton(), Qt::LeftButton);
    EXPECT_EQ(upDown.position(), 20000);
    QTest::mouseClick(upDown.upButton(), Qt::LeftButton);
    EXPECT_EQ(upDown.position(), 20000);
    upDown.setPosition(1);
    QTest::mouseClick(upDown.downButton(), Qt::LeftButton);
    EXPECT_EQ(upDown.position(), 1);
    ASSERT_EQ(spy.count(), 3);
    EXPECT_EQ(spy.at(0).at(0).value<UpDown::Button>(), UpDown::Button::Up);
    EXPECT_EQ(spy.at(2).at(0).value<UpDown::Button>(), UpDown::Button::Down);
}

// --- The panel's handlers ---

using PanelControlsTest = PanelTest;

TEST_F(PanelControlsTest, FrequencyAssignmentClampsAndRewritesOnlyOnChange)
{
    m_panel->setFrequencyPosition(Channel::Left, 5000);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Left), 2000);
    EXPECT_EQ(m_panel->frequencyText(Channel::Left), QStringLiteral("2000"));
    EXPECT_EQ(ui().LFEUpDown->position(), 2000);
    EXPECT_EQ(channelBytes(*m_engine, Channel::Left), expectedChannel(2000, 64, 0.0f, Channel::Left));
    EXPECT_EQ(channelBytes(*m_engine, Channel::Right), expectedChannel(500, 64, 0.0f, Channel::Right));

    m_panel->setFrequencyText(Channel::Left, QStringLiteral("typed"));
    poison(Channel::Left);
    m_panel->setFrequencyPosition(Channel::Left, 2000);
    EXPECT_EQ(m_panel->frequencyText(Channel::Left), QStringLiteral("typed"));
    EXPECT_EQ(firstByte(Channel::Left), 0) << "an unchanged position must rewrite nothing";

    m_panel->setFrequencyPosition(Channel::Right, 0);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 50);
    m_panel->setFrequencyPosition(Channel::Right, -40);
    EXPECT_EQ(m_panel->frequencyText(Channel::Right), QStringLiteral("50"));
    EXPECT_EQ(ui().RFEUpDown->position(), 50);
    EXPECT_EQ(channelBytes(*m_engine, Channel::Right), expectedChannel(50, 64, 0.0f, Channel::Right));
}

TEST_F(PanelControlsTest, SettingAnEditTextRunsNoHandler)
{
    m_panel->setFrequencyText(Channel::Right, QStringLiteral("1234"));
    EXPECT_EQ(m_panel->frequencyText(Channel::Right), QStringLiteral("1234"));
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 500);
}

struct EnterCase {
    const char* name;
    int startHz;
    const char* typed;
    int sliderHz;
    const char* editAfter;
};

class FrequencyEnterTest : public PanelTest, public ::testing::WithParamInterface<EnterCase> {};

TEST_P(FrequencyEnterTest, EnterAppliesTheStrictlyConvertedNumber)
{
    const EnterCase& c = GetParam();
    for (const Channel channel : {Channel::Left, Channel::Right}) {
        QLineEdit* edit = channel == Channel::Left ? ui().LFreqEdit : ui().RFreqEdit;
        m_panel->setFrequencyPosition(channel, c.startHz);
        edit->clear();
        QTest::keyClicks(edit, QString::fromLatin1(c.typed));
        EXPECT_EQ(m_panel->frequencyPosition(channel), c.startHz) << "typing alone applies nothing";
        QTest::keyClick(edit, Qt::Key_Return);
        EXPECT_EQ(m_panel->frequencyPosition(channel), c.sliderHz);
        EXPECT_EQ(edit->text(), QString::fromLatin1(c.editAfter));
        EXPECT_EQ(channelBytes(*m_engine, channel), expectedChannel(c.sliderHz, 64, 0.0f, channel));
    }
    EXPECT_TRUE(m_box.informed.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FrequencyEnterTest,
    ::testing::Values(EnterCase{"FractionTruncates", 500, "612.9", 612, "612"},
                      EnterCase{"NegativeClampsToMinimum", 500, "-7", 50, "50"},
                      EnterCase{"TextResetsToSlider", 500, "abc", 500, "500"},
                      EnterCase{"EmptyResetsToSlider", 700, "", 700, "700"},
                      EnterCase{"BeyondMaximumKeepsTypedTextAtLimit", 2000, "2500", 2000, "2500"},
                      EnterCase{"BeyondMaximumMovesToLimit", 500, "2500", 2000, "2000"},
                      EnterCase{"BlanksAndExponent", 500, " 1.2e3 ", 1200, "1200"},
                      EnterCase{"BeyondThirtyTwoBitsClamps", 500, "99999999999", 2000, "2000"},
                      EnterCase{"BeyondThirtyTwoBitsNegativeClamps", 500, "-1e300", 50, "50"}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(PanelControlsTest, OtherKeysInTheFrequencyEditApplyNothing)
{
    ui().LFreqEdit->clear();
    QTest::keyClicks(ui().LFreqEdit, QStringLiteral("700"));
    QTest::keyClick(ui().LFreqEdit, Qt::Key_Tab);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Left), 500);
    QTest::keyClick(ui().LFreqEdit, Qt::Key_Enter);  // the keypad's Enter is Enter too
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Left), 700);
}

TEST_F(PanelControlsTest, PhaseSliderShowsHalfTheRadiansAndFillsWithTheFullPhase)
{
    ui().LPhaseTrackBar->setValue(1000);
    EXPECT_EQ(ui().LPhaseEdit->text(), QStringLiteral("3.141593"));
    EXPECT_EQ(channelBytes(*m_engine, Channel::Left), expectedChannel(500, 64, 6.283185f, Channel::Left));

    ui().LPhaseTrackBar->setValue(500);
    EXPECT_EQ(ui().LPhaseEdit->text(), QStringLiteral("1.5707965"));
    // The cosine's trough: 127 - 63 with amplitude 63 would be 64; with the
    // initial amplitude 64 it is 63.
    EXPECT_EQ(firstByte(Channel::Left), 63);

    ui().RPhaseTrackBar->setValue(1);
    EXPECT_EQ(ui().RPhaseEdit->text(), QStringLiteral("0.003141593"));
    EXPECT_EQ(channelBytes(*m_engine, Channel::Right), expectedChannel(500, 64, phaseForPosition(1), Channel::Right));
    ui().RPhaseTrackBar->setValue(0);
    EXPECT_EQ(ui().RPhaseEdit->text(), QStringLiteral("0"));
    EXPECT_EQ(ui().LPhaseEdit->text(), QStringLiteral("1.5707965"));
}

TEST_F(PanelControlsTest, TroughOfHalfPhaseTruncatesToSixtyFour)
{
    ui().LAmplitudeTrackBar->setValue(64);  // amplitude 63
    ui().LPhaseTrackBar->setValue(500);
    EXPECT_EQ(firstByte(Channel::Left), 64);
}

TEST_F(PanelControlsTest, AmplitudeIsOneHundredTwentySevenMinusPosition)
{
    ui().LAmplitudeTrackBar->setValue(1);
    EXPECT_EQ(channelBytes(*m_engine, Channel::Left), expectedChannel(500, 126, 0.0f, Channel::Left));
    EXPECT_EQ(firstByte(Channel::Left), 253);
    ui().RAmplitudeTrackBar->setValue(126);
    for (const std::uint8_t b : channelBytes(*m_engine, Channel::Right))
        ASSERT_TRUE(b >= 126 && b <= 128) << int(b);
    EXPECT_EQ(channelBytes(*m_engine, Channel::Left), expectedChannel(500, 126, 0.0f, Channel::Left));
}

TEST_F(PanelControlsTest, UpDownArrowsMoveTheSliderWhichClampsIt)
{
    QTest::mouseClick(ui().LFEUpDown->upButton(), Qt::LeftButton);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Left), 501);
    EXPECT_EQ(ui().LFreqEdit->text(), QStringLiteral("501"));
    EXPECT_EQ(channelBytes(*m_engine, Channel::Left), expectedChannel(501, 64, 0.0f, Channel::Left));

    QTest::mouseClick(ui().RFEUpDown->downButton(), Qt::LeftButton);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 499);

    m_panel->setFrequencyPosition(Channel::Left, 2000);
    poison(Channel::Left);
    QTest::mouseClick(ui().LFEUpDown->upButton(), Qt::LeftButton);
    EXPECT_EQ(ui().LFEUpDown->position(), 2001);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Left), 2000);
    EXPECT_EQ(firstByte(Channel::Left), 0) << "the slider did not move, so nothing is rewritten";
}

TEST_F(PanelControlsTest, UpDownPositionIsReadAsSignedSixteenBits)
{
    ui().RFEUpDown->setPosition(40000);  // stored as -25536
    m_panel->RFEUpDownClick();
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 50);
}

TEST_F(PanelControlsTest, UserKeyOnASliderAtItsLimitStillRewritesTheChannel)
{
    m_panel->setFrequencyPosition(Channel::Right, 2000);
    poison(Channel::Right);
    m_panel->setFrequencyText(Channel::Right, QStringLiteral("x"));
    QTest::keyClick(ui().RFreqTrackBar, Qt::Key_Right);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Right), 2000);
    EXPECT_EQ(m_panel->frequencyText(Channel::Right), QStringLiteral("2000"));
    EXPECT_NE(firstByte(Channel::Right), 0);
}

TEST_F(PanelControlsTest, DurationSliderWritesSecondsAndMinutes)
{
    ui().TrackBar1->setValue(100000);
    EXPECT_EQ(ui().Label7->text(), QStringLiteral("100 Seconds - 1Minutes"));
    ui().TrackBar1->setValue(1234567);
    EXPECT_EQ(ui().Label7->text(), QStringLiteral("1234 Seconds - 20Minutes"));
}

TEST_F(PanelControlsTest, ChangeButtonDrawsBothAmplitudesFromTheSharedSource)
{
    sharedRandom().seed(12345);
    RandomSource mirror;
    mirror.seed(12345);
    const int left = mirror.draw() % 75 + 51;
    const int right = mirror.draw() % 75 + 51;
    QTest::mouseClick(ui().Button1, Qt::LeftButton);
    EXPECT_EQ(ui().LAmplitudeTrackBar->value(), left);
    EXPECT_EQ(ui().RAmplitudeTrackBar->value(), right);
    EXPECT_EQ(channelBytes(*m_engine, Channel::Left), expectedChannel(500, 127 - left, 0.0f, Channel::Left));
    EXPECT_EQ(channelBytes(*m_engine, Channel::Right), expectedChannel(500, 127 - right, 0.0f, Channel::Right));
    EXPECT_EQ(sharedRandom().state(), mirror.state());

    for (int i = 0; i < 300; ++i) {
        m_panel->Button1Click();
        ASSERT_GE(ui().LAmplitudeTrackBar->value(), 51);
        ASSERT_LE(ui().LAmplitudeTrackBar->value(), 125);
        ASSERT_GE(ui().RAmplitudeTrackBar->value(), 51);
        ASSERT_LE(ui().RAmplitudeTrackBar->value(), 125);
    }
}

TEST_F(PanelControlsTest, StartButtonTogglesTheCaptionAndClearsEdit1)
{
    ui().Edit1->setText(QStringLiteral("note"));
    QTest::mouseClick(ui().StartButton, Qt::LeftButton);
    EXPECT_EQ(m_panel->startCaption(), QStringLiteral("Stop"));
    EXPECT_TRUE(ui().Edit1->text().isEmpty());
    EXPECT_TRUE(m_device->isPlaying());

    ui().Edit1->setText(QStringLiteral("again"));
    m_panel->ToggleStartStop();
    EXPECT_EQ(m_panel->startCaption(), QStringLiteral("Start"));
    EXPECT_TRUE(ui().Edit1->text().isEmpty());
    EXPECT_FALSE(m_device->isPlaying());
    EXPECT_EQ(m_panel->lastStatus(), QStringLiteral("0"));
    EXPECT_TRUE(m_box.informed.isEmpty());
}

TEST_F(PanelControlsTest, DeviceFailuresShowTheirTextAndKeepTheCaption)
{
    using quavira::testing::WaveOutCall;
    m_device->setResult(WaveOutCall::Write, quavira::kMmSysError);
    m_panel->ToggleStartStop();
    EXPECT_EQ(m_panel->startCaption(), QStringLiteral("Start"));
    EXPECT_EQ(m_panel->lastStatus(), QStringLiteral("Can't write!"));

    m_device->setResult(WaveOutCall::Write, quavira::kMmSysNoError);
    m_panel->ToggleStartStop();
    ASSERT_EQ(m_panel->startCaption(), QStringLiteral("Stop"));

    m_device->setResult(WaveOutCall::Reset, quavira::kMmSysError);
    m_panel->ToggleStartStop();
    EXPECT_EQ(m_panel->startCaption(), QStringLiteral("Stop"));
    m_device->setResult(WaveOutCall::Reset, quavira::kMmSysNoError);
    m_panel->ToggleStartStop();
    EXPECT_EQ(m_panel->startCaption(), QStringLiteral("Start"));

    EXPECT_EQ(m_box.informed, (QStringList{"Can't write!", "Can't stop, won't stop!"}));
}

TEST_F(PanelControlsTest, AnyCaptionOtherThanStartMeansStop)
{
    ui().StartButton->setText(QStringLiteral("start"));
    m_panel->ToggleStartStop();
    EXPECT_EQ(m_panel->startCaption(), QStringLiteral("Start"));
    EXPECT_FALSE(m_device->isPlaying());
}

TEST_F(PanelControlsTest, ShowButtonShowsTheFrontWindow)
{
    QWidget front;
    m_panel->setFrontWindow(&front);
    QTest::mouseClick(ui().Button2, Qt::LeftButton);
    EXPECT_TRUE(front.isVisible());
}

}  // namespace
