// SPDX-License-Identifier: GPL-3.0-or-later
// The binaural builder driven as a user drives it: typing, the slider, the arrows, Enter, bstart.
#include "front_fixture.h"
#include "offset_slider_style.h"
#include "random_source.h"

#include <QStyle>

namespace fronttest {
namespace {

class Builder : public FrontWindow {
protected:
    void SetUp() override { start(); }
};

TEST_F(Builder, TypingTheBaseAppliesAfterEveryKeystroke)
{
    keyOffset(30);
    QLineEdit* edit = baseEdit();
    edit->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);

    struct Step {
        char key;
        int leftHz;
        const char* leftText;
        const char* rightText;
    };
    const Step steps[] = {{'4', 50, "4", "34"}, {'4', 50, "44", "74"}, {'0', 440, "440", "470"}};
    for (const Step& step : steps) {
        QTest::keyClick(edit, step.key);
        EXPECT_EQ(panelHz(Channel::Left), step.leftHz) << step.leftText;
        EXPECT_EQ(panelText(Channel::Left), QString::fromLatin1(step.leftText));
        EXPECT_EQ(panelText(Channel::Right), QString::fromLatin1(step.rightText));
    }
    EXPECT_EQ(panelHz(Channel::Right), 470);
}

TEST_F(Builder, BaseEditTakesAtMostFiveTypedCharacters)
{
    typeBase(QStringLiteral("1234567"));
    EXPECT_EQ(baseEdit()->text(), QStringLiteral("12345"));
    EXPECT_EQ(panelHz(Channel::Left), 2000);
    EXPECT_EQ(panelText(Channel::Left), QStringLiteral("12345"));
}

TEST_F(Builder, NonNumericBaseCountsAsItsLeadingInteger)
{
    keyOffset(10);
    typeBase(QStringLiteral("440Hz"));
    EXPECT_EQ(panelHz(Channel::Left), 440);
    EXPECT_EQ(panelText(Channel::Right), QStringLiteral("450"));
    typeBase(QStringLiteral("abc"));
    EXPECT_EQ(panelHz(Channel::Left), 50);
    EXPECT_EQ(panelHz(Channel::Right), 50);
    EXPECT_EQ(panelText(Channel::Left), QStringLiteral("0"));
    EXPECT_EQ(baseEdit()->text(), QStringLiteral("abc"));
}

TEST_F(Builder, EmptyBaseGivesLeftFiftyAndRightTheOffsetClampedToFifty)
{
    keyOffset(70);
    typeBase(QString());
    EXPECT_EQ(panelHz(Channel::Left), 50);
    EXPECT_EQ(panelHz(Channel::Right), 70);
    EXPECT_EQ(panelText(Channel::Left), QStringLiteral("0"));
    EXPECT_EQ(panelText(Channel::Right), QStringLiteral("70"));

    keyOffset(20);
    EXPECT_EQ(panelHz(Channel::Right), 50);
}

TEST_F(Builder, RightChannelClampsAtTwoThousandWhileThePanelEditShowsTheSum)
{
    typeBase(QStringLiteral("1990"));
    keyOffset(30);
    EXPECT_EQ(panelHz(Channel::Left), 1990);
    EXPECT_EQ(panelHz(Channel::Right), 2000);
    EXPECT_EQ(panelText(Channel::Right), QStringLiteral("2020"));
}

TEST_F(Builder, LowBaseClampsBothChannelsToFifty)
{
    typeBase(QStringLiteral("20"));
    keyOffset(30);
    EXPECT_EQ(panelHz(Channel::Left), 50);
    EXPECT_EQ(panelHz(Channel::Right), 50);
    EXPECT_EQ(panelText(Channel::Right), QStringLiteral("50"));
}

struct BandCase {
    int offsetHz;
    QRgb colour;
};

class BandBorders : public Builder, public ::testing::WithParamInterface<BandCase> {};

TEST_P(BandBorders, OffsetColoursWindowArrowsNumberAndHz)
{
    const BandCase band = GetParam();
    typeBase(QStringLiteral("400"));
    keyOffset(band.offsetHz);
    const QColor expected(band.colour);
    EXPECT_EQ(windowColour(), expected);
    for (const char* name : {"fup", "fdown", "offsetlabel", "hz"})
        EXPECT_EQ(textColour(name), expected) << name;
    EXPECT_EQ(control<QLabel>("offsetlabel")->text(), QString::number(band.offsetHz));
    EXPECT_EQ(panelHz(Channel::Right), 400 + band.offsetHz);
    // The band names and blocks keep their own colours.
    EXPECT_EQ(textColour("Label18"), QColor(0xFF8000));
}

INSTANTIATE_TEST_SUITE_P(Front, BandBorders,
                         ::testing::Values(BandCase{0, 0x00C6C6}, BandCase{1, 0xC0C0C0}, BandCase{4, 0xC0C0C0},
                                           BandCase{5, 0xFF00FF}, BandCase{8, 0xFF00FF}, BandCase{9, 0x00FFFF},
                                           BandCase{14, 0x00FFFF}, BandCase{15, 0x00FF00},
                                           BandCase{30, 0x00FF00}, BandCase{31, 0xFF8000},
                                           BandCase{100, 0xFF8000}),
                         [](const ::testing::TestParamInfo<BandCase>& param) {
                             return "Offset" + std::to_string(param.param.offsetHz);
                         });

TEST_F(Builder, OffsetZeroPlaysTheBaseInBothEars)
{
    typeBase(QStringLiteral("700"));
    keyOffset(0);
    EXPECT_EQ(panelHz(Channel::Left), 700);
    EXPECT_EQ(panelHz(Channel::Right), 700);
    EXPECT_EQ(control<QLabel>("offsetlabel")->text(), QStringLiteral("0"));
    EXPECT_EQ(windowColour(), QColor(0x00C6C6));
}

TEST_F(Builder, OffsetNumberGrowsLeftwardsFromAFixedRightEdge)
{
    QLabel* number = control<QLabel>("offsetlabel");
    keyOffset(7);
    const int rightEdge = number->geometry().right();
    const int narrow = number->width();
    keyOffset(100);
    EXPECT_EQ(number->geometry().right(), rightEdge);
    EXPECT_GT(number->width(), narrow);
    EXPECT_GE(number->width(), number->fontMetrics().horizontalAdvance(QStringLiteral("100")));
}

TEST_F(Builder, DraggingTheSliderAppliesEveryStep)
{
    typeBase(QStringLiteral("700"));
    keyOffset(30);
    QSlider* slider = offsetSlider();
    // The thumb of position v sits under the tick of v.
    const auto tickX = [](int hz) {
        return OffsetSliderStyle::kTravelLeft +
               QStyle::sliderPositionFromValue(0, 100, hz, OffsetSliderStyle::kTravelSpan);
    };
    const QPoint from(tickX(30), slider->height() / 2);
    QTest::mousePress(slider, Qt::LeftButton, {}, from);
    QTest::mouseMove(slider, QPoint(tickX(60), from.y()));
    EXPECT_EQ(slider->value(), 60);
    EXPECT_EQ(panelHz(Channel::Right), 760);
    QTest::mouseMove(slider, QPoint(slider->width() - 1, from.y()));
    QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(slider->width() - 1, from.y()));
    EXPECT_EQ(slider->value(), 100);
    EXPECT_EQ(panelHz(Channel::Right), 800);
    EXPECT_EQ(panelText(Channel::Right), QStringLiteral("800"));
    EXPECT_EQ(windowColour(), QColor(0xFF8000));
}

