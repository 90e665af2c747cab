// SPDX-License-Identifier: GPL-3.0-or-later
// The application shell: exception display, creation order, command line, shutdown.
#include "fake_wave_out.h"
#include "quavira_application.h"
#include "recording_messages.h"
#include "startup.h"

#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using quavira::testing::FakeWaveOut;
using quavira::testing::WaveOutCall;

struct DisplayCase {
    const char* message;
    const char* shown;
};

class ExceptionDisplayText : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(ExceptionDisplayText, AppendsAFullStopOnlyAfterCharactersSortingAfterIt)
{
    EXPECT_EQ(exceptionDisplayText(QString::fromUtf8(GetParam().message)), QString::fromUtf8(GetParam().shown));
}

INSTANTIATE_TEST_SUITE_P(Messages, ExceptionDisplayText,
                         ::testing::Values(DisplayCase{"Out of memory", "Out of memory."},
                                           DisplayCase{"List index out of bounds (-1)", "List index out of bounds (-1)"},
                                           DisplayCase{"", ""}, DisplayCase{"Error 5", "Error 5."},
                                           DisplayCase{"Stop!", "Stop!"}, DisplayCase{"a/", "a/."},
                                           DisplayCase{"done.", "done."}, DisplayCase{"caf\xC3\xA9", "caf\xC3\xA9."}),
                         [](const auto& param) { return "Case" + std::to_string(param.index); });

int g_argc = 1;
char g_arg0[] = "quavira";
char* g_argv[] = {g_arg0, nullptr};

class Thrower : public QObject {
public:
    const char* message = "boom";
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::User)
            throw std::runtime_error(message);
        if (e->type() == QEvent::User + 1)
            throw SilentAbort();
        return QObject::event(e);
    }
};

TEST(QuaviraApplication, ShowsAnExceptionFromAHandlerAndGoesOn)
{
    RecordingMessages messages;
    QuaviraApplication app(g_argc, g_argv, messages);
    EXPECT_EQ(QApplication::applicationName(), "Quavira 2025");
    EXPECT_EQ(QApplication::applicationVersion(), "1.1.0.1");
    EXPECT_TRUE(QApplication::applicationDisplayName() == QApplication::applicationName());

    Thrower thrower;
    QEvent user(QEvent::User);
    QApplication::sendEvent(&thrower, &user);
    EXPECT_EQ(messages.errors, QStringList{"boom."});

    QEvent quiet(static_cast<QEvent::Type>(QEvent::User + 1));
    QApplication::sendEvent(&thrower, &quiet);
    EXPECT_EQ(messages.errors.size(), 1) << "a silent abort shows nothing";

    // The loop keeps running after an exception in a posted event.
    QApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QTimer::singleShot(50, &app, &QApplication::quit);
    EXPECT_EQ(app.exec(), 0);
    EXPECT_EQ(messages.errors, (QStringList{"boom.", "boom."}));
}

QWidget* topLevel(const char* name)
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(name))
            return w;
    return nullptr;
}

TEST(Startup, CreatesTheFrontWindowFirstAndShowsOnlyItCentredWhateverTheCommandLine)
{
    RecordingMessages messages;
    auto device = std::make_unique<FakeWaveOut>();
    FakeWaveOut* fake = device.get();
    bool checked = false;
    QTimer::singleShot(0, [&] {
        QWidget* front = topLevel("Form1");
        QWidget* panel = topLevel("MForm");
        ASSERT_TRUE(front && panel);
        EXPECT_TRUE(front->isVisible());
        EXPECT_FALSE(panel->isVisible());
        EXPECT_EQ(front->windowTitle(), "Quavira - Free Binaural Beats Generator");
        EXPECT_EQ(front->size(), QSize(737, 486));
        const QPoint offCentre = front->frameGeometry().center() - front->screen()->availableGeometry().center();
        EXPECT_LE(offCentre.manhattanLength(), 2);
        // Qt's own options were not passed on.
        EXPECT_EQ(QApplication::arguments(), QStringList{"quavira"});
        EXPECT_EQ(front->layoutDirection(), Qt::LeftToRight);
        EXPECT_TRUE(fake->isOpen());
        checked = true;
        front->close();
    });
    char arg0[] = "quavira", reverse[] = "-reverse", styleSheet[] = "-stylesheet", file[] = "/dev/null";
    char* argv[] = {arg0, reverse, styleSheet, file, nullptr};
    int argc = 4;
    EXPECT_EQ(runQuavira(argc, argv, std::move(device), messages), 0);
    EXPECT_TRUE(checked);
    EXPECT_TRUE(messages.shown.isEmpty()) << messages.shown.join(", ").toStdString();
}

TEST(Startup, PointerMovesAndKeysOverTheWindowTellTheDeviceThatChangesAreComing)
{
    RecordingMessages messages;
    auto device = std::make_unique<FakeWaveOut>();
    FakeWaveOut* fake = device.get();
    std::vector<std::size_t> counts;
    QTimer::singleShot(0, [&] {
        QWidget* front = topLevel("Form1");
        ASSERT_TRUE(front);
        counts.push_back(fake->expectations());
        QTest::mouseMove(front, QPoint(200, 300));  // over the background, where no widget tracks the mouse
        counts.push_back(fake->expectations());
        QTest::keyClick(front, Qt::Key_Shift);
        counts.push_back(fake->expectations());
        front->close();
    });
    EXPECT_EQ(runQuavira(g_argc, g_argv, std::move(device), messages), 0);
    ASSERT_EQ(counts.size(), 3u);
    EXPECT_GT(counts[1], counts[0]) << "pointer movement";
    EXPECT_GT(counts[2], counts[1]) << "a key";
}

