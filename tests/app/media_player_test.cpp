// SPDX-License-Identifier: GPL-3.0-or-later
// The media player on a private session bus, asked as a desktop and as
// playerctl ask: requests are answered at once and change nothing but
// whether the tone plays, and what changes is announced.
#include "fake_wave_out.h"
#include "fallback_wave_out.h"
#include "loop_buffer.h"
#include "loop_renderer.h"
#include "media_player_service.h"
#include "our_sink_input.h"
#include "quavira_application.h"
#include "recording_messages.h"
#include "save_tone_dialog.h"
#include "sleep_timer.h"
#include "sound_check.h"
#include "tform1.h"
#include "tmform.h"
#include "tone_saving.h"

#include <QDBusArgument>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QSlider>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

using quavira::testing::FakeWaveOut;
using quavira::testing::WaveOutCall;

const QString kService = QString::fromLatin1(MediaPlayerService::kServiceName);
const QString kRoot = QStringLiteral("org.mpris.MediaPlayer2");
const QString kPlayer = QString::fromLatin1(MediaPlayerService::kPlayerInterface);
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

int g_argc = 1;
char g_arg0[] = "quavira";
char* g_argv[] = {g_arg0, nullptr};

// A dbus-daemon of the test's own and the connections made to it, ended with
// the test; no address when none started.
class PrivateBus {
public:
    PrivateBus()
    {
        m_daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address"});
        if (m_daemon.waitForReadyRead())
            m_address = QString::fromLocal8Bit(m_daemon.readLine()).trimmed();
    }
    ~PrivateBus()
    {
        for (const QString& name : m_connections)
            QDBusConnection::disconnectFromBus(name);
        m_daemon.kill();
        m_daemon.waitForFinished();
    }
    bool started() const { return !m_address.isEmpty(); }
    QString address() const { return m_address; }
    QDBusConnection connect(const QString& name)
    {
        m_connections << name;
        return QDBusConnection::connectToBus(m_address, name);
    }

private:
    QProcess m_daemon;
    QString m_address;
    QStringList m_connections;
};

#define NEED_BUS_AND_PLAYERCTL(bus)                                                              \
    do {                                                                                         \
        if (!(bus).started())                                                                    \
            GTEST_SKIP() << "dbus-daemon did not start (scripts/setup installs it)";              \
        if (QStandardPaths::findExecutable(QStringLiteral("playerctl")).isEmpty())               \
            GTEST_SKIP() << "playerctl is not installed (scripts/setup installs it)";            \
    } while (false)

// The two windows as the program makes them, on `device`.
struct Windows {
    Windows(MessageBox& messages, std::unique_ptr<quavira::WaveOut> device)
        : engine(std::move(device)), panel(engine, messages)
    {
        front.setGeneratorPanel(&panel);
        panel.setFrontWindow(&front);
        front.show();
    }
    QPushButton* start() { return front.findChild<QPushButton*>("bstart"); }
    std::string caption() { return start()->text().toStdString(); }
    // Base and offset as a user sets them: typed, and keyed on the slider.
    void setPair(const char* baseHz, int offsetHz)
    {
        type("LBiEdit", baseHz);
        auto* offset = front.findChild<QSlider*>("freqtrack");
        QTest::keyClick(offset, Qt::Key_Home);
        for (int i = 0; i < offsetHz; ++i)
            QTest::keyClick(offset, Qt::Key_Right);
    }
    void type(const char* edit, const char* text)
    {
        auto* line = front.findChild<QLineEdit*>(edit);
        line->selectAll();
        QTest::keyClicks(line, QString::fromLatin1(text));
    }

    quavira::LoopBuffer engine;
    TForm1 front;
    TMForm panel;
};

// What a run of playerctl printed, errors included; exitCode -1 when it did not end.
struct PlayerctlRun {
    int exitCode = -1;
    std::string out;
};

