// SPDX-License-Identifier: GPL-3.0-or-later
// The sound path's figures on the sound server PULSE_SERVER names, run by
// scripts/measure with no other client attached:
// - steady listening: CPU of the server's processes plus the client over a
//   window that begins 5 s after the last input, for the program's
//   sound-server back end beside a plain 400-ms player and paplay of the
//   same loop from a WAV file;
// - stopped: the client's CPU and wake-ups;
// - from a change call to its first frame heard at the test sink, placed
//   in time from the server's timing info (a recorder with a latency longer
//   than the deep one, so that the sink runs as deep as the stream lets it): while changing,
//   after 5 s without input and 300 ms of pointer movement, and a key after
//   5 s without input (the input watch's note of the key, then the change,
//   as the program makes them).
// Prints figures; asserts nothing.
//
// Usage: sound_figures <server pids file> [seconds per CPU window (20)] [changes (25)]
#include "channel_synthesis.h"
#include "loop_buffer.h"
#include "plain_player.h"
#include "pulse_wave_out.h"
#include "timed_monitor.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace quavira;
using namespace quavira::sound;
using namespace std::chrono_literals;

constexpr auto kQuietBeforeWindow = 5s;
// Recorders of the monitor that do not pull the sink below the deep latency.
// PulseAudio: a latency longer than the deep one, frames placed by the
// record stream's timing info. PipeWire: a native recorder whose node asks
// for the largest default quantum and gets every cycle's frames as they
// come, placed by their arrival (its pulse server's record timing is off).
struct PulseRecorder : TimedMonitor {
    explicit PulseRecorder(double seconds) : TimedMonitor(seconds, 250ms) {}
};
struct PipeWireRecorder : MonitorRecording {
    explicit PipeWireRecorder(double seconds)
        : MonitorRecording(seconds, "pw-record --target " + sinkName() +
                                        " -P stream.capture.sink=true --format u8 --rate 44100 --channels 2 --latency 2048 -")
    {
    }
};

// CPU time of every thread of a process so far, in seconds.
double cpuSeconds(const std::string& pid)
{
    double total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + pid + "/task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        double ns = 0;
        if (schedstat >> ns)
            total += ns / 1e9;
    }
    return total;
}

long long switchesOfSelf()
{
    long long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        std::string key;
        long long value = 0;
        while (status >> key)
            if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
                status >> value;
                total += value;
            }
    }
    return total;
}

struct Cost {
    double serverPercent = 0;
    double clientPercent = 0;
};

// CPU of the server's processes and of `client` over one window.
Cost measureWindow(const std::vector<std::string>& server, const std::string& client, double seconds)
{
    const auto sum = [&] {
        double s = 0;
        for (const std::string& pid : server)
            s += cpuSeconds(pid);
        return s;
    };
    const double serverBefore = sum(), clientBefore = cpuSeconds(client);
    const auto begin = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    return {100 * (sum() - serverBefore) / elapsed, 100 * (cpuSeconds(client) - clientBefore) / elapsed};
}

std::vector<std::uint8_t> toneLoop()
{
    std::vector<Sample> live(kLoopBytes);
    fillChannel(live, 440, 64, 0.0f, Channel::Left);
    fillChannel(live, 450, 64, 0.0f, Channel::Right);
    std::vector<std::uint8_t> loop(kLoopBytes);
    loadBytes(live, loop.data());
    return loop;
}

void writeWave(const std::string& path, const std::vector<std::uint8_t>& loop, int seconds)
{
    std::ofstream out(path, std::ios::binary);
    const auto put32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto put16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const auto dataBytes = static_cast<std::uint32_t>(loop.size() * static_cast<std::size_t>(seconds));
    out.write("RIFF", 4);
    put32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    put32(16);
    put16(1);
    put16(2);
    put32(44100);
    put32(88200);
    put16(2);
    put16(8);
    out.write("data", 4);
    put32(dataBytes);
    for (int s = 0; s < seconds; ++s)
        out.write(reinterpret_cast<const char*>(loop.data()), static_cast<std::streamsize>(loop.size()));
}

void printCost(const char* name, const Cost& cost, double yardstick)
{
    const double whole = cost.serverPercent + cost.clientPercent;
    std::printf("  %-28s %6.3f %% of one core (server %.3f %%, client %.3f %%)", name, whole, cost.serverPercent,
                cost.clientPercent);
    if (yardstick > 0)
        std::printf("  = %.2f x the plain player", whole / yardstick);
    std::printf("\n");
}

