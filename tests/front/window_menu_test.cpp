// SPDX-License-Identifier: GPL-3.0-or-later
// The window's menu and its sleep timer, acted on as a user would: the menu
// opened with the right button where nothing else takes it and with the
// keyboard anywhere, a choice of minutes, Start and Stop, and a suspend.
#include "front_fixture.h"
#include "sleep_timer.h"
#include "wake_clock.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>

#include <optional>

namespace fronttest {
namespace {

using namespace std::chrono_literals;

class WindowMenu : public FrontWindow {
protected:
    QMenu* menu() const { return m_form.contextMenu(); }
    QPushButton* startButton() const { return control<QPushButton>("bstart"); }
    // A submenu of the menu, by its title as shown.
    QMenu* submenu(const QString& title) const
    {
        for (QAction* action : menu()->actions())
            if (action->menu() && action->text() == title)
                return action->menu();
        ADD_FAILURE() << "no submenu " << title.toStdString();
        return nullptr;
    }
    // An entry of a submenu, by its text as shown (both menus have an Off).
    QAction* entry(const QString& text, const QString& within = QStringLiteral("Stop &after")) const
    {
        for (QAction* action : submenu(within)->actions())
            if (action->text() == text)
                return action;
        ADD_FAILURE() << "no entry " << text.toStdString();
        return nullptr;
    }
    // The checked entries of a submenu, in its order.
    QStringList checked(const QString& within) const
    {
        QStringList texts;
        for (const QAction* action : submenu(within)->actions())
            if (action->isChecked())
                texts << action->text();
        return texts;
    }
    void closeMenu()
    {
        QTest::keyClick(menu(), Qt::Key_Escape);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !menu()->isVisible(); }));
        m_form.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&m_form));
    }
    // What the platform sends the widget under the pointer on a right
    // click, or the focus on the keyboard's menu key.
    void askForMenu(QWidget* widget, QContextMenuEvent::Reason reason)
    {
        const QPoint at(2, 2);
        QContextMenuEvent event(reason, at, widget->mapToGlobal(at));
        QApplication::sendEvent(widget, &event);
    }
    bool menuShows() { return QTest::qWaitFor([&] { return menu()->isVisible(); }, 1000); }
};

// Time since boot moved by hand, as a suspend moves it while the steady
// clock stands still; it counts the wake-ups set on it.
class HandClock final : public WakeClock {
public:
    std::chrono::nanoseconds now() const override { return m_now; }
    void wakeAt(std::chrono::nanoseconds when) override
    {
        m_due = when;
        ++wakeUpsSet;
    }
    void cancel() override { m_due.reset(); }
    void advance(std::chrono::nanoseconds by)
    {
        m_now += by;
        while (m_due && *m_due <= m_now) {
            m_due.reset();
            emit woke();
        }
    }
    int wakeUpsSet = 0;

private:
    std::chrono::nanoseconds m_now{3h};
    std::optional<std::chrono::nanoseconds> m_due;
};

// "30 minutes" at their true length; the machine sleeps at minute 10.
class SleepTimerSuspend : public WindowMenu {
protected:
    void SetUp() override
    {
        m_form.sleepTimer().setClock(m_clock);
        start();
        entry("&30 minutes")->trigger();
        QTest::mouseClick(startButton(), Qt::LeftButton);
        m_clock->advance(10min);
        ASSERT_EQ(minutesLeftText(), "20 minutes left");
    }
    // The first line of Stop after as the user opens it, empty if hidden.
    QString minutesLeftText()
    {
        QMenu* stopAfter = submenu("Stop &after");
        stopAfter->popup(m_form.mapToGlobal(QPoint()));
        const QAction* first = stopAfter->actions().value(0);
        stopAfter->hide();
        return first->isVisible() ? first->text() : QString();
    }
    HandClock* m_clock = new HandClock;  // the timer's
};

TEST_F(SleepTimerSuspend, WokenPastTheEndTheToneStopsAtOnce)
{
    m_clock->advance(8h);
    ASSERT_TRUE(QTest::qWaitFor([&] { return startButton()->text() == "Start"; }, 1000));
    EXPECT_FALSE(m_device->isPlaying());
    EXPECT_TRUE(m_device->levels().empty()) << "a fade after the end";
    EXPECT_EQ(minutesLeftText(), QString());
    EXPECT_EQ(m_clock->wakeUpsSet, 1);
}