// The desktop's side, on a connection of its own, and playerctl, the
// command-line client desktop users and scripts use, on the same bus. Both
// are waited for with the loop running, since the player answers on this
// same thread.
class Desktop : public QObject {
    Q_OBJECT

public:
    explicit Desktop(PrivateBus& bus, const QString& service = kService)
        : m_bus(bus.connect("desktop " + service)), m_address(bus.address()), m_service(service)
    {
        m_bus.connect(m_service, MediaPlayerService::kObjectPath, kProperties, "PropertiesChanged", this,
                      SLOT(changed(QString, QVariantMap, QStringList)));
    }
    QDBusMessage call(const QString& interface, const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage message =
            QDBusMessage::createMethodCall(m_service, MediaPlayerService::kObjectPath, interface, method);
        message.setArguments(arguments);
        const QDBusPendingCall pending = m_bus.asyncCall(message);
        EXPECT_TRUE(QTest::qWaitFor([&] { return pending.isFinished(); })) << "no answer to " << method.toStdString();
        return pending.reply();
    }
    QVariant property(const QString& interface, const QString& name)
    {
        return call(kProperties, "Get", {interface, name}).arguments().value(0).value<QDBusVariant>().variant();
    }
    // True when the player accepted the value.
    bool setProperty(const QString& interface, const QString& name, const QVariant& value)
    {
        return call(kProperties, "Set", {interface, name, QVariant::fromValue(QDBusVariant(value))}).type() ==
               QDBusMessage::ReplyMessage;
    }
    // Waits until the last value announced for `name` passes `check`.
    bool announces(const QString& name, const std::function<bool(const QVariant&)>& check)
    {
        return QTest::qWaitFor([&] { return m_announced.contains(name) && check(m_announced.value(name)); });
    }

    std::unique_ptr<QProcess> startPlayerctl(const QStringList& arguments)
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SESSION_BUS_ADDRESS", m_address);
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::MergedChannels);
        const QString player = m_service.mid(kRoot.size() + 1);
        process->start("playerctl", QStringList{"--player=" + player} + arguments);
        return process;
    }
    // Waits up to `timeoutMs` (beyond playerctl's own 25 s by default).
    static PlayerctlRun finish(QProcess& process, int timeoutMs = 30000)
    {
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs))
            return {};  // killed with the process
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAll()).trimmed().toStdString()};
    }
    PlayerctlRun playerctl(const QStringList& arguments) { return finish(*startPlayerctl(arguments)); }
    std::string status() { return playerctl({"status"}).out; }
    std::string title() { return playerctl({"metadata", "title"}).out; }

public slots:
    void changed(const QString&, const QVariantMap& properties, const QStringList&) { m_announced.insert(properties); }

private:
    QDBusConnection m_bus;
    QString m_address;
    QString m_service;
    QVariantMap m_announced;
};

auto says(const char* status)
{
    return [status](const QVariant& v) { return v.toString() == QLatin1String(status); };
}

auto describes(const char* title, const char* beat)
{
    return [=](const QVariant& v) {
        const auto tone = qdbus_cast<QVariantMap>(v.value<QDBusArgument>());
        return tone.value("xesam:title") == title && tone.value("xesam:artist").toStringList() == QStringList{beat};
    };
}

// The two windows on a test device, published on a private bus with a
// desktop on it; the bus has no address when dbus-daemon did not start.
struct PlayerOnAFake {
    explicit PlayerOnAFake(RecordingMessages& messages)
        : app(g_argc, g_argv, messages),
          fake(new FakeWaveOut),
          windows(messages, std::unique_ptr<FakeWaveOut>(fake)),
          service(windows.front, windows.panel, windows.engine, bus.connect("player")),
          desktop(bus)
    {
    }
    QuaviraApplication app;
    PrivateBus bus;
    FakeWaveOut* fake;  // owned by the engine
    Windows windows;
    MediaPlayerService service;
    Desktop desktop;
};