TEST_F(Builder, KeyAtTheSliderEndStillReappliesThePair)
{
    typeBase(QStringLiteral("700"));
    keyOffset(100);
    m_panel.setFrequencyText(Channel::Right, QStringLiteral("stale"));
    QTest::keyClick(offsetSlider(), Qt::Key_End);
    EXPECT_EQ(offsetSlider()->value(), 100);
    EXPECT_EQ(panelText(Channel::Right), QStringLiteral("800"));
}

TEST_F(Builder, PageKeysMoveTheOffsetByTwo)
{
    typeBase(QStringLiteral("700"));
    keyOffset(30);
    QTest::keyClick(offsetSlider(), Qt::Key_PageUp);
    EXPECT_EQ(offsetSlider()->value(), 32);
    EXPECT_EQ(panelHz(Channel::Right), 732);
}

TEST_F(Builder, UpArrowStepsToOneHundredThenDoesNothing)
{
    typeBase(QStringLiteral("700"));
    keyOffset(99);
    QWidget* up = control("fup");
    QTest::mousePress(up, Qt::LeftButton);
    EXPECT_EQ(up->font().pointSize(), 24);
    EXPECT_EQ(offsetSlider()->value(), 100);
    EXPECT_EQ(panelHz(Channel::Right), 800);
    QTest::mouseRelease(up, Qt::LeftButton);
    EXPECT_EQ(up->font().pointSize(), 22);

    m_panel.setFrequencyText(Channel::Right, QStringLiteral("untouched"));
    QTest::mousePress(up, Qt::LeftButton);
    EXPECT_EQ(up->font().pointSize(), 22);
    EXPECT_EQ(offsetSlider()->value(), 100);
    EXPECT_EQ(panelText(Channel::Right), QStringLiteral("untouched"));
    QTest::mouseRelease(up, Qt::LeftButton);
    EXPECT_EQ(windowColour(), QColor(0xFF8000));
}

