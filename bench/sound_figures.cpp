// The two back ends side by side on the sound server that PULSE_SERVER
// names: CPU time and wake-ups of this process while playing and while
// stopped, and the time from a change call to its first frame at the test
// sink's monitor. Prints figures; asserts nothing.
//
// Usage: sound_figures [seconds per CPU window (20)] [changes (25)]
#include "loop_buffer.h"
#include "monitor_recording.h"
#include "portaudio_wave_out.h"
#include "pulse_wave_out.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace quavira;
using namespace quavira::sound;
using namespace std::chrono_literals;

struct Usage {
    double cpuSeconds = 0;
    long long switches = 0;  // context switches of every thread: its wake-ups
};

Usage usageNow()
{
    Usage u;
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    u.cpuSeconds = static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
                   static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        std::string key;
        long long value = 0;
        while (status >> key) {
            if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
                status >> value;
                u.switches += value;
            }
        }
    }
    return u;
}

struct Window {
    double cpuPercent = 0;
    double wakeupsPerSecond = 0;
};

// One sleep of the measuring thread for the whole window: its own two
// switches (going to sleep, waking) are taken off.
Window measure(double seconds)
{
    const Usage before = usageNow();
    const auto begin = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    const Usage after = usageNow();
    return {100 * (after.cpuSeconds - before.cpuSeconds) / elapsed,
            static_cast<double>(std::max(0LL, after.switches - before.switches - 2)) / elapsed};
}

void fillTone(LoopBuffer& engine, std::int8_t rightAmplitude)
{
    engine.fillChannel(2000, rightAmplitude, 0.0f, Channel::Right);
}

// From each change call to the first frame at the monitor that differs from
// the tone before it. The right channel switches between amplitudes 100 and
// 10 of a 2000 Hz tone; the midpoint of the 5-ms fade is where its envelope
// crosses 55, and the fade began half a fade before. Works through a
// resampling graph too.
std::vector<double> changeLatencies(LoopBuffer& engine, int changes)
{
    MonitorRecording recorder(1.0 + 0.15 * changes);
    if (!recorder.waitLive())
        return {};
    std::vector<Clock::time_point> calls;
    std::this_thread::sleep_for(300ms);
    for (int k = 0; k < changes; ++k) {
        calls.push_back(Clock::now());
        fillTone(engine, k % 2 == 0 ? 10 : 100);
        std::this_thread::sleep_for(150ms);
    }
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
    std::sort(ms.begin(), ms.end());
    return ms;
}

void report(const char* name, const std::function<std::unique_ptr<WaveOut>()>& make, double seconds, int changes)
{
    LoopBuffer engine(make());
    const std::string opened = engine.open();
    if (opened != "0") {
        std::printf("%-10s Open gave \"%s\"\n", name, opened.c_str());
        return;
    }
    engine.fillChannel(1990, 100, 0.0f, Channel::Left);
    fillTone(engine, 100);
    engine.startLooped();
    std::this_thread::sleep_for(2s);
    const Window playing = measure(seconds);
    const std::vector<double> ms = changeLatencies(engine, changes);
    engine.stop();
    std::this_thread::sleep_for(1s);
    const Window stopped = measure(seconds);
    std::printf("%-10s playing: CPU %.3f %% of one core, %.1f wake-ups/s | stopped: CPU %.3f %%, %.2f wake-ups/s | ",
                name, playing.cpuPercent, playing.wakeupsPerSecond, stopped.cpuPercent, stopped.wakeupsPerSecond);
    if (ms.empty())
        std::printf("change latency: not measured (no monitor)\n");
    else
        std::printf("change call to first changed frame at the monitor: median %.1f ms (%.1f..%.1f, %zu changes)\n",
                    ms[ms.size() / 2], ms.front(), ms.back(), ms.size());
    engine.close();
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    const int changes = argc > 2 ? std::atoi(argv[2]) : 25;
    std::fflush(stdout);
    std::system("pactl info 2>/dev/null | grep 'Server Name'");
    report("libpulse", [] { return std::make_unique<PulseWaveOut>(); }, seconds, changes);
    report("PortAudio", [] { return std::make_unique<PortAudioWaveOut>(); }, seconds, changes);
}