TEST(MediaPlayer, ChangesNothingButWhetherTheTonePlaysAndAnnouncesWhatChanges)
{
    RecordingMessages messages;
    PlayerOnAFake player(messages);
    NEED_BUS_AND_PLAYERCTL(player.bus);
    Windows& windows = player.windows;
    Desktop& desktop = player.desktop;
    FakeWaveOut* fake = player.fake;
    const QString entry = desktop.property(kRoot, "DesktopEntry").toString();
    EXPECT_TRUE(QFile::exists(QStringLiteral(QUAVIRA_LAYOUTS_DIR "/%1.desktop").arg(entry))) << entry.toStdString();

    // The builder holds 440 / 450 Hz; the stereo section has set the panel,
    // what plays, to 300 / 304 Hz. Requests from the bus keep to the latter.
    windows.setPair("440", 10);
    windows.type("LFreqEdit", "300");
    windows.type("RFreqEdit", "304");
    EXPECT_EQ(desktop.playerctl({"play"}).exitCode, 0);
    EXPECT_TRUE(desktop.announces("PlaybackStatus", says("Playing")));
    EXPECT_TRUE(fake->isPlaying());
    EXPECT_EQ(windows.caption(), "Stop");
    EXPECT_EQ(desktop.title(), "300 Hz / 304 Hz");
    desktop.playerctl({"play"});
    EXPECT_EQ(desktop.status(), "Playing") << "Play while playing stopped the tone";
    desktop.playerctl({"pause"});
    EXPECT_TRUE(desktop.announces("PlaybackStatus", says("Paused")));
    EXPECT_FALSE(fake->isPlaying());
    EXPECT_EQ(windows.caption(), "Start");
    EXPECT_EQ(desktop.title(), "300 Hz / 304 Hz") << "Pause tuned the tone to the builder's pair";
    desktop.playerctl({"play-pause"});
    EXPECT_TRUE(desktop.announces("PlaybackStatus", says("Playing")));
    EXPECT_EQ(desktop.title(), "300 Hz / 304 Hz") << "Play from Paused started another pair";
    desktop.playerctl({"play-pause"});
    EXPECT_TRUE(desktop.announces("PlaybackStatus", says("Paused")));
    desktop.playerctl({"stop"});
    EXPECT_TRUE(desktop.announces("PlaybackStatus", says("Stopped")));
    desktop.playerctl({"pause"});
    EXPECT_EQ(desktop.status(), "Stopped") << "Pause while stopped started the tone";
    // A stop that Pause did not make is a stop: here the user's own press.
    desktop.playerctl({"play"});
    EXPECT_TRUE(desktop.announces("PlaybackStatus", says("Playing")));
    QTest::mouseClick(windows.start(), Qt::LeftButton);
    EXPECT_TRUE(desktop.announces("PlaybackStatus", says("Stopped")));

    // One rate: 1 is accepted, and 0 pauses.
    desktop.playerctl({"play"});
    EXPECT_TRUE(desktop.setProperty(kPlayer, "Rate", 1.0));
    EXPECT_TRUE(desktop.setProperty(kPlayer, "Rate", 0.0));
    EXPECT_TRUE(desktop.announces("PlaybackStatus", says("Paused")));
    // A device without a volume of its own (the PortAudio fallback's case)
    // says 1.0 and takes any level without complaint.
    EXPECT_EQ(desktop.playerctl({"volume", "0.5"}).exitCode, 0);
    EXPECT_EQ(desktop.playerctl({"volume"}).out, "1.000000");

    // A failed start says what a press of the button says, once answered.
    desktop.playerctl({"stop"});
    fake->setResult(WaveOutCall::Reset, quavira::kMmSysError);
    EXPECT_EQ(desktop.playerctl({"play"}).exitCode, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return messages.shown == QStringList{"Can't reset!"}; }));
    EXPECT_EQ(desktop.status(), "Stopped");
    fake->setResult(WaveOutCall::Reset, quavira::kMmSysNoError);

    windows.setPair("440", 10);
    EXPECT_TRUE(desktop.announces("Metadata", describes("440 Hz / 450 Hz", "10 Hz, Alpha")));
    windows.setPair("1990", 30);  // the right channel stops at 2000 Hz
    EXPECT_TRUE(desktop.announces("Metadata", describes("1990 Hz / 2000 Hz", "10 Hz, Alpha")));
    windows.setPair("500", 0);
    EXPECT_TRUE(describes("500 Hz / 500 Hz", "No beat")(desktop.property(kPlayer, "Metadata")));

    windows.front.hide();
    desktop.call(kRoot, "Raise");
    EXPECT_TRUE(QTest::qWaitFor([&] { return windows.front.isVisible(); }));
    desktop.call(kRoot, "Quit");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !windows.front.isVisible(); }));
}

