// The audio server lost while the loop plays. Each test runs its own
// PulseAudio (one null sink, u8 stereo at 44,100 Hz) from a temporary
// directory and points this process's ALSA default device, and so
// PortAudio's, at it before PortAudio starts; the shared test server is
// never touched. Every engine call runs under a time limit, so a call that
// hangs on the dead server fails the run instead of blocking it.
#include "channel_synthesis.h"
#include "loop_buffer.h"
#include "portaudio_wave_out.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace quavira {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kSink = "quavira_loss";

pid_t spawn(std::vector<std::string> args, int stdoutFd = -1)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// A private server's environment in a temporary directory: runtime dir,
// PULSE_SERVER, a home whose .asoundrc routes ALSA's default pcm to pulse,
// and a client configuration that never spawns a server of its own. The
// server itself runs only between start and kill.
class PrivateServer {
public:
    PrivateServer()
    {
        char dir[] = "/tmp/quavira-loss.XXXXXX";
        if (!::mkdtemp(dir))
            return;
        m_dir = dir;
        const std::filesystem::path runtime = m_dir / "runtime", home = m_dir / "home";
        std::filesystem::create_directories(runtime / "pulse");
        std::filesystem::create_directories(home);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        std::ofstream(home / ".asoundrc") << "pcm.!default { type pulse }\nctl.!default { type pulse }\n";
        std::ofstream(m_dir / "client.conf") << "autospawn = no\n";
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("HOME", home.c_str(), 1);
        m_socket = runtime / "pulse" / "native";
        ::setenv("PULSE_SERVER", ("unix:" + m_socket.string()).c_str(), 1);
        ::setenv("PULSE_CLIENTCONFIG", (m_dir / "client.conf").c_str(), 1);
    }
    ~PrivateServer()
    {
        kill();
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir);
    }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    bool start()
    {
        if (m_dir.empty())
            return false;
        m_pid = spawn({"pulseaudio", "-n", "--exit-idle-time=-1", "--use-pid-file=no",
                       "--log-target=file:" + (m_dir / "pulse.log").string(),
                       std::string("--load=module-null-sink sink_name=") + kSink + " format=u8 rate=44100 channels=2",
                       "--load=module-native-protocol-unix socket=" + m_socket.string() + " auth-anonymous=1"});
        for (int i = 0; m_pid > 0 && i < 50; ++i) {
            if (std::system("pactl info >/dev/null 2>&1") == 0)
                return std::system((std::string("pactl set-default-sink ") + kSink + " >/dev/null 2>&1").c_str()) == 0;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
    void kill()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    std::filesystem::path m_dir;
    std::filesystem::path m_socket;
    pid_t m_pid = -1;
};

// parec on the sink's monitor, counting the bytes that are not silence; it
// ends by itself when the server goes.
class Monitor {
public:
    Monitor()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        m_pid = spawn({"parec", std::string("--device=") + kSink + ".monitor", "--format=u8", "--channels=2",
                       "--rate=44100", "--latency-msec=10", "--raw"},
                      fds[1]);
        ::close(fds[1]);
        m_fd = fds[0];
        m_reader = std::thread([this] {
            unsigned char chunk[4096];
            ssize_t n;
            while ((n = ::read(m_fd, chunk, sizeof chunk)) > 0) {
                long long sound = 0;
                for (ssize_t i = 0; i < n; ++i)
                    sound += chunk[i] != 128;
                m_bytes += n;
                m_sound += sound;
            }
        });
    }
    ~Monitor()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_reader.joinable())
            m_reader.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    bool waitFor(const std::atomic<long long>& count, long long atLeast) const
    {
        for (const auto end = Clock::now() + 5s; count.load() < atLeast && Clock::now() < end;)
            std::this_thread::sleep_for(5ms);
        return count.load() >= atLeast;
    }
    bool waitUntilLive() const { return m_pid > 0 && waitFor(m_bytes, 88200 / 4); }
    bool waitForSound() const { return waitFor(m_sound, 88200 / 2); }

private:
    pid_t m_pid = -1;
    int m_fd = -1;
    std::thread m_reader;
    std::atomic<long long> m_bytes{0};
    std::atomic<long long> m_sound{0};
};

// Runs `call` on a thread of its own. One that has not returned within
// `limit` has hung on the dead server: the run ends at once as a failure,
// since the hung thread can be neither joined nor abandoned safely. The
// note goes to stdout: the device mutes stderr around some host calls.
template <class Call>
auto withinLimit(const char* what, Call call, std::chrono::seconds limit = 5s)
{
    std::packaged_task<decltype(call())()> task(std::move(call));
    auto result = task.get_future();
    std::thread worker(std::move(task));
    const auto begin = Clock::now();
    if (result.wait_for(limit) != std::future_status::ready) {
        std::printf("FAILED: %s did not return within %lld s\n", what, static_cast<long long>(limit.count()));
        std::fflush(stdout);
        std::_Exit(EXIT_FAILURE);
    }
    worker.join();
    std::printf("%s returned after %.1f ms\n", what,
                std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    return result.get();
}

void skipOrFailWithoutServer()
{
    if (std::getenv("QUAVIRA_TEST_SINK"))
        FAIL() << "could not start a private PulseAudio server (pulseaudio, pactl)";
    GTEST_SKIP() << "no private PulseAudio server could be started; run through scripts/test";
}

TEST(ServerLoss, EveryCallAfterTheServerDiedMidToneFailsPromptly)
{
    PrivateServer server;
    if (!server.start())
        return skipOrFailWithoutServer();
    Monitor monitor;
    ASSERT_TRUE(monitor.waitUntilLive()) << "the sink's monitor could not be recorded (parec)";

    auto engine = std::make_unique<LoopBuffer>(std::make_unique<PortAudioWaveOut>());
    ASSERT_EQ(withinLimit("Open", [&] { return engine->open(); }), "0");
    engine->fillChannel(440, 100, 0.0f, Channel::Left);
    engine->fillChannel(450, 100, 0.0f, Channel::Right);
    ASSERT_EQ(withinLimit("Start", [&] { return engine->startLooped(); }), "0");
    ASSERT_TRUE(monitor.waitForSound()) << "the tone never reached the sink";

    server.kill();
    std::this_thread::sleep_for(1s);  // the user presses Stop a moment later

    // The tone ended with the server; none of these may report "0".
    EXPECT_EQ(withinLimit("Stop after the loss", [&] { return engine->stop(); }), "Can't stop, won't stop!");
    EXPECT_EQ(withinLimit("Start after the loss", [&] { return engine->startLooped(); }), "Can't reset!");
    EXPECT_EQ(withinLimit("Close after the loss", [&] { return engine->close(); }), "Unable to close!");
    withinLimit("Releasing the device", [&] {
        engine.reset();
        return true;
    });
}

TEST(ServerLoss, OpenWithNoServerGivesError003AndNoBuffer)
{
    PrivateServer environmentOnly;  // never started: nothing listens on PULSE_SERVER
    LoopBuffer engine(std::make_unique<PortAudioWaveOut>());
    EXPECT_EQ(withinLimit("Open without a server", [&] { return engine.open(); }), "Error003");
    EXPECT_TRUE(engine.samples().empty());
}

}  // namespace
}  // namespace quavira
