// SPDX-License-Identifier: GPL-3.0-or-later
// The sound server lost, frozen and restarted under a playing engine. Each
// test runs a server of its own (the kind in QUAVIRA_TEST_SERVER) in a
// temporary directory through the test script, and points this process and
// its recorders at it. Every engine call runs under a hang guard.
#include "fade_curve.h"
#include "fallback_wave_out.h"
#include "loop_buffer.h"
#include "our_sink_input.h"
#include "portaudio_wave_out.h"
#include "pulse_wave_out.h"
#include "sound_check.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
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
    const std::string& dir() const { return m_dir; }
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

// A unix socket between the client and the server that holds every byte
// for `delay` each way, so every round trip takes over twice that. It
// relays bytes only, so the client must not pass memory by descriptors
// (enable-shm = no).
class DelayingProxy {
public:
    DelayingProxy(std::string listenPath, std::string serverPath, std::chrono::milliseconds delay)
        : m_serverPath(std::move(serverPath)), m_delay(delay)
    {
        m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = addressOf(listenPath);
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 4) != 0)
            return;
        if (::pipe2(m_stop, O_CLOEXEC) != 0)
            return;
        m_thread = std::thread([this] { run(); });
    }
    ~DelayingProxy()
    {
        if (m_thread.joinable()) {
            (void)!::write(m_stop[1], "x", 1);
            m_thread.join();
        }
        for (int fd : {m_listener, m_stop[0], m_stop[1]})
            if (fd >= 0)
                ::close(fd);
    }
    DelayingProxy(const DelayingProxy&) = delete;
    DelayingProxy& operator=(const DelayingProxy&) = delete;

    bool listening() const { return m_thread.joinable(); }

private:
    struct Held {
        Clock::time_point due;
        std::string bytes;
    };
    struct Direction {
        int from = -1;
        int to = -1;
        std::deque<Held> held;
    };

    static sockaddr_un addressOf(const std::string& path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        return address;
    }

    void run()
    {
        std::vector<Direction> directions;  // pairs: client to server, server to client
        for (;;) {
            std::vector<pollfd> fds{{m_stop[0], POLLIN, 0}, {m_listener, POLLIN, 0}};
            int timeoutMs = -1;
            for (const Direction& d : directions) {
                fds.push_back({d.from, POLLIN, 0});  // ignored once closed (-1)
                if (!d.held.empty()) {
                    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(d.held.front().due - Clock::now());
                    const int ms = static_cast<int>(std::max<long long>(wait.count(), 0));
                    timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
                }
            }
            if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR)
                break;
            if (fds[0].revents)
                break;
            // Those polled, before a new connection adds its own.
            for (std::size_t k = 0; k + 2 < fds.size(); ++k)
                if (fds[k + 2].revents & (POLLIN | POLLHUP))
                    take(directions[k]);
            if (fds[1].revents & POLLIN)
                accept(directions);
            for (Direction& d : directions)
                for (; !d.held.empty() && d.held.front().due <= Clock::now(); d.held.pop_front())
                    (void)!::write(d.to, d.held.front().bytes.data(), d.held.front().bytes.size());
        }
        for (const int fd : m_sockets)
            ::close(fd);
    }

    void accept(std::vector<Direction>& directions)
    {
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = addressOf(m_serverPath);
        if (client < 0 || server < 0 || ::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(client);
            ::close(server);
            return;
        }
        m_sockets.push_back(client);
        m_sockets.push_back(server);
        directions.push_back({client, server, {}});
        directions.push_back({server, client, {}});
    }

    void take(Direction& d)
    {
        char buffer[65536];
        const ssize_t n = ::read(d.from, buffer, sizeof buffer);
        if (n > 0)
            d.held.push_back({Clock::now() + m_delay, std::string(buffer, static_cast<std::size_t>(n))});
        else
            d.from = -1;  // that end has gone
    }

    std::string m_serverPath;
    std::chrono::milliseconds m_delay;
    int m_listener = -1;
    int m_stop[2] = {-1, -1};
    std::vector<int> m_sockets;
    std::thread m_thread;
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

// The loudest byte's distance from silence in what the sink heard.
int peakOf(const Bytes& rec)
{
    int peak = 0;
    for (const std::uint8_t b : rec)
        peak = std::max(peak, std::abs(b - 128));
    return peak;
}

int peakHeard()
{
    MonitorRecording recorder(3.0);
    return recorder.waitLive() ? peakOf(recorder.finish()) : 0;
}