// While noise plays the metadata names it, beside the beat on the artist
// line the desktop shows and as the comment; with Off it is as it was.
TEST(MediaPlayer, MetadataNamesTheNoiseWhileItIsOnAndDropsItWithOff)
{
    RecordingMessages messages;
    PlayerOnAFake player(messages);
    if (!player.bus.started())
        GTEST_SKIP() << "dbus-daemon did not start (scripts/setup installs it)";
    Windows& windows = player.windows;
    Desktop& desktop = player.desktop;
    const auto tone = [](const QVariant& v) { return qdbus_cast<QVariantMap>(v.value<QDBusArgument>()); };
    const auto names = [&](const char* noise) {
        return [=](const QVariant& v) {
            const QVariantMap now = tone(v);
            return now.value("xesam:title") == "440 Hz / 450 Hz" &&
                   now.value("xesam:artist").toStringList() == QStringList{"10 Hz, Alpha", noise} &&
                   now.value("xesam:comment").toStringList() == QStringList{noise};
        };
    };
    windows.setPair("440", 10);
    const QStringList plainKeys{"mpris:trackid", "xesam:artist", "xesam:title"};
    ASSERT_EQ(tone(desktop.property(kPlayer, "Metadata")).keys(), plainKeys);

    windows.panel.setNoise(quavira::NoiseColour::Pink, -28);
    EXPECT_TRUE(desktop.announces("Metadata", names("Pink noise, -28 dB")));
    windows.panel.setNoise(quavira::NoiseColour::Brown, -16);
    EXPECT_TRUE(desktop.announces("Metadata", names("Brown noise, -16 dB")));

    windows.panel.setNoise(std::nullopt, -16);
    EXPECT_TRUE(desktop.announces("Metadata", describes("440 Hz / 450 Hz", "10 Hz, Alpha")));
    EXPECT_EQ(tone(desktop.property(kPlayer, "Metadata")).keys(), plainKeys);
}

