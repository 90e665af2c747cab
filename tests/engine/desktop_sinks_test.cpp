// SPDX-License-Identifier: GPL-3.0-or-later
// The sound-server back end on the sinks desktops run, heard as a listener
// would: PulseAudio's null sink, recorded by a reader that lets it run as
// deep as the stream asks; a PulseAudio sink that cannot rewind (a pipe
// sink on the system clock, whose FIFO is the recording, as Bluetooth and
// tunnel sinks take what they read for good); and PipeWire at the quanta
// desktops run. One session each: changes while the user acts and while
// the stream is deep, Stop, Start, and the device released while the tone
// plays. Nothing may step further between two frames than the tones do.
#include "loop_buffer.h"
#include "pulse_wave_out.h"
#include "sound_check.h"

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
    int quantum;       // PipeWire's, forced; 0: none
    bool pipe = false;  // PulseAudio: the pipe sink instead of the null sink
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
    const auto recorder = setup.recorder(14.0);
    ASSERT_TRUE(recorder->waitLive());

    std::vector<Bytes> loops;
    std::vector<std::string> statuses;
    {
        LoopBuffer engine(std::make_unique<PulseWaveOut>());
        statuses.push_back(engine.open());
        const auto change = [&](std::int32_t hz, Channel channel) {
            engine.fillChannel(hz, 64, 0.0f, channel);
            loops.push_back(snapshot(engine));
        };
        change(440, Channel::Left);
        change(450, Channel::Right);
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
    const Bytes& rec = recorder->finish();
    EXPECT_EQ(statuses, (std::vector<std::string>{"0", "0", "0", "0"}));

    const auto onset = firstSound(rec, 0);
    ASSERT_TRUE(onset) << "nothing was heard";
    const auto stopped = firstSilence(rec, *onset);
    ASSERT_TRUE(stopped) << "Stop was not heard";
    const auto again = firstSound(rec, *stopped);
    ASSERT_TRUE(again) << "the second Start was not heard";
    EXPECT_TRUE(firstSilence(rec, *again)) << "the tone went on after the device was released";
    for (int channel : {0, 1}) {
        int tones = 0;
        for (const Bytes& loop : loops)
            tones = std::max(tones, largestStep(loop, channel));
        const int heard = largestStep(rec, channel, 0, frames(rec));
        std::size_t at = 1;
        while (at < frames(rec) && std::abs(rec[2 * at + channel] - rec[2 * (at - 1) + channel]) < heard)
            ++at;
        std::printf("%s, channel %d: largest step %d (%.3f s after the onset; stop heard at %.3f s, start at %.3f s), the tones' own %d\n",
                    GetParam().name, channel, heard, (static_cast<double>(at) - static_cast<double>(*onset)) / kRate,
                    static_cast<double>(*stopped - *onset) / kRate, static_cast<double>(*again - *onset) / kRate, tones);
        EXPECT_LE(heard, tones + 2) << "channel " << channel;
    }
}

INSTANTIATE_TEST_SUITE_P(Sinks, DesktopSinks,
                         ::testing::Values(Sink{"PulseAudioNullSink", false, 0}, Sink{"PulseAudioPipeSink", false, 0, true},
                                           Sink{"PipeWireQuantum256", true, 256}, Sink{"PipeWireQuantum1024", true, 1024},
                                           Sink{"PipeWireQuantum2048", true, 2048}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace quavira