TEST_F(SleepTimerSuspend, WokenInsideTheLastMinuteTheFadeBeginsAtOnceOverWhatIsLeft)
{
    m_clock->advance(19min + 30s);
    using Level = std::pair<double, std::uint64_t>;
    EXPECT_EQ(m_device->levels(), std::vector<Level>{Level(1.0, 30 * 44100)}) << "not 30 s of fade";
    EXPECT_EQ(minutesLeftText(), "1 minute left");
    m_clock->advance(30s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return startButton()->text() == "Start"; }, 1000));
    EXPECT_EQ(m_clock->wakeUpsSet, 2) << "two wake-ups in all";
}

// The real clock wakes once for a time to come, at once for a time gone, and
// not for a wake-up called off.
TEST(BootClockTest, WakesOnceForEachTimeSetAndNotWhenCancelled)
{
    BootClock clock;
    int woke = 0;
    QObject::connect(&clock, &WakeClock::woke, [&] { ++woke; });
    const auto setAt = clock.now();
    clock.wakeAt(setAt + 20ms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return woke == 1; }, 5000));
    EXPECT_GE(clock.now() - setAt, 20ms);
    clock.wakeAt(clock.now() - 1s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return woke == 2; }, 5000));
    clock.wakeAt(clock.now() + 10ms);
    clock.cancel();
    QTest::qWait(100);
    EXPECT_EQ(woke, 2);
}