TEST_F(Builder, DownArrowWithTheRightButtonStepsToZeroThenDoesNothing)
{
    typeBase(QStringLiteral("700"));
    keyOffset(1);
    QWidget* down = control("fdown");
    QTest::mousePress(down, Qt::RightButton);
    EXPECT_EQ(down->font().pointSize(), 24);
    EXPECT_EQ(offsetSlider()->value(), 0);
    EXPECT_EQ(panelHz(Channel::Right), 700);
    EXPECT_EQ(windowColour(), QColor(0x00C6C6));
    QTest::mouseRelease(down, Qt::RightButton);
    EXPECT_EQ(down->font().pointSize(), 22);

    QTest::mousePress(down, Qt::RightButton);
    EXPECT_EQ(down->font().pointSize(), 22);
    EXPECT_EQ(offsetSlider()->value(), 0);
    QTest::mouseRelease(down, Qt::RightButton);
}

TEST_F(Builder, EachArrowPressMovesExactlyOneEvenInADoubleClick)
{
    keyOffset(50);
    QWidget* up = control("fup");
    // Through the window, so the platform turns the second press into press + double click.
    QTest::mouseDClick(m_form.windowHandle(), Qt::LeftButton, {}, up->mapTo(&m_form, up->rect().center()));
    EXPECT_EQ(offsetSlider()->value(), 52);
    EXPECT_EQ(up->font().pointSize(), 22);
}

TEST_F(Builder, EnterInTheBaseEditPlaysAndStopsThePair)
{
    typeBase(QStringLiteral("300"));
    keyOffset(10);
    baseEdit()->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(baseEdit(), Qt::Key_Return);
    EXPECT_TRUE(m_device->isPlaying());
    EXPECT_EQ(control<QPushButton>("bstart")->text(), QStringLiteral("Stop"));
    EXPECT_EQ(control<QPushButton>("StartButton")->text(), QStringLiteral("Stop"));
    EXPECT_EQ(panelHz(Channel::Left), 300);
    EXPECT_EQ(panelHz(Channel::Right), 310);

    QTest::keyClick(offsetSlider(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(m_device->isPlaying());
    EXPECT_EQ(control<QPushButton>("bstart")->text(), QStringLiteral("Start"));
    EXPECT_EQ(control<QPushButton>("StartButton")->text(), QStringLiteral("Start"));
    EXPECT_TRUE(m_box.shown.isEmpty());
}

TEST_F(Builder, StartButtonAppliesThePairBeforeStopping)
{
    typeBase(QStringLiteral("300"));
    QPushButton* startButton = control<QPushButton>("bstart");
    QTest::mouseClick(startButton, Qt::LeftButton);
    ASSERT_TRUE(m_device->isPlaying());
    // Change the panel behind the builder's back; the stopping press applies the pair again.
    m_panel.setFrequencyPosition(Channel::Left, 1000);
    QTest::mouseClick(startButton, Qt::LeftButton);
    EXPECT_FALSE(m_device->isPlaying());
    EXPECT_EQ(panelHz(Channel::Left), 300);
    EXPECT_EQ(startButton->text(), QStringLiteral("Start"));
}

TEST_F(Builder, DeviceFailureLeavesBothCaptionsAsTheyWere)
{
    m_device->setResult(quavira::testing::WaveOutCall::Write, quavira::kMmSysError);
    QTest::mouseClick(control<QPushButton>("bstart"), Qt::LeftButton);
    EXPECT_FALSE(m_device->isPlaying());
    EXPECT_EQ(m_box.shown, QStringList{QStringLiteral("Can't write!")});
    EXPECT_EQ(control<QPushButton>("bstart")->text(), QStringLiteral("Start"));
    EXPECT_EQ(control<QPushButton>("StartButton")->text(), QStringLiteral("Start"));
}

TEST_F(Builder, RandomLinkReappliesThePairWhenItDrawsTheBaseAlreadyShown)
{
    Lcg random(0);
    random.state = sharedRandom().state();
    const QString sameBase = QString::number(random.draw() % 1850 + 150);
    typeBase(sameBase);
    m_panel.setFrequencyText(Channel::Left, QStringLiteral("stale"));
    m_panel.setFrequencyText(Channel::Right, QStringLiteral("stale"));

    QTest::mouseClick(control("Label22"), Qt::LeftButton);
    EXPECT_EQ(baseEdit()->text(), sameBase);
    EXPECT_EQ(panelText(Channel::Left), sameBase);
    EXPECT_EQ(panelText(Channel::Right), QString::number(sameBase.toInt() + offsetSlider()->value()));
}

TEST_F(Builder, RandomLinkDrawsANewBaseAndAppliesIt)
{
    Lcg random(static_cast<std::uint32_t>(kDefaultSeconds));
    for (int i = 0; i < 3; ++i)
        random.draw();
    const int expectedBase = random.draw() % 1850 + 150;
    const int offset = offsetSlider()->value();

    QTest::mouseClick(control("Label22"), Qt::LeftButton);
    EXPECT_EQ(baseEdit()->text(), QString::number(expectedBase));
    EXPECT_EQ(panelHz(Channel::Left), expectedBase);
    EXPECT_EQ(panelText(Channel::Right), QString::number(expectedBase + offset));
}

}  // namespace
}  // namespace fronttest
