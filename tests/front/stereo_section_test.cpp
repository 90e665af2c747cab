// SPDX-License-Identifier: GPL-3.0-or-later
// The unseen stereo section, reached with Tab and the keyboard as a user reaches it.
#include "front_fixture.h"

namespace fronttest {
namespace {

class StereoSection : public FrontWindow {
protected:
    void SetUp() override { start(); }

    void tabFrom(const char* name)
    {
        control(name)->setFocus(Qt::TabFocusReason);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QString focusName() const
    {
        const QWidget* focus = QApplication::focusWidget();
        return focus ? focus->objectName() : QString();
    }
};

TEST_F(StereoSection, TabRunsThroughBuilderThenStereoSectionAndBack)
{
    const QStringList expected{QStringLiteral("freqtrack"), QStringLiteral("bstart"), QStringLiteral("StartButton"),
                               QStringLiteral("LFreqEdit"), QStringLiteral("RFreqEdit"), QStringLiteral("ComboBox1"),
                               QStringLiteral("LBiEdit")};
    baseEdit()->setFocus(Qt::TabFocusReason);
    QStringList visited;
    for (int i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << focusName();
    }
    EXPECT_EQ(visited, expected);

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(focusName(), QStringLiteral("ComboBox1"));
}

TEST_F(StereoSection, SectionIsVisibleAndEnabledButOutsideTheClientArea)
{
    QWidget* section = control("Panel3");
    EXPECT_TRUE(section->isVisible());
    EXPECT_TRUE(section->isEnabled());
    EXPECT_FALSE(m_form.rect().intersects(section->geometry()));
    EXPECT_EQ(m_form.childAt(QPoint(730, 200)), nullptr);
}

TEST_F(StereoSection, TypingIntoTheLeftEditAfterTabSetsBothChannels)
{
    tabFrom("bstart");
    ASSERT_EQ(focusName(), QStringLiteral("StartButton"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(focusName(), QStringLiteral("LFreqEdit"));

    QLineEdit* left = control<QLineEdit>("LFreqEdit");
    QLineEdit* right = control<QLineEdit>("RFreqEdit");
    const int rightHz = right->text().toInt();
    QTest::keyClick(left, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(left, Qt::Key_2);
    EXPECT_EQ(panelHz(Channel::Left), 50);
    EXPECT_EQ(panelText(Channel::Left), QStringLiteral("2"));
    QTest::keyClicks(left, QStringLiteral("0.7"));
    EXPECT_EQ(panelHz(Channel::Left), 50);
    EXPECT_EQ(left->text(), QStringLiteral("20.7"));
    EXPECT_EQ(panelText(Channel::Left), QStringLiteral("20.7"));
    EXPECT_EQ(panelHz(Channel::Right), rightHz);

    QTest::keyClick(left, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(left, QStringLiteral("2500"));
    EXPECT_EQ(panelHz(Channel::Left), 2000);
    EXPECT_EQ(left->text(), QStringLiteral("2500"));
}

TEST_F(StereoSection, ReleasingAnyKeyInTheRightEditReappliesTheLeftToo)
{
    QLineEdit* left = control<QLineEdit>("LFreqEdit");
    QLineEdit* right = control<QLineEdit>("RFreqEdit");
    left->setFocus(Qt::TabFocusReason);
    QTest::keyClick(left, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(left, QStringLiteral("440.7"));
    m_panel.setFrequencyPosition(Channel::Left, 1000);

    QTest::keyClick(left, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), right);
    // The Tab's release landed in the right edit and applied both.
    EXPECT_EQ(panelHz(Channel::Left), 440);
    m_panel.setFrequencyPosition(Channel::Left, 1000);
    QTest::keyClick(right, Qt::Key_Shift);
    EXPECT_EQ(panelHz(Channel::Left), 440);
    EXPECT_EQ(panelText(Channel::Left), QStringLiteral("440.7"));
    EXPECT_EQ(panelHz(Channel::Right), right->text().toInt());
}

TEST_F(StereoSection, SpaceOnStartButtonPlaysTheTypedPairAndCopiesTheCaption)
{
    QLineEdit* left = control<QLineEdit>("LFreqEdit");
    QLineEdit* right = control<QLineEdit>("RFreqEdit");
    left->setText(QStringLiteral("300"));
    right->setText(QStringLiteral("310"));
    QPushButton* button = control<QPushButton>("StartButton");
    button->setFocus(Qt::TabFocusReason);
    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_TRUE(m_device->isPlaying());
    EXPECT_EQ(panelHz(Channel::Left), 300);
    EXPECT_EQ(panelHz(Channel::Right), 310);
    EXPECT_EQ(button->text(), QStringLiteral("Stop"));
    EXPECT_EQ(control<QPushButton>("bstart")->text(), QStringLiteral("Stop"));

    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_FALSE(m_device->isPlaying());
    EXPECT_EQ(button->text(), QStringLiteral("Start"));
    EXPECT_EQ(control<QPushButton>("bstart")->text(), QStringLiteral("Start"));
}

TEST_F(StereoSection, EnterOnAFocusedStartButtonClicksThatButtonNotBstart)
{
    typeBase(QStringLiteral("900"));
    QLineEdit* left = control<QLineEdit>("LFreqEdit");
    left->setText(QStringLiteral("300"));
    QPushButton* button = control<QPushButton>("StartButton");
    button->setFocus(Qt::TabFocusReason);
    QTest::keyClick(button, Qt::Key_Return);
    EXPECT_TRUE(m_device->isPlaying());
    EXPECT_EQ(panelHz(Channel::Left), 300);
}

TEST_F(StereoSection, EnterInTheLeftEditActivatesBstartThenItsReleaseAppliesTheEdits)
{
    typeBase(QStringLiteral("900"));
    QLineEdit* left = control<QLineEdit>("LFreqEdit");
    left->setFocus(Qt::TabFocusReason);
    QTest::keyClick(left, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(left, QStringLiteral("300"));
    QTest::keyPress(left, Qt::Key_Return);
    EXPECT_TRUE(m_device->isPlaying());
    EXPECT_EQ(panelHz(Channel::Left), 900);
    EXPECT_EQ(control<QPushButton>("bstart")->text(), QStringLiteral("Stop"));
    QTest::keyRelease(left, Qt::Key_Return);
    EXPECT_EQ(panelHz(Channel::Left), 300);
    EXPECT_TRUE(m_device->isPlaying());
}

TEST_F(StereoSection, PickingAPresetLeavesTheBuilderAndPlaybackAlone)
{
    typeBase(QStringLiteral("700"));
    keyOffset(12);
    QTest::mouseClick(control<QPushButton>("bstart"), Qt::LeftButton);
    ASSERT_TRUE(m_device->isPlaying());
    const QColor colourBefore = windowColour();

    QComboBox* presets = control<QComboBox>("ComboBox1");
    presets->setFocus(Qt::TabFocusReason);
    presets->setCurrentIndex(0);  // a program selection: applies nothing
    EXPECT_EQ(panelHz(Channel::Left), 700);
    QTest::keyClick(presets, Qt::Key_Down);
    ASSERT_EQ(presets->currentIndex(), 1);

    EXPECT_EQ(panelHz(Channel::Left), 174);
    EXPECT_EQ(panelHz(Channel::Right), 181);
    EXPECT_EQ(control<QLineEdit>("LFreqEdit")->text(), QStringLiteral("174"));
    EXPECT_EQ(control<QLineEdit>("RFreqEdit")->text(), QStringLiteral("181"));
    EXPECT_EQ(baseEdit()->text(), QStringLiteral("700"));
    EXPECT_EQ(offsetSlider()->value(), 12);
    EXPECT_EQ(windowColour(), colourBefore);
    EXPECT_TRUE(m_device->isPlaying());
    EXPECT_EQ(control<QPushButton>("bstart")->text(), QStringLiteral("Stop"));
    EXPECT_EQ(control<QListWidget>("ListBox1")->currentRow(), 1);
}

TEST_F(StereoSection, TypingABareNumberPicksThatSingleTone)
{
    QComboBox* presets = control<QComboBox>("ComboBox1");
    presets->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(presets, QStringLiteral("528"));
    EXPECT_EQ(presets->currentIndex(), 50);
    EXPECT_EQ(panelHz(Channel::Left), 528);
    EXPECT_EQ(panelHz(Channel::Right), 528);
    EXPECT_EQ(control<QLineEdit>("LFreqEdit")->text(), QStringLiteral("528"));
    EXPECT_EQ(control<QLineEdit>("RFreqEdit")->text(), QStringLiteral("528"));
}

TEST_F(StereoSection, TheEmptyPresetSetsBothChannelsToFifty)
{
    QComboBox* presets = control<QComboBox>("ComboBox1");
    presets->setFocus(Qt::TabFocusReason);
    presets->setCurrentIndex(43);
    QTest::keyClick(presets, Qt::Key_Down);
    ASSERT_EQ(presets->currentIndex(), 44);
    EXPECT_EQ(panelHz(Channel::Left), 50);
    EXPECT_EQ(panelHz(Channel::Right), 50);
    EXPECT_EQ(control<QLineEdit>("LFreqEdit")->text(), QStringLiteral("50"));
    EXPECT_EQ(control<QLineEdit>("RFreqEdit")->text(), QStringLiteral("50"));
}

TEST_F(StereoSection, RandomLeftAndRightEachLeaveTheOtherChannelAlone)
{
    QLineEdit* left = control<QLineEdit>("LFreqEdit");
    QLineEdit* right = control<QLineEdit>("RFreqEdit");
    const QString rightText = right->text();
    const int rightHz = panelHz(Channel::Right);
    m_form.Label9Click();
    const int leftHz = left->text().toInt();
    EXPECT_GE(leftHz, 150);
    EXPECT_LE(leftHz, 1999);
    EXPECT_EQ(panelHz(Channel::Left), leftHz);
    EXPECT_EQ(panelText(Channel::Left), left->text());
    EXPECT_EQ(right->text(), rightText);
    EXPECT_EQ(panelHz(Channel::Right), rightHz);

    m_form.Label10Click();
    EXPECT_EQ(panelHz(Channel::Right), right->text().toInt());
    EXPECT_EQ(panelText(Channel::Right), right->text());
    EXPECT_EQ(panelHz(Channel::Left), leftHz);
    EXPECT_EQ(left->text().toInt(), leftHz);
}

TEST_F(StereoSection, CreditTextsOpenTheMakersAddress)
{
    recordUrls();
    for (const char* name : {"Label3", "Label19", "Label21", "Label27"})
        QTest::mouseClick(control(name), Qt::LeftButton);
    QTest::mouseClick(control("Label20"), Qt::LeftButton);
    QTest::mouseClick(control("Label3"), Qt::RightButton);
    const QUrl maker(QStringLiteral("https://quavira.example/"));
    EXPECT_EQ(m_urls.opened, (QList<QUrl>{maker, maker, maker, maker}));
}

}  // namespace
}  // namespace fronttest