TEST_F(WindowMenu, OpensWithTheRightButtonWhereNothingTakesItAndWithTheKeyboardAnywhere)
{
    start();
    // The window's margin, outside every control; a label.
    for (QWidget* where : {static_cast<QWidget*>(&m_form), control("Label25")}) {
        askForMenu(where, QContextMenuEvent::Mouse);
        EXPECT_TRUE(menuShows()) << where->objectName().toStdString();
        closeMenu();
    }
    // The arrows step the offset with the right button as with the left.
    const int offset = offsetSlider()->value();
    QTest::mouseClick(control("fup"), Qt::RightButton);
    EXPECT_EQ(offsetSlider()->value(), std::min(offset + 1, 100));
    askForMenu(control("fup"), QContextMenuEvent::Mouse);
    EXPECT_FALSE(menuShows());

    // With the focus in the base edit, whose own menu the mouse still gets.
    baseEdit()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(baseEdit(), Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_TRUE(menuShows());
    closeMenu();
    askForMenu(baseEdit(), QContextMenuEvent::Keyboard);
    EXPECT_TRUE(menuShows());
    closeMenu();

    // Every entry can be reached by a key of its own.
    for (QMenu* list : {menu(), submenu("Stop &after"), submenu("&Noise")}) {
        QStringList keys;
        for (QAction* action : list->actions())
            if (!action->isSeparator() && action->isVisible())
                keys << QKeySequence::mnemonic(action->text()).toString();
        EXPECT_EQ(keys.removeDuplicates(), 0) << keys.join(' ').toStdString();
        EXPECT_FALSE(keys.contains(QString())) << keys.join(' ').toStdString();
    }
}

TEST_F(WindowMenu, StopAfterCountsFromStartFadesOverTheLastMinuteAndStopsAsStopDoes)
{
    start();
    // A minute of the choices lasts 100 ms here, the fade 300 ms.
    m_form.sleepTimer().setTiming(100ms, 300ms);
    EXPECT_TRUE(entry("&Off")->isChecked()) << "the timer is off at every launch";
    entry("1&5 minutes")->trigger();
    EXPECT_FALSE(m_form.sleepTimer().minutesLeft()) << "counting before the start";

    QTest::mouseClick(startButton(), Qt::LeftButton);
    ASSERT_EQ(startButton()->text(), "Stop");
    EXPECT_EQ(m_form.sleepTimer().minutesLeft(), 15);
    ASSERT_TRUE(QTest::qWaitFor([&] { return startButton()->text() == "Start"; }, 5000)) << "the tone never stopped";
    EXPECT_EQ(control<QPushButton>("StartButton")->text(), "Start");
    EXPECT_TRUE(m_box.shown.isEmpty());
    // One fade to silence, as long as the fade, before the stop.
    const auto levels = m_device->levels();
    ASSERT_EQ(levels.size(), 1u);
    EXPECT_EQ(levels[0].first, 1.0);
    EXPECT_NEAR(static_cast<double>(levels[0].second), 0.3 * 44100, 0.05 * 44100);
    EXPECT_FALSE(m_device->isPlaying());
    EXPECT_TRUE(entry("1&5 minutes")->isChecked()) << "the choice is kept for the next start";
}

TEST_F(WindowMenu, StopEndsTheCountdownAndTheNextStartCountsAgainWhileChangesLeaveItAlone)
{
    start();
    m_form.sleepTimer().setTiming(100ms, 300ms);
    entry("1&5 minutes")->trigger();
    QTest::mouseClick(startButton(), Qt::LeftButton);
    QTest::qWait(400);
    typeBase("432");  // a change of the tone leaves the count alone
    EXPECT_LT(*m_form.sleepTimer().minutesLeft(), 15);
    QTest::mouseClick(startButton(), Qt::LeftButton);
    ASSERT_EQ(startButton()->text(), "Start");
    EXPECT_FALSE(m_form.sleepTimer().minutesLeft());
    QTest::qWait(1700);  // past the first count's end
    EXPECT_TRUE(m_device->levels().empty()) << "a stopped countdown faded the output";

    QTest::mouseClick(startButton(), Qt::LeftButton);
    EXPECT_EQ(m_form.sleepTimer().minutesLeft(), 15);
    // Off while it counts: nothing stops the tone.
    entry("&Off")->trigger();
    QTest::qWait(1700);
    EXPECT_EQ(startButton()->text(), "Stop");
    EXPECT_TRUE(m_device->levels().empty());
}

// Noise is chosen with the keyboard alone; a level picked while the noise
// plays changes it at once, and Off keeps the level for the next colour.
TEST_F(WindowMenu, NoiseTakesAColourAndALevelFromTheKeysAndOffEndsIt)
{
    using quavira::NoiseColour;
    using Noise = quavira::testing::FakeWaveOut::NoiseCall;
    start();
    EXPECT_EQ(checked("&Noise"), (QStringList{"&Off", "&Medium, -28 dB"})) << "off at every launch";
    const auto choose = [&](Qt::Key key) {
        m_form.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&m_form));
        baseEdit()->setFocus(Qt::TabFocusReason);
        QTest::keyClick(baseEdit(), Qt::Key_F10, Qt::ShiftModifier);
        ASSERT_TRUE(menuShows());
        QTest::keyClick(menu(), Qt::Key_N);
        QMenu* noise = submenu("&Noise");
        ASSERT_TRUE(QTest::qWaitFor([&] { return noise->isVisible(); })) << "N opens no Noise";
        QTest::keyClick(noise, key);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !menu()->isVisible() && !noise->isVisible(); }));
    };

    choose(Qt::Key_P);
    choose(Qt::Key_L);
    EXPECT_EQ(checked("&Noise"), (QStringList{"&Pink", "&Loud, -22 dB"}));
    choose(Qt::Key_O);
    EXPECT_EQ(checked("&Noise"), (QStringList{"&Off", "&Loud, -22 dB"}));
    choose(Qt::Key_V);  // off: the level waits for a colour, unheard
    // The first the device opened with: none.
    EXPECT_EQ(m_device->noises(), (std::vector<Noise>{{std::nullopt, -28.0},
                                                       {NoiseColour::Pink, -28.0},
                                                       {NoiseColour::Pink, -22.0},
                                                       {std::nullopt, -22.0},
                                                       {std::nullopt, -16.0}}));
    EXPECT_EQ(checked("Stop &after"), QStringList{"&Off"}) << "the sleep timer's Off was taken";
    EXPECT_TRUE(m_box.shown.isEmpty());
}

}  // namespace
}  // namespace fronttest
