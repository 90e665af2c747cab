// The application shell: exception display, creation order, shutdown.
#include "fake_wave_out.h"
#include "quavira_application.h"
#include "recording_messages.h"
#include "startup.h"

#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <stdexcept>
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

TEST(Startup, CreatesTheFrontWindowFirstAndShowsOnlyIt)
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
        EXPECT_TRUE(fake->isOpen());
        checked = true;
        front->close();
    });
    EXPECT_EQ(runQuavira(g_argc, g_argv, std::move(device), messages), 0);
    EXPECT_TRUE(checked);
    EXPECT_TRUE(messages.shown.isEmpty()) << messages.shown.join(", ").toStdString();
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

TEST(Startup, ClosingTheFrontWindowWhilePlayingEndsWithExitCodeZeroAndReleasesTheDevice)
{
    RecordingMessages messages;
    auto device = std::make_unique<FakeWaveOut>();
    FakeWaveOut* fake = device.get();
    bool wasPlaying = false;
    std::vector<WaveOutCall> callsAtQuit;
    QTimer::singleShot(0, [&] {
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp, [&] { callsAtQuit = fake->calls(); });
        QWidget* front = topLevel("Form1");
        ASSERT_TRUE(front);
        auto* start = front->findChild<QPushButton*>("bstart");
        ASSERT_TRUE(start);
        start->click();
        wasPlaying = fake->isPlaying();
        fake->waitForRecording(20000);
        front->close();
    });
    EXPECT_EQ(runQuavira(g_argc, g_argv, std::move(device), messages), 0);
    EXPECT_TRUE(wasPlaying);
    // The program made no Stop or Close of its own: the last device call is
    // the Write that started the loop; the device went with the engine.
    ASSERT_FALSE(callsAtQuit.empty());
    EXPECT_EQ(callsAtQuit.back(), WaveOutCall::Write);
    EXPECT_TRUE(messages.shown.isEmpty());
}

}  // namespace