TEST(Startup, AFailedOpenShowsBothStatusesBeforeTheFrontWindowAndStartupGoesOn)
{
    RecordingMessages messages;
    auto device = std::make_unique<FakeWaveOut>();
    device->setResult(WaveOutCall::Open, quavira::kMmSysBadDeviceId);
    bool shown = false;
    QTimer::singleShot(0, [&] {
        QWidget* front = topLevel("Form1");
        ASSERT_TRUE(front);
        shown = front->isVisible();
        front->close();
    });
    EXPECT_EQ(runQuavira(g_argc, g_argv, std::move(device), messages), 0);
    EXPECT_TRUE(shown);
    EXPECT_EQ(messages.shown, (QStringList{"Error003", "Unable to close!"}));
    // The panel's creation reported while the front window already existed,
    // before it was shown: the front window is created first.
    EXPECT_TRUE(messages.frontExistedAtFirstBox);
    EXPECT_FALSE(messages.frontVisibleAtFirstBox);
}

// The device calls, the windows' destruction and the device's release, in
// the order they happened, kept after the device is gone.
using Events = std::vector<std::string>;

// A fake device that notes each call in `events`, and its own release; it
// can also throw from Open, as a faulty back end would.
class WatchedWaveOut final : public quavira::WaveOut {
public:
    explicit WatchedWaveOut(Events& events, bool throwOnOpen = false) : m_events(events), m_throwOnOpen(throwOnOpen)
    {
    }
    ~WatchedWaveOut() override { m_events.push_back(m_fake.isPlaying() ? "released while playing" : "released"); }

    quavira::MmResult open(quavira::WaveOutHandle* handle, std::uint32_t deviceId,
                           const quavira::WaveFormatEx& format) override
    {
        m_events.push_back("Open");
        if (m_throwOnOpen)
            throw std::runtime_error("The sound system failed");
        return m_fake.open(handle, deviceId, format);
    }
    quavira::MmResult prepareHeader(quavira::WaveOutHandle handle, quavira::WaveHdr* header,
                                    std::uint32_t size) override
    {
        m_events.push_back("PrepareHeader");
        return m_fake.prepareHeader(handle, header, size);
    }
    quavira::MmResult write(quavira::WaveOutHandle handle, quavira::WaveHdr* header, std::uint32_t size) override
    {
        m_events.push_back("Write");
        return m_fake.write(handle, header, size);
    }
    quavira::MmResult reset(quavira::WaveOutHandle handle) override
    {
        m_events.push_back("Reset");
        return m_fake.reset(handle);
    }
    quavira::MmResult close(quavira::WaveOutHandle handle) override
    {
        m_events.push_back("Close");
        return m_fake.close(handle);
    }
    void loopChanged(quavira::WaveOutHandle handle) override { m_fake.loopChanged(handle); }

private:
    Events& m_events;
    bool m_throwOnOpen;
    FakeWaveOut m_fake;
};

TEST(Startup, AnExceptionFromThePanelsCreationIsShownAndStartupGoesOn)
{
    RecordingMessages messages;
    Events events;
    bool shown = false;
    QTimer::singleShot(0, [&] {
        QWidget* front = topLevel("Form1");
        ASSERT_TRUE(front && topLevel("MForm"));
        shown = front->isVisible();
        front->close();
    });
    EXPECT_EQ(runQuavira(g_argc, g_argv, std::make_unique<WatchedWaveOut>(events, true), messages), 0);
    EXPECT_EQ(messages.errors, QStringList{"The sound system failed."});
    EXPECT_FALSE(messages.frontVisibleAtFirstBox);
    EXPECT_TRUE(shown);
}

TEST(Startup, ClosingWhilePlayingNeitherStopsNorClosesTheDeviceThatGoesOnlyAfterBothWindows)
{
    RecordingMessages messages;
    Events events;
    QTimer::singleShot(0, [&] {
        QWidget* front = topLevel("Form1");
        QWidget* panel = topLevel("MForm");
        ASSERT_TRUE(front && panel);
        QObject::connect(panel, &QObject::destroyed, [&] { events.push_back("panel destroyed"); });
        QObject::connect(front, &QObject::destroyed, [&] { events.push_back("front window destroyed"); });
        auto* start = front->findChild<QPushButton*>("bstart");
        ASSERT_TRUE(start);
        events.clear();
        QTest::mouseClick(start, Qt::LeftButton);
        front->close();
    });
    EXPECT_EQ(runQuavira(g_argc, g_argv, std::make_unique<WatchedWaveOut>(events), messages), 0);
    // Start resets and writes; after that the program calls the device no
    // more, up to the release of the device by the engine's own teardown.
    EXPECT_EQ(events, (Events{"Reset", "Write", "panel destroyed", "front window destroyed", "released while playing"}));
    EXPECT_TRUE(messages.shown.isEmpty());
}

}  // namespace