TEST(MediaPlayer, AnswersAtOnceAndSaysWhyItCannotActWhileAMessageBoxWaits)
{
    // The program's own boxes, which wait in exec() for the user.
    ModalMessageBox messages;
    QuaviraApplication app(g_argc, g_argv, messages);
    PrivateBus bus;
    NEED_BUS_AND_PLAYERCTL(bus);
    auto device = std::make_unique<FakeWaveOut>();
    device->setResult(WaveOutCall::Reset, quavira::kMmSysError);
    Windows windows(messages, std::move(device));
    MediaPlayerService service(windows.front, windows.panel, windows.engine, bus.connect("player"));
    Desktop desktop(bus);

    // Play fails, and its box waits; everything below happens meanwhile.
    const auto play = desktop.startPlayerctl({"play"});
    bool boxWasChecked = false;
    QTimer whileTheBoxWaits;
    whileTheBoxWaits.setInterval(10);
    QObject::connect(&whileTheBoxWaits, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        whileTheBoxWaits.stop();
        EXPECT_EQ(box->text().toStdString(), "Can't reset!");
        // A few seconds at most: the answer must not wait for the box.
        const PlayerctlRun played = Desktop::finish(*play, 5000);
        EXPECT_EQ(played.exitCode, 0) << "Play was answered only once the box closed";
        for (const char* request : {"play", "pause", "play-pause", "stop"}) {
            const PlayerctlRun refused = desktop.playerctl({request});
            EXPECT_NE(refused.exitCode, 0) << request;
            EXPECT_NE(refused.out.find("A message box is waiting for an answer"), std::string::npos)
                << request << ": " << refused.out;
        }
        const QDBusMessage quit = desktop.call(kRoot, "Quit");
        EXPECT_EQ(quit.errorName().toStdString(), MediaPlayerService::kBusyError);
        EXPECT_EQ(desktop.call(kRoot, "Raise").type(), QDBusMessage::ReplyMessage);
        EXPECT_TRUE(box->isVisible());
        boxWasChecked = true;
        box->close();
    });
    whileTheBoxWaits.start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return boxWasChecked; }, 30000)) << "no box opened";
    // None of the refused requests runs once the box has gone.
    QCoreApplication::processEvents();
    EXPECT_EQ(windows.caption(), "Start");
    EXPECT_TRUE(windows.front.isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// Where a Quit from the desktop comes during "Save as audio file...".
enum class QuitWhile { ChoosingTheFile, Writing };

class MediaPlayerBesideASave : public ::testing::TestWithParam<QuitWhile> {};

TEST_P(MediaPlayerBesideASave, PlayAndPauseActAndQuitEndsTheSaveAsCancelDoes)
{
    RecordingMessages messages;
    PlayerOnAFake player(messages);
    NEED_BUS_AND_PLAYERCTL(player.bus);
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());

    // Writes until cancelled, as a long save does.
    bool writerCancelled = false;
    const ToneFileWriter writer = [&](const quavira::ToneFileRequest&, quavira::Cancellation& cancel,
                                      const quavira::ToneFileProgress& progress) {
        for (std::uint64_t second = 1; !cancel.cancelled(); ++second) {
            progress(second, 1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        writerCancelled = true;
        return quavira::ToneFileResult{quavira::ToneFileStatus::Cancelled, {}};
    };
    bool quitAnswered = false;
    const auto quit = [&] { quitAnswered = player.desktop.call(kRoot, "Quit").type() == QDBusMessage::ReplyMessage; };
    std::vector<std::string> failures;
    int step = 0;
    QTimer user;
    user.setInterval(10);
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (step == 0 && qobject_cast<SaveToneDialog*>(modal)) {
            ++step;
            if (player.desktop.playerctl({"play"}).exitCode != 0 ||
                !QTest::qWaitFor([&] { return player.fake->isPlaying(); }))
                failures.push_back("play was not acted on while the file dialog was up");
            if (GetParam() == QuitWhile::ChoosingTheFile)
                return quit();
            auto* dialog = static_cast<SaveToneDialog*>(modal);
            dialog->setDirectory(folder.path());
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QTest::keyClicks(name, QStringLiteral("evening"));
            QTest::keyClick(name, Qt::Key_Return);
        } else if (step == 1 && qobject_cast<QProgressDialog*>(modal) && modal->isVisible()) {
            ++step;
            if (player.desktop.playerctl({"play-pause"}).exitCode != 0 ||
                !QTest::qWaitFor([&] { return !player.fake->isPlaying(); }))
                failures.push_back("play-pause was not acted on while the progress dialog was up");
            quit();
        }
    });
    user.start();
    saveToneAs(&player.windows.front, player.windows.panel, messages, writer);
    user.stop();

    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_TRUE(quitAnswered);
    EXPECT_EQ(writerCancelled, GetParam() == QuitWhile::Writing);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !player.windows.front.isVisible(); })) << "Quit did not close the window";
    EXPECT_TRUE(QDir(folder.path()).isEmpty());
    EXPECT_TRUE(messages.shown.isEmpty()) << messages.shown.join(", ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(Stages, MediaPlayerBesideASave,
                         ::testing::Values(QuitWhile::ChoosingTheFile, QuitWhile::Writing), [](const auto& test) {
                             return test.param == QuitWhile::Writing ? "Writing" : "ChoosingTheFile";
                         });