void steadyListening(const std::vector<std::string>& server, double seconds)
{
    const std::vector<std::uint8_t> loop = toneLoop();
    const std::string self = std::to_string(::getpid());
    std::printf("Steady listening, whole sound path, %.0f s from %lld s after the last input (no recorder):\n", seconds,
                static_cast<long long>(kQuietBeforeWindow.count()));

    bool deep = false;
    const auto playing = [&](std::optional<NoiseColour> noise) {
        Cost cost;
        auto device = std::make_unique<PulseWaveOut>();
        PulseWaveOut* pulse = device.get();
        LoopBuffer engine(std::move(device));
        if (engine.open() != "0")
            return std::optional<Cost>();
        engine.fillChannel(440, 64, 0.0f, Channel::Left);
        engine.fillChannel(450, 64, 0.0f, Channel::Right);
        engine.setNoise(noise, kDefaultNoiseLevelDb);
        engine.startLooped();
        std::this_thread::sleep_for(kQuietBeforeWindow);
        deep = !pulse->quick();
        cost = measureWindow(server, self, seconds);
        return std::optional<Cost>(cost);
    };
    const std::optional<Cost> tone = playing(std::nullopt);
    if (!tone) {
        std::printf("  no sound server\n");
        return;
    }
    const Cost ours = *tone;
    std::this_thread::sleep_for(1s);
    const Cost withNoise = playing(NoiseColour::Pink).value_or(Cost{});
    std::this_thread::sleep_for(1s);
    Cost plain;
    {
        PlainPlayer player(loop);
        std::this_thread::sleep_for(kQuietBeforeWindow);
        plain = measureWindow(server, self, seconds);
    }
    std::this_thread::sleep_for(1s);
    Cost paplay;
    {
        const std::string wave = std::filesystem::temp_directory_path() / ("quavira-loop-" + self + ".wav");
        writeWave(wave, loop, static_cast<int>(seconds) + 10);
        pid_t pid = 0;
        const char* argv[] = {"paplay", wave.c_str(), nullptr};
        if (::posix_spawnp(&pid, "paplay", nullptr, nullptr, const_cast<char**>(argv), environ) == 0) {
            std::this_thread::sleep_for(kQuietBeforeWindow);
            paplay = measureWindow(server, std::to_string(pid), seconds);
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        std::filesystem::remove(wave);
    }
    const double yardstick = plain.serverPercent + plain.clientPercent;
    printCost(deep ? "Quavira (deep by then)" : "Quavira (still quick!)", ours, yardstick);
    printCost("Quavira with pink noise at -28 dB", withNoise, yardstick);
    printCost("plain player, 400 ms / 100 ms", plain, 0);
    printCost("paplay, defaults", paplay, yardstick);
}

void stopped(double seconds)
{
    LoopBuffer engine(std::make_unique<PulseWaveOut>());
    if (engine.open() != "0")
        return;
    engine.fillChannel(440, 64, 0.0f, Channel::Left);
    engine.startLooped();
    std::this_thread::sleep_for(1s);
    engine.stop();
    std::this_thread::sleep_for(1s);
    const std::string self = std::to_string(::getpid());
    const double cpuBefore = cpuSeconds(self);
    const long long switchesBefore = switchesOfSelf();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    // The measuring thread's own two switches (to sleep, awake) are not the client's.
    const double wakeups = static_cast<double>(std::max(0LL, switchesOfSelf() - switchesBefore - 2)) / seconds;
    std::printf("Stopped, %.0f s: client CPU %.4f %%, %.2f wake-ups/s\n", seconds,
                100 * (cpuSeconds(self) - cpuBefore) / seconds, wakeups);
}

// One way of changing: what happens before each change call.
struct Scenario {
    const char* name;
    std::function<void(LoopBuffer&)> before;
};

// The right channel switches between amplitudes 100 and 10 of a 2000 Hz
// tone; the midpoint of the 5-ms fade is where its envelope crosses 55, and
// the fade began half a fade before. Works through a resampling graph too.
template <class Recorder>
void changeLatency(const Scenario& scenario, int changes, double secondsPerChange)
{
    Recorder recorder(4.0 + secondsPerChange * changes);
    if (!recorder.waitLive()) {
        std::printf("  %s: no monitor\n", scenario.name);
        return;
    }
    auto device = std::make_unique<PulseWaveOut>();
    PulseWaveOut* pulse = device.get();
    LoopBuffer engine(std::move(device));
    engine.open();
    engine.fillChannel(1990, 100, 0.0f, Channel::Left);
    engine.fillChannel(2000, 100, 0.0f, Channel::Right);
    engine.startLooped();
    // The sink first plays out what it rendered ahead at the recorder's latency.
    std::this_thread::sleep_for(2500ms);
    std::vector<Clock::time_point> calls;
    std::vector<bool> quickAtCall;
    for (int k = 0; k < changes; ++k) {
        scenario.before(engine);
        quickAtCall.push_back(pulse->quick());
        calls.push_back(Clock::now());
        engine.fillChannel(2000, k % 2 == 0 ? 10 : 100, 0.0f, Channel::Right);
    }
    std::this_thread::sleep_for(1s);
    engine.stop();
    const Bytes& rec = recorder.finish();
    const std::size_t n = rec.size() / 2;
    const auto right = [&](std::size_t f) { return std::abs(rec[2 * f + 1] - 127); };
    constexpr std::size_t kPeriod = 23;  // frames of one 2000 Hz cycle, rounded up
    constexpr double kHalfFadeMs = 2.5;
    std::vector<double> ms;
    std::size_t f = kPeriod;
    for (int k = 0; k < changes; ++k) {
        while (f < n && recorder.timeOf(f) < calls[static_cast<std::size_t>(k)] - 10ms)
            ++f;
        const bool falling = k % 2 == 0;
        for (; f < n; ++f) {
            int peak = 0;
            for (std::size_t j = f + 1 - kPeriod; j <= f; ++j)
                peak = std::max(peak, right(j));
            if (falling ? peak < 55 : right(f) > 55)
                break;
        }
        if (f < n)
            ms.push_back(recorder.msAfter(calls[static_cast<std::size_t>(k)], f) - kHalfFadeMs);
    }
    const auto quick = std::count(quickAtCall.begin(), quickAtCall.end(), true);
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) {
        std::printf("  %-48s not heard\n", scenario.name);
        return;
    }
    std::printf("  %-48s median %6.1f ms (%.1f..%.1f, %zu of %d heard; quick at %ld calls; read step %llu frames)\n",
                scenario.name, ms[ms.size() / 2], ms.front(), ms.back(), ms.size(), changes, static_cast<long>(quick),
                static_cast<unsigned long long>(pulse->readStepFrames()));
}

