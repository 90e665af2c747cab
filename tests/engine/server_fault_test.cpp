// SPDX-License-Identifier: GPL-3.0-or-later
// The sound server lost, frozen and restarted under a playing engine. Each
// test runs a server of its own (the kind in QUAVIRA_TEST_SERVER) in a
// temporary directory through the test script, and points this process and
// its recorders at it. Every engine call runs under a hang guard.
#include "fallback_wave_out.h"
#include "loop_buffer.h"
#include "our_sink_input.h"
#include "portaudio_wave_out.h"
#include "pulse_wave_out.h"
#include "sound_check.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

namespace quavira {
namespace {

using namespace std::chrono_literals;
using namespace sound;

class PrivateServer {
public:
    PrivateServer()
    {
        char dir[] = "/tmp/quavira-fault.XXXXXX";
        if (!::mkdtemp(dir))
            return;
        m_dir = dir;
        ::setenv("XDG_RUNTIME_DIR", (m_dir + "/runtime").c_str(), 1);
        ::setenv("HOME", (m_dir + "/home").c_str(), 1);
        ::setenv("PULSE_SERVER", ("unix:" + m_dir + "/runtime/pulse/native").c_str(), 1);
        ::setenv("PULSE_CLIENTCONFIG", (m_dir + "/client.conf").c_str(), 1);
        ::setenv("QUAVIRA_TEST_SINK", "quavira_test", 1);
    }
    ~PrivateServer()
    {
        run("stop");
        std::filesystem::remove_all(m_dir);
    }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    bool start() { return !m_dir.empty() && run("start"); }
    void kill() { run("kill"); }
    void freeze() { run("freeze"); }
    void thaw() { run("thaw"); }

private:
    bool run(const char* command)
    {
        const std::string line = std::string(QUAVIRA_TEST_AUDIO_SCRIPT) + " " + command + " " + m_dir + " >/dev/null 2>&1";
        return std::system(line.c_str()) == 0;
    }