TEST(MediaPlayer, ASecondCopyTakesAnInstanceNameAndQuitsAlone)
{
    RecordingMessages messages;
    QuaviraApplication app(g_argc, g_argv, messages);
    PrivateBus bus;
    NEED_BUS_AND_PLAYERCTL(bus);
    auto secondDevice = std::make_unique<FakeWaveOut>();
    FakeWaveOut* secondFake = secondDevice.get();
    Windows first(messages, std::make_unique<FakeWaveOut>());
    Windows second(messages, std::move(secondDevice));
    const MediaPlayerService firstCopy(first.front, first.panel, first.engine, bus.connect("first copy"));
    const MediaPlayerService secondCopy(second.front, second.panel, second.engine, bus.connect("second copy"));

    const QString instance = kService + QStringLiteral(".instance%1").arg(QCoreApplication::applicationPid());
    EXPECT_EQ(firstCopy.serviceName().toStdString(), kService.toStdString());
    ASSERT_EQ(secondCopy.serviceName().toStdString(), instance.toStdString());
    Desktop desktop(bus, instance);
    EXPECT_EQ(desktop.playerctl({"play"}).exitCode, 0);
    EXPECT_TRUE(desktop.announces("PlaybackStatus", says("Playing")));
    EXPECT_TRUE(secondFake->isPlaying());
    EXPECT_EQ(first.caption(), "Start");
    desktop.call(kRoot, "Quit");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !second.front.isVisible(); }));
    EXPECT_TRUE(first.front.isVisible());
    EXPECT_TRUE(messages.shown.isEmpty());
}

// The program's windows on the system's device at the test sink, published
// on a private bus with a desktop on it, the pair 440 / 450 Hz set.
class MediaPlayerSound : public ::testing::Test {
protected:
    void SetUp() override
    {
        QUAVIRA_NEED_SOUND_SERVER();
        app = std::make_unique<QuaviraApplication>(g_argc, g_argv, messages);
        bus = std::make_unique<PrivateBus>();
        NEED_BUS_AND_PLAYERCTL(*bus);
        windows = std::make_unique<Windows>(messages, quavira::makeSystemWaveOut());
        service = std::make_unique<MediaPlayerService>(windows->front, windows->panel, windows->engine,
                                                       bus->connect("player"));
        desktop = std::make_unique<Desktop>(*bus);
        windows->setPair("440", 10);
    }

    RecordingMessages messages;
    std::unique_ptr<QuaviraApplication> app;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<Windows> windows;
    std::unique_ptr<MediaPlayerService> service;
    std::unique_ptr<Desktop> desktop;
};

TEST_F(MediaPlayerSound, PlayerctlIsHeardAtTheSinkAndSetsTheStreamsOwnVolumeThere)
{
    using namespace quavira::sound;

    {
        MonitorRecording recording(5.0);
        ASSERT_TRUE(recording.waitLive());
        desktop->playerctl({"play-pause"});
        EXPECT_TRUE(desktop->announces("PlaybackStatus", says("Playing")));
        EXPECT_EQ(windows->caption(), "Stop");
        QTest::qWait(1000);  // a second of tone
        desktop->playerctl({"play-pause"});
        EXPECT_TRUE(desktop->announces("PlaybackStatus", says("Paused")));
        EXPECT_EQ(windows->caption(), "Start");

        const Bytes& rec = recording.finish();
        const auto onset = firstSound(rec, 0);
        ASSERT_TRUE(onset) << "nothing was heard";
        const auto stopped = firstSilence(rec, *onset);
        ASSERT_TRUE(stopped) << "the tone did not stop";
        ASSERT_GT(*stopped, *onset + 24050) << "too short a tone to measure";
        EXPECT_NEAR(dominantFrequency(rec, *onset + 2000, 22050, 0, heardHz(440)), heardHz(440), 0.2);
        EXPECT_NEAR(dominantFrequency(rec, *onset + 2000, 22050, 1, heardHz(450)), heardHz(450), 0.2);
        // Nothing comes back after it. PipeWire resamples the fade's last,
    // quietest stretch (under -40 dB, under one step) into stray steps of
    // one around silence, with runs of silence between them: those are the
    // fade's tail, not the tone.
    bool soundAfter = false;
    for (std::size_t f = *stopped; f < frames(rec); ++f)
        soundAfter = soundAfter || std::abs(rec[2 * f] - kSilence) > 1 || std::abs(rec[2 * f + 1] - kSilence) > 1;
    EXPECT_FALSE(soundAfter) << "sound after the stop";
    }

    // The volume is the stream's own at the server, both ways.
    EXPECT_EQ(desktop->playerctl({"volume", "0.5"}).exitCode, 0);
    const SinkInput stream = ourSinkInput({50, 50});
    EXPECT_EQ(stream.percents, (std::vector<int>{50, 50}));
    EXPECT_EQ(desktop->playerctl({"volume"}).out, "0.500000");
    ASSERT_GE(stream.index, 0);
    ASSERT_EQ(QProcess::execute("pactl", {"set-sink-input-volume", QString::number(stream.index), "30%"}), 0);
    EXPECT_TRUE(desktop->announces("Volume", [](const QVariant& v) { return std::abs(v.toDouble() - 0.3) < 0.002; }));
    EXPECT_NEAR(std::stod(desktop->playerctl({"volume"}).out), 0.3, 0.002);
    // PipeWire's session manager remembers it for the next stream of ours.
    EXPECT_EQ(desktop->playerctl({"volume", "1.0"}).exitCode, 0);
    EXPECT_TRUE(messages.shown.isEmpty()) << messages.shown.join(", ").toStdString();
}

}  // namespace

