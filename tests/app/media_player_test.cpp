// SPDX-License-Identifier: GPL-3.0-or-later
// The media player on a private session bus, asked as a desktop asks: its
// requests act as the start button does, and what changes is announced.
#include "fake_wave_out.h"
#include "fallback_wave_out.h"
#include "loop_renderer.h"
#include "media_player_service.h"
#include "quavira_application.h"
#include "recording_messages.h"
#include "sound_check.h"
#include "tform1.h"
#include "tmform.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

namespace {

using quavira::testing::FakeWaveOut;

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

#define NEED_PRIVATE_BUS(bus)                                                                    \
    do {                                                                                         \
        if (!(bus).started())                                                                    \
            GTEST_SKIP() << "dbus-daemon did not start (scripts/setup installs it)";              \
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
        auto* base = front.findChild<QLineEdit*>("LBiEdit");
        base->selectAll();
        QTest::keyClicks(base, QString::fromLatin1(baseHz));
        auto* offset = front.findChild<QSlider*>("freqtrack");
        QTest::keyClick(offset, Qt::Key_Home);
        for (int i = 0; i < offsetHz; ++i)
            QTest::keyClick(offset, Qt::Key_Right);
    }

    quavira::LoopBuffer engine;
    TForm1 front;
    TMForm panel;
};

// The desktop's side, on a connection of its own. Its calls are waited for
// with the loop running, since the player answers on this same thread.
class Desktop : public QObject {
    Q_OBJECT

public:
    explicit Desktop(PrivateBus& bus) : m_bus(bus.connect("desktop"))
    {
        m_bus.connect(kService, MediaPlayerService::kObjectPath, kProperties, "PropertiesChanged", this,
                      SLOT(changed(QString, QVariantMap, QStringList)));
    }
    QDBusMessage call(const QString& interface, const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage message =
            QDBusMessage::createMethodCall(kService, MediaPlayerService::kObjectPath, interface, method);
        message.setArguments(arguments);
        const QDBusPendingCall pending = m_bus.asyncCall(message);
        EXPECT_TRUE(QTest::qWaitFor([&] { return pending.isFinished(); })) << "no answer to " << method.toStdString();
        return pending.reply();
    }
    QVariant property(const QString& interface, const QString& name)
    {
        return call(kProperties, "Get", {interface, name}).arguments().value(0).value<QDBusVariant>().variant();
    }
    std::string status() { return property(kPlayer, "PlaybackStatus").toString().toStdString(); }
    // Waits until the last value announced for `name` passes `check`.
    bool announces(const QString& name, const std::function<bool(const QVariant&)>& check)
    {
        return QTest::qWaitFor([&] { return m_announced.contains(name) && check(m_announced.value(name)); });
    }

public slots:
    void changed(const QString&, const QVariantMap& properties, const QStringList&) { m_announced.insert(properties); }

private:
    QDBusConnection m_bus;
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

TEST(MediaPlayer, ActsAsTheStartButtonAndAnnouncesWhatTheWindowChanges)
{
    RecordingMessages messages;
    QuaviraApplication app(g_argc, g_argv, messages);
    PrivateBus bus;
    NEED_PRIVATE_BUS(bus);
    auto device = std::make_unique<FakeWaveOut>();
    FakeWaveOut* fake = device.get();
    Windows windows(messages, std::move(device));
    MediaPlayerService service(windows.front, windows.panel, bus.connect("player"));
    Desktop desktop(bus);
    const QString entry = desktop.property(kRoot, "DesktopEntry").toString();
    EXPECT_TRUE(QFile::exists(QStringLiteral(QUAVIRA_LAYOUTS_DIR "/%1.desktop").arg(entry))) << entry.toStdString();

    desktop.call(kPlayer, "PlayPause");
    EXPECT_EQ(windows.caption(), "Stop");
    EXPECT_TRUE(fake->isPlaying());
    EXPECT_EQ(desktop.status(), "Playing");
    EXPECT_TRUE(desktop.announces("PlaybackStatus", says("Playing")));
    desktop.call(kPlayer, "Play");
    EXPECT_EQ(windows.caption(), "Stop") << "Play while playing stopped the tone";
    QTest::mouseClick(windows.start(), Qt::LeftButton);  // the user's own press is announced too
    EXPECT_TRUE(desktop.announces("PlaybackStatus", says("Stopped")));
    desktop.call(kPlayer, "Pause");
    EXPECT_EQ(windows.caption(), "Start") << "Pause while stopped started the tone";

    // A failed start says what a press of the button says.
    fake->setResult(quavira::testing::WaveOutCall::Reset, quavira::kMmSysError);
    QTest::mouseClick(windows.start(), Qt::LeftButton);
    desktop.call(kPlayer, "Play");
    EXPECT_EQ(messages.shown, (QStringList{"Can't reset!", "Can't reset!"}));
    EXPECT_EQ(desktop.status(), "Stopped");
    fake->setResult(quavira::testing::WaveOutCall::Reset, quavira::kMmSysNoError);
    // While a message box waits, the button cannot be reached, nor from the bus.
    QMessageBox box;
    box.setWindowModality(Qt::ApplicationModal);
    box.show();
    desktop.call(kPlayer, "PlayPause");
    EXPECT_EQ(windows.caption(), "Start");
    box.close();

    windows.setPair("440", 10);
    EXPECT_TRUE(desktop.announces("Metadata", describes("440 Hz / 450 Hz", "10 Hz, Alpha")));
    windows.setPair("1990", 30);  // the right channel stops at 2000 Hz
    EXPECT_TRUE(desktop.announces("Metadata", describes("1990 Hz / 2000 Hz", "10 Hz, Alpha")));
    windows.setPair("500", 0);
    EXPECT_TRUE(describes("500 Hz / 500 Hz", "No beat")(desktop.property(kPlayer, "Metadata")));

    windows.front.hide();
    desktop.call(kRoot, "Raise");
    EXPECT_TRUE(windows.front.isVisible());
    desktop.call(kRoot, "Quit");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !windows.front.isVisible(); }));
}