// The sleep timer's fade is the back end's to keep: a tone that comes back
// on a new stream plays at the level the fade has reached, and a fade
// asked for while it is being brought back is not lost.
TEST(ServerFaults, AToneBroughtBackDuringTheSleepTimersFadePlaysAtTheFadesLevel)
{
    PrivateServer server;
    START_OR_SKIP(server);
    auto engine = playingEngine();
    ASSERT_TRUE(heard(*engine));
    const int full = peakHeard();
    ASSERT_GT(full, 60) << "the tone at full level";

    struct Case {
        const char* what;
        bool fadeWhileGone;
        double depth;
    };
    for (const Case& c : {Case{"asked before the server went", false, 0.25}, Case{"asked while it was gone", true, 0.5}}) {
        if (!c.fadeWhileGone)
            engine->fadeLevel(c.depth, 0ms);
        server.kill();
        std::this_thread::sleep_for(300ms);
        if (c.fadeWhileGone)
            engine->fadeLevel(c.depth, 0ms);
        ASSERT_TRUE(server.start());
        const double expected = full * fadeOutGain(c.depth);
        // A few steps for rounding, and PipeWire's float graph resampling.
        EXPECT_NEAR(peakHeard(), expected, 0.2 * expected + 2) << c.what << "; full level " << full;
    }
    EXPECT_EQ(bounded("Stop", [&] { return engine->stop(); }), "0");
}

// Whether the server shows the program's stream corked.
bool ourStreamCorked()
{
    const char* command = "LC_ALL=C pactl list sink-inputs 2>/dev/null | awk '/^Sink Input #/ { c = \"\" } "
                          "/^\\tCorked:/ { c = $2 } /application.name = \"Quavira\"/ { print c }'";
    char line[64] = {};
    FILE* pactl = ::popen(command, "r");
    if (!pactl)
        return false;
    const bool corked = std::fgets(line, sizeof line, pactl) && std::string(line) == "yes\n";
    ::pclose(pactl);
    return corked;
}

// A Stop made while the server stalls for 0.3 s writes its fade after what
// is queued; once the server answers, the fade is moved up and the stream
// corked. Moved up, the fade starts two of the deep sink's steps (its
// 200-ms latency, which the stream asks for) and a write's transit past the
// read index, behind the 200 ms the sink holds: about 0.65 s, and a few
// round trips (the late answer, the position asked in line, the fade check,
// the cork) besides. Without the move it sits at the end of the queue, 1.7 s
// past the read index, less the 0.3 s the sink catches up at once: over
// 1.3 s. So a second, plus the four round trips' share of a slow link,
// holds on a loaded machine and still tells the two apart. The listener has
// left the tone alone for longer than kQuietBeforeDeep, so the stream rests
// at once rather than staying primed for a next action.
void stopDuringAStallEndsCorked(std::chrono::milliseconds oneWayDelay)
{
    PrivateServer server;
    START_OR_SKIP(server);
    std::unique_ptr<DelayingProxy> proxy;
    const std::string serverAddress = std::getenv("PULSE_SERVER");
    if (oneWayDelay > 0ms) {
        std::FILE* conf = std::fopen((server.dir() + "/client.conf").c_str(), "a");
        ASSERT_TRUE(conf);
        std::fputs("enable-shm = no\nenable-memfd = no\n", conf);
        std::fclose(conf);
        proxy = std::make_unique<DelayingProxy>(server.dir() + "/proxy", serverAddress.substr(5), oneWayDelay);
        ASSERT_TRUE(proxy->listening());
        ::setenv("PULSE_SERVER", ("unix:" + server.dir() + "/proxy").c_str(), 1);
    }
    LoopBuffer engine(std::make_unique<PulseWaveOut>());
    const std::string opened = engine.open();
    ::setenv("PULSE_SERVER", serverAddress.c_str(), 1);  // pactl asks the server itself
    ASSERT_EQ(opened, "0");
    engine.fillChannel(440, 100, 0.0f, Channel::Left);
    ASSERT_TRUE(heard(engine));
    std::this_thread::sleep_for(PulseWaveOut::kQuietBeforeDeep + 500ms);
    ASSERT_FALSE(ourStreamCorked());

    const auto thawAt = Clock::now() + 300ms;
    server.freeze();
    EXPECT_EQ(bounded("Stop, server stalled", [&] { return engine.stop(); }), "0");
    std::this_thread::sleep_until(thawAt);
    server.thaw();
    const auto thawed = Clock::now();
    bool corked = false;
    while (!(corked = ourStreamCorked()) && Clock::now() - thawed < 3s)
        std::this_thread::sleep_for(20ms);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - thawed).count();
    std::printf("corked %.0f ms after the server answered\n", ms);
    EXPECT_TRUE(corked) << "the stream was never corked";
    EXPECT_LE(ms, 1000.0 + 4 * 2 * static_cast<double>(oneWayDelay.count()));
}

TEST(ServerFaults, AStopMadeDuringAStallEndsCorkedWithinASecondOfTheServerAnswering)
{
    stopDuringAStallEndsCorked(0ms);
}

// Every round trip takes over 60 ms: slower than a fixed idea of a quick
// answer, as quick as this server ever is.
TEST(ServerFaults, AStopMadeDuringAStallEndsCorkedOverSlowRoundTripsToo)
{
    stopDuringAStallEndsCorked(30ms);
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