namespace {

// The sleep timer, its minute shortened: the tone fades out over the last
// stretch, heard at the sink, then stops as Stop stops it, and the desktop
// is told so.
TEST_F(MediaPlayerSound, TheSleepTimerFadesTheToneOutEvenlyThenStopsItAsStopDoes)
{
    using namespace quavira::sound;
    using namespace std::chrono_literals;
    // "15 minutes" last 3 s, the last 1.5 s of them fading; at full volume,
    // whatever the server remembers of an earlier stream of ours.
    windows->front.sleepTimer().setTiming(200ms, 1500ms);
    windows->engine.setVolume(1.0);
    for (QAction* choice : windows->front.contextMenu()->findChildren<QAction*>())
        if (choice->text() == "1&5 minutes")
            choice->trigger();

    MonitorRecording recording(5.0);
    ASSERT_TRUE(recording.waitLive());
    QTest::mouseClick(windows->start(), Qt::LeftButton);
    EXPECT_TRUE(desktop->announces("PlaybackStatus", says("Playing")));
    EXPECT_TRUE(QTest::qWaitFor([&] { return windows->caption() == "Start"; }, 4500)) << "the timer never stopped the tone";
    EXPECT_TRUE(desktop->announces("PlaybackStatus", says("Stopped")));
    EXPECT_EQ(desktop->status(), "Stopped");

    const Bytes& rec = recording.finish();
    const auto onset = firstSound(rec, 0);
    ASSERT_TRUE(onset) << "nothing was heard";
    const auto stopped = firstSilence(rec, *onset, 4410);
    ASSERT_TRUE(stopped) << "the tone did not stop";
    // Nothing comes back after it. PipeWire resamples the fade's last,
    // quietest stretch (under -40 dB, under one step) into stray steps of
    // one around silence, with runs of silence between them: those are the
    // fade's tail, not the tone.
    bool soundAfter = false;
    for (std::size_t f = *stopped; f < frames(rec); ++f)
        soundAfter = soundAfter || std::abs(rec[2 * f] - kSilence) > 1 || std::abs(rec[2 * f + 1] - kSilence) > 1;
    EXPECT_FALSE(soundAfter) << "sound after the stop";
    // Full for half the time, then falling: by the last block measured, more
    // than 20 dB down, never rising on the way. (Its steps: OutputFade.)
    const std::size_t fadeFrom = *onset + static_cast<std::size_t>(1.2 * kRate);
    const auto levels = fadeLevelsDb(rec, fadeFrom, *stopped);
    ASSERT_GT(levels.size(), 10u);
    EXPECT_LT(levels.back(), -20.0);
    for (std::size_t k = 1; k < levels.size(); ++k)
        EXPECT_LE(levels[k], levels[k - 1] + 0.5) << "the level rose at block " << k;
    EXPECT_TRUE(messages.shown.isEmpty()) << messages.shown.join(", ").toStdString();
}

}  // namespace

#include "media_player_test.moc"

