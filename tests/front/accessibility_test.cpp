// SPDX-License-Identifier: GPL-3.0-or-later
// The front window to assistive technology: the band in words, its announcements, the arrows and links as controls.
#include "announcer.h"
#include "front_fixture.h"

#include <QAccessible>
#include <QAccessibleActionInterface>

#include <string>

namespace fronttest {
namespace {

// What the window announced since the last call: the announcer's line,
// which each announcement sets (the AT-SPI test hears the event itself).
class Accessibility : public FrontWindow {
protected:
    void SetUp() override { start(); }

    QStringList announced()
    {
        auto* announcer = control<Announcer>("announcer");
        QStringList lines;
        if (!announcer->line().isEmpty())
            lines << announcer->line();
        announcer->setAccessibleName(QString());
        return lines;
    }

    static QAccessibleInterface* accessible(QWidget* widget) { return QAccessible::queryAccessibleInterface(widget); }
};

struct StepCase {
    int fromHz;
    Qt::Key key;
    const char* window;     // the window's description after the step
    const char* slider;     // the slider's
    const char* announced;  // what is announced, or nothing within a band
};

class BandInWords : public Accessibility, public ::testing::WithParamInterface<StepCase> {};

TEST_P(BandInWords, KeyStepDescribesTheOffsetAndAnnouncesOnlyANewBand)
{
    const StepCase step = GetParam();
    offsetSlider()->setValue(step.fromHz);
    announced();
    offsetSlider()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(offsetSlider(), step.key);
    EXPECT_EQ(accessible(&m_form)->text(QAccessible::Description), QString::fromLatin1(step.window));
    EXPECT_EQ(accessible(offsetSlider())->text(QAccessible::Description), QString::fromLatin1(step.slider));
    const QStringList expected = step.announced ? QStringList{QString::fromLatin1(step.announced)} : QStringList{};
    EXPECT_EQ(announced(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Front, BandInWords,
    ::testing::Values(StepCase{0, Qt::Key_Right, "Delta, 1 Hz beat", "Delta band", "Delta, 1 Hz beat"},
                      StepCase{3, Qt::Key_Right, "Delta, 4 Hz beat", "Delta band", nullptr},
                      StepCase{4, Qt::Key_Right, "Theta, 5 Hz beat", "Theta band", "Theta, 5 Hz beat"},
                      StepCase{8, Qt::Key_Right, "Alpha, 9 Hz beat", "Alpha band", "Alpha, 9 Hz beat"},
                      StepCase{15, Qt::Key_Left, "Alpha, 14 Hz beat", "Alpha band", "Alpha, 14 Hz beat"},
                      StepCase{30, Qt::Key_Right, "Gamma, 31 Hz beat", "Gamma band", "Gamma, 31 Hz beat"},
                      StepCase{99, Qt::Key_Right, "Gamma, 100 Hz beat", "Gamma band", nullptr},
                      StepCase{1, Qt::Key_Left, "No beat", "No beat", "No beat"}),
    [](const ::testing::TestParamInfo<StepCase>& param) {
        return std::string(param.param.key == Qt::Key_Right ? "Up" : "Down") + "From" +
               std::to_string(param.param.fromHz);
    });

TEST_F(Accessibility, ArrowsAndTheRandomLinkActAsAButtonAndALinkWithoutTheMouse)
{
    // The start state is said with the window, not announced.
    EXPECT_EQ(announced(), QStringList{});

    offsetSlider()->setValue(14);
    announced();
    QAccessibleInterface* up = accessible(control("fup"));
    EXPECT_EQ(up->role(), QAccessible::Button);
    EXPECT_EQ(up->text(QAccessible::Name), QStringLiteral("Raise offset"));
    ASSERT_EQ(up->actionInterface()->actionNames(), QStringList{QAccessibleActionInterface::pressAction()});
    up->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(offsetSlider()->value(), 15);
    EXPECT_EQ(control("fup")->font().pointSize(), 22);  // pressed and released
    EXPECT_EQ(announced(), QStringList{QStringLiteral("Beta, 15 Hz beat")});

    QAccessibleInterface* down = accessible(control("fdown"));
    EXPECT_EQ(down->text(QAccessible::Name), QStringLiteral("Lower offset"));
    down->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(offsetSlider()->value(), 14);

    Lcg random(static_cast<std::uint32_t>(kDefaultSeconds));
    for (int i = 0; i < 3; ++i)  // preset, offset and base at the start
        random.draw();
    QAccessibleInterface* link = accessible(control("Label22"));
    EXPECT_EQ(link->role(), QAccessible::Link);
    EXPECT_EQ(link->text(QAccessible::Name), QStringLiteral("Random base"));
    link->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(baseEdit()->text(), QString::number(random.draw() % 1850 + 150));
    // A link without a name of its own reads as its text.
    EXPECT_EQ(accessible(control("Label3"))->text(QAccessible::Name), control<QLabel>("Label3")->text());
}

}  // namespace
}  // namespace fronttest
