// SPDX-License-Identifier: GPL-3.0-or-later
// The sound-server back end on the sinks desktops run, heard as a listener
// would: PulseAudio's null sink, recorded by a reader that lets it run as
// deep as the stream asks; a PulseAudio sink that cannot rewind (a pipe
// sink on the system clock, whose FIFO is the recording, as Bluetooth and
// tunnel sinks take what they read for good); and PipeWire at the quanta
// desktops run. One session each: changes while the user acts and while
// the stream is deep, Stop, Start, and the device released while the tone
// plays. Nothing may step further between two frames than the tones do.
// The PortAudio fallback goes through the same session, heard at its tap.
#include "loop_buffer.h"
#include "portaudio_wave_out.h"
#include "pulse_wave_out.h"
#include "sound_check.h"
#include "tap_recording.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace quavira {
namespace {

using namespace std::chrono_literals;
using namespace sound;

struct Sink {
    const char* name;
    bool pipeWire;
    int quantum;            // PipeWire's, forced; 0: none
    bool pipe = false;      // PulseAudio: the pipe sink instead of the null sink
    bool portAudio = false;  // the fallback back end, through ALSA's pulse plugin
};

bool run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// What the test makes of the server for one sink, undone when it goes.
class SinkSetup {
public:
    explicit SinkSetup(const Sink& sink) : m_sink(sink)
    {
        if (sink.quantum)
            m_ready = run("pw-metadata -n settings 0 clock.force-quantum " + std::to_string(sink.quantum));
        else if (sink.pipe) {
            m_fifo = std::filesystem::temp_directory_path() / ("quavira-pipe-" + std::to_string(::getpid()));
            const std::string load = "pactl load-module module-pipe-sink sink_name=quavira_pipe file=" + m_fifo +
                                     " format=u8 rate=44100 channels=2 use_system_clock_for_timing=yes";
            m_ready = run(load);
            ::setenv("PULSE_SINK", "quavira_pipe", 1);
        } else {
            m_ready = true;
        }
        std::this_thread::sleep_for(200ms);
    }
    ~SinkSetup()
    {
        if (m_sink.quantum)
            run("pw-metadata -n settings 0 clock.force-quantum 0");
        if (m_sink.pipe) {
            ::unsetenv("PULSE_SINK");
            run("pactl unload-module module-pipe-sink");
            std::filesystem::remove(m_fifo);
        }
    }
    SinkSetup(const SinkSetup&) = delete;
    SinkSetup& operator=(const SinkSetup&) = delete;