    std::string m_dir;
};

// Runs one engine call on a thread of its own and returns its result. A
// call that has not returned within 5 s has hung: the run ends at once as a
// failure, since the thread can be neither joined nor abandoned safely.
// Any call must return within 200 ms, whatever the server does.
template <class Call>
auto bounded(const char* what, Call call)
{
    std::packaged_task<decltype(call())()> task(std::move(call));
    auto result = task.get_future();
    const auto begin = Clock::now();
    std::thread worker(std::move(task));
    if (result.wait_for(5s) != std::future_status::ready) {
        std::printf("FAILED: %s did not return within 5 s\n", what);
        std::fflush(stdout);
        std::_Exit(EXIT_FAILURE);
    }
    worker.join();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    std::printf("%s returned after %.1f ms\n", what, ms);
    EXPECT_LE(ms, 200.0) << what;
    return result.get();
}

#define START_OR_SKIP(server)                                                                       \
    do {                                                                                            \
        if (!(server).start())                                                                      \
            QUAVIRA_WITHOUT_SOUND("could not start a sound server of our own (pulseaudio, pipewire)"); \
    } while (false)

// Plays the engine's loop for a moment and says whether the sink heard it
// (a server just thawed may take some hundred milliseconds to catch up).
bool heard(LoopBuffer& engine)
{
    MonitorRecording recorder(2.0);
    if (!recorder.waitLive())
        return false;
    const std::string status = bounded("Start", [&] { return engine.startLooped(); });
    EXPECT_EQ(status, "0");
    const Bytes& rec = recorder.finish();
    return status == "0" && firstSound(rec, 0).has_value();
}

void fillBounded(LoopBuffer& engine, const char* what)
{
    bounded(what, [&] {
        engine.fillChannel(500, 100, 0.0f, Channel::Right);
        return 0;
    });
}

std::unique_ptr<LoopBuffer> playingEngine(PulseWaveOut** device = nullptr)
{
    auto pulse = std::make_unique<PulseWaveOut>();
    if (device)
        *device = pulse.get();
    auto engine = std::make_unique<LoopBuffer>(std::move(pulse));
    EXPECT_EQ(bounded("Open", [&] { return engine->open(); }), "0");
    engine->fillChannel(440, 100, 0.0f, Channel::Left);
    engine->fillChannel(450, 100, 0.0f, Channel::Right);
    return engine;
}

TEST(ServerFaults, KilledWhilePlayingStopSucceedsStartFailsThenTheFirstStartAfterARestartPlays)
{
    PrivateServer server;
    START_OR_SKIP(server);
    auto engine = playingEngine();
    ASSERT_TRUE(heard(*engine));

    server.kill();
    std::this_thread::sleep_for(300ms);
    // Nothing plays without a server: there is nothing to refuse.
    EXPECT_EQ(bounded("Stop, server gone", [&] { return engine->stop(); }), "0");
    EXPECT_EQ(bounded("Start, server gone", [&] { return engine->startLooped(); }), "Can't write!");
    fillBounded(*engine, "Fill, server gone");

    ASSERT_TRUE(server.start());
    EXPECT_TRUE(heard(*engine)) << "no sound after the server came back";
    EXPECT_EQ(bounded("Close", [&] { return engine->close(); }), "0");
}

TEST(ServerFaults, KilledWhileStoppedFailsStartThenTheFirstStartAfterARestartPlays)
{
    PrivateServer server;
    START_OR_SKIP(server);
    auto engine = playingEngine();
    ASSERT_TRUE(heard(*engine));
    EXPECT_EQ(bounded("Stop", [&] { return engine->stop(); }), "0");

    server.kill();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(bounded("Start, server gone", [&] { return engine->startLooped(); }), "Can't write!");
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(heard(*engine)) << "no sound after the server came back";
}

// A frozen server is late, not lost: every call returns at once and
// succeeds, and what it asked for happens once the server runs again.
TEST(ServerFaults, FrozenDuringAFillStopAndStartEveryCallSucceedsAndTakesEffectOnceThawed)
{
    PrivateServer server;
    START_OR_SKIP(server);
    auto engine = playingEngine();
    ASSERT_TRUE(heard(*engine));

    server.freeze();
    fillBounded(*engine, "Fill, server frozen");
    EXPECT_EQ(bounded("Stop, server frozen", [&] { return engine->stop(); }), "0");
    server.thaw();
    std::this_thread::sleep_for(300ms);
    {
        MonitorRecording recorder(1.0);
        ASSERT_TRUE(recorder.waitLive());
        EXPECT_FALSE(firstSound(recorder.finish(), 0)) << "the tone went on after a Stop made while frozen";
    }

    // Frozen while stopped: the start waits for nothing and plays once thawed.
    MonitorRecording recorder(2.0);
    ASSERT_TRUE(recorder.waitLive());
    server.freeze();
    EXPECT_EQ(bounded("Start, server frozen while stopped", [&] { return engine->startLooped(); }), "0");
    std::this_thread::sleep_for(250ms);
    server.thaw();
    EXPECT_TRUE(firstSound(recorder.finish(), 0)) << "no sound after the server was thawed";
    EXPECT_EQ(bounded("Stop", [&] { return engine->stop(); }), "0");
}

// A server that stalls (its main loop busy, a Bluetooth profile switched, a
// USB headset probed) while the user changes the tone is late, not lost:
// the stream stays, the null sink catches up with what is queued, and the
// last change is heard. Nothing is silent and nothing clicks.
TEST(ServerFaults, StallsOfAQuarterAndMoreThanHalfASecondWhileTheUserChangesCostNothing)
{
    PrivateServer server;
    START_OR_SKIP(server);
    MonitorRecording recorder(7.5);
    ASSERT_TRUE(recorder.waitLive());
    auto engine = playingEngine();
    std::vector<Bytes> loops{snapshot(*engine)};
    ASSERT_EQ(bounded("Start", [&] { return engine->startLooped(); }), "0");
    std::this_thread::sleep_for(1200ms);
    int hz = 450;
    for (const auto stall : {250ms, 600ms}) {
        const auto thawAt = Clock::now() + stall;
        server.freeze();
        // Clicks on the offset arrow while the server is away.
        for (int click = 0; click < 3; ++click) {
            hz += 10;
            bounded("Fill, server stalled", [&] {
                engine->fillChannel(hz, 100, 0.0f, Channel::Right);
                return 0;
            });
            loops.push_back(snapshot(*engine));
            std::this_thread::sleep_for(60ms);
        }
        std::this_thread::sleep_until(thawAt);
        server.thaw();
        std::this_thread::sleep_for(1500ms);
    }
    EXPECT_EQ(bounded("Stop", [&] { return engine->stop(); }), "0");
    const Bytes& rec = recorder.finish();

    const auto onset = firstSound(rec, 0);
    ASSERT_TRUE(onset) << "nothing was heard";
    std::optional<std::size_t> stopped;  // where the silence after the stop begins
    for (std::size_t f = frames(rec); f > *onset && !stopped; --f)
        if (!silentFrame(rec, f - 1))
            stopped = f;
    ASSERT_TRUE(stopped && *stopped + 441 < frames(rec)) << "the tone did not stop";
    // PulseAudio's null sink catches up with all the stall missed; PipeWire
    // drops the graph cycle it interrupted (a quantum of silence, its own).
    const bool pipeWire = serverIsPipeWire();
    const std::size_t serversLongest = pipeWire ? 3 * 256 : 0;
    const auto silence = firstSilence(rec, *onset, serversLongest + 16);
    EXPECT_EQ(silence, stopped) << "silence " << static_cast<double>(silence.value_or(0) - *onset) / kRate
                                << " s after the onset";
    std::size_t gaps = 0;
    const std::vector<bool> theServers = pipeWire ? serverGaps(rec, serversLongest, &gaps)
                                                  : std::vector<bool>(frames(rec), false);
    int limit[2] = {};
    for (int channel : {0, 1})
        for (const Bytes& loop : loops)
            limit[channel] = std::max(limit[channel], largestStep(loop, channel) + 2);
    EXPECT_LE(clicksOver(rec, limit, theServers), clicksAllowed(pipeWire))
        << "places with a step larger than the tones' own plus 2; " << gaps << " gap(s) of the server's";
    ASSERT_GT(*stopped, *onset + 30000);
    EXPECT_NEAR(dominantFrequency(rec, *stopped - 25000, 22050, 1, heardHz(hz)), heardHz(hz), 0.3)
        << "the last change was not heard";
}

// Without a call of the program: the tone that was playing comes back,
// with the loop as it stands, once a server answers again.
bool comesBackByItself()
{
    MonitorRecording recorder(3.0);
    return recorder.waitLive() && firstSound(recorder.finish(), 0).has_value();
}

TEST(ServerFaults, AToneLostWhilePlayingComesBackByItselfOnceAServerAnswersAgain)
{
    PrivateServer server;
    START_OR_SKIP(server);
    auto engine = playingEngine();
    ASSERT_TRUE(heard(*engine));
    // The stream's own volume, which the new stream keeps.
    engine->setVolume(0.4);
    EXPECT_EQ(ourSinkInput({40, 40}).percents, (std::vector<int>{40, 40}));

    server.kill();
    std::this_thread::sleep_for(300ms);
    fillBounded(*engine, "Fill, server gone");
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(comesBackByItself()) << "after a restart";
    EXPECT_EQ(ourSinkInput().percents, (std::vector<int>{40, 40})) << "the new stream's volume";
    EXPECT_NEAR(engine->volume(), 0.4, 0.001);

    server.freeze();
    fillBounded(*engine, "Fill, server frozen");
    server.thaw();
    EXPECT_TRUE(comesBackByItself()) << "after a freeze";
    EXPECT_EQ(bounded("Stop", [&] { return engine->stop(); }), "0");
}

TEST(ServerFaults, AStopThatFailedBecauseTheServerDiedStaysAStopWhenTheServerReturns)
{
    PrivateServer server;
    START_OR_SKIP(server);
    auto engine = playingEngine();
    ASSERT_TRUE(heard(*engine));

    // The server dies while Stop waits for it.
    server.freeze();
    std::thread killer([&] {
        std::this_thread::sleep_for(40ms);
        server.kill();
    });
    bounded("Stop, server dying", [&] { return engine->stop(); });
    killer.join();
    ASSERT_TRUE(server.start());
    EXPECT_FALSE(comesBackByItself()) << "the tone came back after the user stopped it";
}

TEST(ServerFaults, WhileTheServerIsGoneAttemptsBackOffAndItsNewSocketBringsTheToneBack)
{
    PrivateServer server;
    START_OR_SKIP(server);
    PulseWaveOut* device = nullptr;
    auto engine = playingEngine(&device);
    ASSERT_TRUE(heard(*engine));

    server.kill();
    std::this_thread::sleep_for(7500ms);
    // One a second would be seven by now; after 1, 2 and 4 s, three.
    EXPECT_LE(device->resumeAttempts(), 3u);
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(comesBackByItself()) << "the tone did not come back once the server's socket was there again";
}

TEST(ServerFaults, OpenWaitsForAServerThatAcceptsButIsStillStartingAndStartThenPlays)
{
    PrivateServer server;
    START_OR_SKIP(server);
    server.freeze();
    std::thread thaw([&] {
        std::this_thread::sleep_for(300ms);
        server.thaw();
    });
    LoopBuffer engine(std::make_unique<PulseWaveOut>());
    const std::string opened = engine.open();
    thaw.join();
    EXPECT_EQ(opened, "0");
    engine.fillChannel(440, 100, 0.0f, Channel::Left);
    EXPECT_TRUE(heard(engine));
}

TEST(ServerFaults, WithNoServerAtAllOpenGivesError003AndNoBuffer)
{
    PrivateServer environmentOnly;  // never started: nothing listens on PULSE_SERVER
    LoopBuffer pulseOnly(std::make_unique<PulseWaveOut>());
    EXPECT_EQ(bounded("Open, no server", [&] { return pulseOnly.open(); }), "Error003");
    EXPECT_TRUE(pulseOnly.samples().empty());
    // The shipped device then tries PortAudio, whose default device here
    // leads to the same missing server.
    LoopBuffer system(makeSystemWaveOut());
    EXPECT_EQ(system.open(), "Error003");
    EXPECT_TRUE(system.samples().empty());
}

// The fallback: PortAudio through ALSA's pulse plugin, as a USB device that
// is unplugged and plugged in again. A stream the host ended is never
// restarted (that hung): Stop succeeds, since nothing plays, Start fails
// while there is no device, and once there is one again Start opens a
// fresh stream and plays.
TEST(ServerFaults, PortAudioLosingItsDeviceStopsCleanlyAndStartsAFreshStreamOnceItIsBack)
{
    PrivateServer server;
    START_OR_SKIP(server);
    MonitorRecording recorder(1.0);
    ASSERT_TRUE(recorder.waitLive());
    auto engine = std::make_unique<LoopBuffer>(std::make_unique<PortAudioWaveOut>());
    ASSERT_EQ(engine->open(), "0");
    engine->fillChannel(440, 100, 0.0f, Channel::Left);
    ASSERT_EQ(engine->startLooped(), "0");
    ASSERT_TRUE(firstSound(recorder.finish(), 0)) << "the tone never reached the sink";

    server.kill();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(bounded("Stop, device gone", [&] { return engine->stop(); }), "0");
    EXPECT_EQ(bounded("Start, device gone", [&] { return engine->startLooped(); }), "Can't write!");

    ASSERT_TRUE(server.start());
    EXPECT_EQ(bounded("Stop", [&] { return engine->stop(); }), "0");
    MonitorRecording again(1.5);
    ASSERT_TRUE(again.waitLive());
    EXPECT_EQ(engine->startLooped(), "0");
    EXPECT_TRUE(firstSound(again.finish(), 0)) << "no sound once the device was back";
    EXPECT_EQ(bounded("Close", [&] { return engine->close(); }), "0");
    bounded("Releasing the device", [&] {
        engine.reset();
        return true;
    });
}

}  // namespace
}  // namespace quavira