// Idle spells of 5 s and a bit: the server's steps keep their own phase, so
// whole multiples of their period would always land a change at the same
// point of it.
void idle()
{
    static std::mt19937 spread(1);
    std::this_thread::sleep_for(kQuietBeforeWindow + std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 250)(spread)));
}

void pointerMoves(LoopBuffer& engine, std::chrono::milliseconds span)
{
    for (const auto end = Clock::now() + span; Clock::now() < end;) {
        engine.expectChanges();
        std::this_thread::sleep_for(10ms);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: sound_figures <server pids file> [seconds (20)] [changes (25)]\n");
        return 2;
    }
    std::vector<std::string> server;
    std::ifstream pids(argv[1]);
    for (std::string pid; pids >> pid;)
        if (std::filesystem::exists("/proc/" + pid))
            server.push_back(pid);
    const double seconds = argc > 2 ? std::atof(argv[2]) : 20;
    const int changes = argc > 3 ? std::atoi(argv[3]) : 25;
    std::fflush(stdout);
    if (std::system("pactl info 2>/dev/null | grep 'Server Name'") != 0)
        std::printf("Server Name: unknown\n");
    std::fflush(stdout);

    steadyListening(server, seconds);
    stopped(seconds);
    const bool pipeWire = serverIsPipeWire();
    std::printf("Change call to its first frame heard at the sink (%s):\n",
                pipeWire ? "pw-record at 2048 frames, frames placed by arrival" : "recorder latency 250 ms, frames placed by timing info");
    const auto changeLatency = pipeWire ? ::changeLatency<PipeWireRecorder> : ::changeLatency<PulseRecorder>;
    changeLatency({"while changing (pointer moving meanwhile)",
                   [](LoopBuffer& e) {
                       static std::mt19937 spread(2);
                       pointerMoves(e, std::chrono::milliseconds(std::uniform_int_distribution<int>(150, 250)(spread)));
                   }},
                  changes, 0.25);
    changeLatency({"after 5 s idle and 300 ms of pointer movement",
                   [](LoopBuffer& e) {
                       idle();
                       pointerMoves(e, 300ms);
                   }},
                  changes, 5.6);
    // A key: the input watch notes the key press before its change is
    // made, as in the program.
    changeLatency({"a key after 5 s idle (the note, then the change)",
                   [](LoopBuffer& e) {
                       idle();
                       e.expectChanges();
                   }},
                  changes, 5.3);
}