    bool ready() const { return m_ready; }
    // Records what the listener hears. The null sink's reader asks for more
    // latency than the deep one, so that it does not keep the sink quick.
    std::unique_ptr<MonitorRecording> recorder(double seconds) const
    {
        if (m_sink.pipe)
            return std::make_unique<MonitorRecording>(seconds, "cat " + m_fifo);
        return std::make_unique<MonitorRecording>(seconds, m_sink.pipeWire ? 10 : 250);
    }
    // The PortAudio fallback is heard at its tap (tap_recording.h).
    std::unique_ptr<TapRecording> tap(double seconds) const
    {
        return m_sink.portAudio ? std::make_unique<TapRecording>(seconds) : nullptr;
    }

private:
    const Sink& m_sink;
    std::string m_fifo;
    bool m_ready = false;
};

class DesktopSinks : public ::testing::TestWithParam<Sink> {};

TEST_P(DesktopSinks, NoStepLargerThanTheTonesOwnThroughChangesStopStartAndRelease)
{
    QUAVIRA_NEED_SOUND_SERVER();
    if (GetParam().pipeWire != serverIsPipeWire())
        GTEST_SKIP() << "a sink of the other server";
    const SinkSetup setup(GetParam());
    ASSERT_TRUE(setup.ready()) << "could not set up " << GetParam().name;
    const auto tap = setup.tap(14.0);
    const auto recorder = setup.recorder(14.0);
    ASSERT_TRUE(recorder->waitLive());

    std::vector<Bytes> loops;
    std::vector<std::string> statuses;
    {
        std::unique_ptr<WaveOut> device = std::make_unique<PulseWaveOut>();
        if (tap) {
            auto fallback = std::make_unique<PortAudioWaveOut>();
            fallback->setTap(tap.get());
            device = std::move(fallback);
        }
        LoopBuffer engine(std::move(device));
        statuses.push_back(engine.open());
        const auto change = [&](std::int32_t hz, Channel channel) {
            engine.fillChannel(hz, 64, 0.0f, channel);
            loops.push_back(snapshot(engine));
        };
        change(440, Channel::Left);
        change(450, Channel::Right);
        // The pointer travels to the start button, as before a click.
        for (int move = 0; move < 30; ++move) {
            engine.expectChanges();
            std::this_thread::sleep_for(10ms);
        }
        statuses.push_back(engine.startLooped());
        std::this_thread::sleep_for(1500ms);
        // Clicks on an arrow, the pointer moving in between; then a drag.
        for (int hz = 460; hz <= 510; hz += 10) {
            engine.expectChanges();
            change(hz, Channel::Right);
            std::this_thread::sleep_for(70ms);
        }
        for (int hz = 520; hz <= 560; hz += 10) {
            change(hz, Channel::Right);
            std::this_thread::sleep_for(2ms);
        }
        // Left alone until the stream is deep, then changed with no warning.
        std::this_thread::sleep_for(2600ms);
        change(600, Channel::Right);
        std::this_thread::sleep_for(2600ms);
        change(500, Channel::Left);
        std::this_thread::sleep_for(300ms);
        statuses.push_back(engine.stop());
        std::this_thread::sleep_for(600ms);
        statuses.push_back(engine.startLooped());
        std::this_thread::sleep_for(1000ms);
        // Released while the tone plays, as when the program ends.
    }
    const Bytes rec = tap ? tap->recording() : recorder->finish();
    if (tap)
        std::printf("the PortAudio fallback is heard at its tap\n");
    EXPECT_EQ(statuses, (std::vector<std::string>{"0", "0", "0", "0"}));

    // Stop and release leave the sink silent for longer than any gap (the
    // tap keeps only what the stream played: a few milliseconds of it).
    const std::size_t kStopped = tap ? 441 : 4410;
    const auto onset = firstSound(rec, 0);
    ASSERT_TRUE(onset) << "nothing was heard";
    const auto stopped = firstSilence(rec, *onset, kStopped);
    ASSERT_TRUE(stopped) << "Stop was not heard";
    const auto again = firstSound(rec, *stopped);
    ASSERT_TRUE(again) << "the second Start was not heard";
    EXPECT_TRUE(firstSilence(rec, *again, kStopped)) << "the tone went on after the device was released";

    std::size_t gaps = 0;
    const std::vector<bool> theServers =
        GetParam().pipeWire ? serverGaps(rec, 3 * static_cast<std::size_t>(GetParam().quantum), &gaps)
                            : std::vector<bool>(frames(rec), false);
    int limit[2] = {};
    for (int channel : {0, 1}) {
        int tones = 0;
        for (const Bytes& loop : loops)
            tones = std::max(tones, largestStep(loop, channel));
        limit[channel] = tones + 2;
        const auto [heard, at] = largestStepOutside(rec, channel, theServers);
        std::printf("%s, channel %d: largest step %d (%.3f s after the onset), the tones' own %d; %zu gap(s) of the server's\n",
                    GetParam().name, channel, heard, (static_cast<double>(at) - static_cast<double>(*onset)) / kRate, tones,
                    gaps);
    }
    EXPECT_LE(clicksOver(rec, limit, theServers), clicksAllowed(GetParam().pipeWire && GetParam().quantum == 256))
        << "places with a step larger than the tones' own plus 2";
}

INSTANTIATE_TEST_SUITE_P(Sinks, DesktopSinks,
                         ::testing::Values(Sink{"PulseAudioNullSink", false, 0}, Sink{"PulseAudioPipeSink", false, 0, true},
                                           Sink{"PortAudioOnPulseAudio", false, 0, false, true},
                                           Sink{"PipeWireQuantum256", true, 256}, Sink{"PipeWireQuantum1024", true, 1024},
                                           Sink{"PipeWireQuantum2048", true, 2048}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace quavira