QStringList g_qtMessages;

TEST(MediaPlayer, WithItsNameHeldByAnotherCopyStaysOffTheBusSayingNothing)
{
    RecordingMessages messages;
    QuaviraApplication app(g_argc, g_argv, messages);
    PrivateBus bus;
    NEED_PRIVATE_BUS(bus);
    Windows windows(messages, std::make_unique<FakeWaveOut>());
    QDBusConnection firstCopy = bus.connect("first copy");
    ASSERT_TRUE(firstCopy.registerService(kService));

    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { g_qtMessages << text; });
    {
        const MediaPlayerService second(windows.front, windows.panel, bus.connect("second copy"));
        EXPECT_FALSE(second.isPublished());
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(g_qtMessages, QStringList());
    EXPECT_EQ(firstCopy.interface()->serviceOwner(kService).value(), firstCopy.baseService());
    EXPECT_TRUE(messages.shown.isEmpty());
}

TEST(MediaPlayerSound, PlayPauseStartsTheToneAtTheSinkAndPlayPauseAgainStopsIt)
{
    using namespace quavira::sound;
    QUAVIRA_NEED_SOUND_SERVER();
    RecordingMessages messages;
    QuaviraApplication app(g_argc, g_argv, messages);
    PrivateBus bus;
    NEED_PRIVATE_BUS(bus);
    Windows windows(messages, quavira::makeSystemWaveOut());
    MediaPlayerService service(windows.front, windows.panel, bus.connect("player"));
    Desktop desktop(bus);
    windows.setPair("440", 10);

    MonitorRecording recording(5.0);
    ASSERT_TRUE(recording.waitLive());
    desktop.call(kPlayer, "PlayPause");
    EXPECT_EQ(windows.caption(), "Stop");
    EXPECT_EQ(desktop.status(), "Playing");
    QTest::qWait(1000);  // a second of tone
    desktop.call(kPlayer, "PlayPause");
    EXPECT_EQ(windows.caption(), "Start");
    EXPECT_EQ(desktop.status(), "Stopped");

    const Bytes& rec = recording.finish();
    const auto onset = firstSound(rec, 0);
    ASSERT_TRUE(onset) << "nothing was heard";
    const auto stopped = firstSilence(rec, *onset);
    ASSERT_TRUE(stopped) << "the tone did not stop";
    ASSERT_GT(*stopped, *onset + 24050) << "too short a tone to measure";
    EXPECT_NEAR(dominantFrequency(rec, *onset + 2000, 22050, 0, heardHz(440)), heardHz(440), 0.2);
    EXPECT_NEAR(dominantFrequency(rec, *onset + 2000, 22050, 1, heardHz(450)), heardHz(450), 0.2);
    EXPECT_FALSE(firstSound(rec, *stopped)) << "sound after the stop";
    EXPECT_TRUE(messages.shown.isEmpty()) << messages.shown.join(", ").toStdString();
}

}  // namespace

#include "media_player_test.moc"
