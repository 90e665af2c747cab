// SPDX-License-Identifier: GPL-3.0-or-later
// Real sound: each back end plays into the test server's null sink, whose
// monitor is recorded and measured. On PulseAudio the sink is u8 stereo at
// 44,100 Hz, so the recording holds the played bytes exactly; PipeWire's
// float graph resamples, so there the tones and the timings are checked.
#include "busy_cores.h"
#include "loop_buffer.h"
#include "portaudio_wave_out.h"
#include "pulse_wave_out.h"
#include "sound_check.h"
#include "tap_recording.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <thread>

namespace quavira {
namespace {

using namespace std::chrono_literals;
using namespace sound;

enum class Backend { Pulse, PortAudio };

// The PortAudio fallback is heard at its tap (tap_recording.h).
std::unique_ptr<WaveOut> makeDevice(Backend backend, OutputTap* tap)
{
    if (backend == Backend::Pulse)
        return std::make_unique<PulseWaveOut>();
    auto device = std::make_unique<PortAudioWaveOut>();
    device->setTap(tap);
    return device;
}

// One session as a listener has it: a tone; ten changes of the right channel
// 70 ms apart, as from clicks on the offset arrow; a burst of changes 2 ms
// apart, as from a slider drag; a preset (both channels); Stop; Start.
struct Session {
    std::vector<std::string> statuses;
    std::vector<Bytes> loops;  // the buffer after each change, in order
    std::vector<Clock::time_point> changeCalls;
    Clock::time_point stopCall, restartCall;
    Bytes recording;
    std::unique_ptr<MonitorRecording> recorder;  // the sound-server back end's

    explicit Session(Backend backend)
    {
        // The monitor is read in any case: an idle null sink renders in 2-s
        // blocks, and a stream that starts then waits for them to play out.
        recorder = std::make_unique<MonitorRecording>(8.5);
        if (!recorder->waitLive())
            return;
        if (backend == Backend::PortAudio) {
            TapRecording tap(8.5);
            play(makeDevice(backend, &tap));
            recording = tap.recording();
            recorder.reset();
            return;
        }
        play(makeDevice(backend, nullptr));
        recording = recorder->finish();
    }

    void play(std::unique_ptr<WaveOut> device)
    {
        LoopBuffer engine(std::move(device));
        statuses.push_back(engine.open());
        engine.fillChannel(440, 64, 0.0f, Channel::Left);
        engine.fillChannel(450, 64, 0.0f, Channel::Right);
        loops.push_back(snapshot(engine));
        statuses.push_back(engine.startLooped());
        std::this_thread::sleep_for(1300ms);
        const auto change = [&](std::int32_t hz, Channel channel) {
            changeCalls.push_back(Clock::now());
            engine.fillChannel(hz, 64, 0.0f, channel);
            loops.push_back(snapshot(engine));
        };
        for (int hz = 460; hz <= 550; hz += 10) {
            change(hz, Channel::Right);
            std::this_thread::sleep_for(70ms);
        }
        std::this_thread::sleep_for(300ms);
        for (int hz = 560; hz <= 650; hz += 10) {
            change(hz, Channel::Right);
            std::this_thread::sleep_for(2ms);
        }
        std::this_thread::sleep_for(300ms);
        change(859, Channel::Right);
        change(852, Channel::Left);
        std::this_thread::sleep_for(1300ms);  // over the loop's seam
        stopCall = Clock::now();
        statuses.push_back(engine.stop());
        std::this_thread::sleep_for(500ms);
        restartCall = Clock::now();
        statuses.push_back(engine.startLooped());
        std::this_thread::sleep_for(800ms);
        statuses.push_back(engine.stop());
    }
};

constexpr std::size_t kStopSilenceFrames = 4410;

class RealSound : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        QUAVIRA_NEED_SOUND_SERVER();
        // The fallback serves machines without a sound server; PulseAudio's
        // ALSA plugin stands in for their device, and PipeWire's would only
        // repeat that path.
        if (GetParam() == Backend::PortAudio && serverIsPipeWire())
            GTEST_SKIP() << "the PortAudio fallback is heard through PulseAudio";
        static std::map<Backend, std::unique_ptr<Session>> sessions;
        auto& session = sessions[GetParam()];
        if (!session)
            session = std::make_unique<Session>(GetParam());
        s = session.get();
        ASSERT_EQ(s->statuses, (std::vector<std::string>{"0", "0", "0", "0", "0"}));
        const auto onset = firstSound(s->recording, 0);
        ASSERT_TRUE(onset) << "nothing was heard";
        // At the monitor, Stop is told by a silence of 100 ms (the tone rests
        // 500 ms before it starts again): a cycle or two that PipeWire misses
        // on a busy machine is a shorter silence of the server's, not the
        // Stop. The fallback's tap hears only what its callback plays.
        const std::size_t stopSilence = s->recorder ? kStopSilenceFrames : 441;
        const auto stopped = firstSilence(s->recording, *onset, stopSilence);
        ASSERT_TRUE(stopped) << "Stop was not heard";
        const auto again = firstSound(s->recording, *stopped);
        ASSERT_TRUE(again) << "the second Start was not heard";
        m_onset = *onset, m_stopped = *stopped, m_again = *again;
        m_end = firstSilence(s->recording, m_again, stopSilence).value_or(frames(s->recording));
    }

    Session* s = nullptr;
    std::size_t m_onset = 0, m_stopped = 0, m_again = 0, m_end = 0;
};

TEST_P(RealSound, NoStepLargerThanTheTonesOwnAcrossChangesStartsAndStops)
{
    // PipeWire's own missed cycles at the small quantum of a quick stream
    // are left out (see serverGaps).
    std::size_t gaps = 0;
    const std::vector<bool> theServers = serverIsPipeWire() ? serverGaps(s->recording, 3 * 256, &gaps)
                                                            : std::vector<bool>(frames(s->recording), false);
    int limit[2] = {};
    for (int channel : {0, 1}) {
        for (const Bytes& loop : s->loops)
            limit[channel] = std::max(limit[channel], largestStep(loop, channel) + 2);
    }
    // A quick stream runs PipeWire at its quantum of 256.
    EXPECT_LE(clicksOver(s->recording, limit, theServers), clicksAllowed(serverIsPipeWire()))
        << "places with a step larger than the tones' own plus 2; " << gaps << " gap(s) of the server's";
}

TEST_P(RealSound, EveryChangeIsHeardExactlyFromItsFadeOnAndStartsFromTheFirstFrame)
{
    if (serverIsPipeWire())
        GTEST_SKIP() << "PipeWire resamples: bytes are compared on PulseAudio only";
    const auto origin = originOf(s->recording, m_onset, s->loops.front());
    ASSERT_TRUE(origin);
    EXPECT_LE(m_onset - *origin, 32u) << "the fade-in does not begin at the buffer's first frame";
    EXPECT_EQ(followsLoops(s->recording, *origin, m_onset + LoopRenderer::kFadeFrames,
                           m_stopped - LoopRenderer::kFadeFrames, s->loops),
              "");
    const auto restart = originOf(s->recording, m_again, s->loops.back());
    ASSERT_TRUE(restart);
    EXPECT_LE(m_again - *restart, 32u) << "the second Start does not begin at the buffer's first frame";
    EXPECT_EQ(followsLoops(s->recording, *restart, m_again + LoopRenderer::kFadeFrames,
                           m_end - LoopRenderer::kFadeFrames, {s->loops.back()}),
              "");

    if (!s->recorder)
        return;
    // For the record: from each of the ten calls to the first frame at the
    // monitor that differs from the loop before it.
    std::vector<double> ms;
    for (std::size_t k = 0; k < 10; ++k) {
        std::size_t f = m_onset;
        while (f < m_stopped &&
               (s->recorder->timeOf(f) < s->changeCalls[k] || matchesAt(s->recording, f, *origin, s->loops[k])))
            ++f;
        ms.push_back(s->recorder->msAfter(s->changeCalls[k], f));
    }
    std::sort(ms.begin(), ms.end());
    std::printf("change call to first changed frame at the monitor: median %.1f ms (%.1f..%.1f)\n", ms[5], ms[0], ms[9]);
}

TEST_P(RealSound, EachChannelSoundsAtItsFrequency)
{
    const std::size_t second = static_cast<std::size_t>(kRate);
    EXPECT_NEAR(dominantFrequency(s->recording, m_onset + 2000, second, 0, heardHz(440)), heardHz(440), 0.1);
    EXPECT_NEAR(dominantFrequency(s->recording, m_onset + 2000, second / 2, 1, heardHz(450)), heardHz(450), 0.2);
    EXPECT_NEAR(dominantFrequency(s->recording, m_stopped - second, second, 0, heardHz(852)), heardHz(852), 0.1);
    EXPECT_NEAR(dominantFrequency(s->recording, m_stopped - second, second, 1, heardHz(859)), heardHz(859), 0.1);
}

TEST_P(RealSound, StopIsSilentWithin20MsAndStaysSilentUntilStart)
{
    if (!s->recorder)
        GTEST_SKIP() << "the fallback is heard at its tap, which keeps no time";
    const double ms = s->recorder->msAfter(s->stopCall, m_stopped);
    std::printf("Stop call to silence at the monitor: %.1f ms\n", ms);
    // PipeWire reads a stream a graph cycle at a time (256 frames at 48 kHz
    // here), so a write can wait a cycle where PulseAudio rewinds at once,
    // and hands a frame to the sink's monitor a cycle after reading it.
    EXPECT_LE(ms, serverIsPipeWire() ? 20.0 + 2 * 5.3 : 20.0);
    EXPECT_GE(s->recorder->timeOf(m_again), s->restartCall) << "sound between Stop and Start";
}

INSTANTIATE_TEST_SUITE_P(Backends, RealSound, ::testing::Values(Backend::Pulse, Backend::PortAudio),
                         [](const auto& param) { return param.param == Backend::Pulse ? "Pulse" : "PortAudio"; });

// The sleep timer's fade-out: applied to the output on its way to the
// device, on both back ends, evenly in decibels, to silence; the loop
// buffer is left as it was.
class OutputFade : public ::testing::TestWithParam<Backend> {};

TEST_P(OutputFade, FallsEvenlyInDecibelsToSilenceWithoutTouchingTheLoop)
{
    QUAVIRA_NEED_SOUND_SERVER();
    if (GetParam() == Backend::PortAudio && serverIsPipeWire())
        GTEST_SKIP() << "the PortAudio fallback is heard through PulseAudio";
    TapRecording tap(4.0);
    MonitorRecording recorder(4.0);
    ASSERT_TRUE(recorder.waitLive());
    Bytes loop;
    {
        LoopBuffer engine(makeDevice(GetParam(), &tap));
        ASSERT_EQ(engine.open(), "0");
        engine.fillChannel(440, 100, 0.0f, Channel::Left);
        engine.fillChannel(450, 100, 0.0f, Channel::Right);
        loop = snapshot(engine);
        ASSERT_EQ(engine.startLooped(), "0");
        std::this_thread::sleep_for(700ms);
        engine.fadeLevel(1.0, 2000ms);
        std::this_thread::sleep_for(2500ms);
        EXPECT_EQ(snapshot(engine), loop) << "the fade touched the loop buffer";
        EXPECT_EQ(engine.stop(), "0");
    }
    const Bytes rec = GetParam() == Backend::PortAudio ? tap.recording() : recorder.finish();
    const auto onset = firstSound(rec, 0);
    ASSERT_TRUE(onset);
    const auto silent = firstSilence(rec, *onset + 22050, 4410);
    ASSERT_TRUE(silent) << "the fade did not reach silence";
    int limit[2] = {largestStep(loop, 0) + 2, largestStep(loop, 1) + 2};
    // PipeWire's own missed cycles at a quick stream's quantum are left out
    // (see serverGaps), as in the other sessions.
    std::size_t gaps = 0;
    const std::vector<bool> theServers = serverIsPipeWire() && GetParam() == Backend::Pulse
                                             ? serverGaps(rec, 3 * 256, &gaps)
                                             : std::vector<bool>(frames(rec), false);
    EXPECT_LE(clicksOver(rec, limit, theServers), clicksAllowed(serverIsPipeWire()))
        << gaps << " gap(s) of the server's";
    // Evenly: the level falls by as many decibels in every block, 24 dB a
    // second, give or take the 8-bit steps near the bottom.
    const std::size_t fadeStart = *onset + 22050 + 4410;  // within the steady part, then the fade
    const auto levels = fadeLevelsDb(rec, fadeStart, *silent);
    ASSERT_GT(levels.size(), 20u) << "too short a fade to measure";
    for (std::size_t k = 1; k < levels.size(); ++k)
        EXPECT_LE(levels[k], levels[k - 1] + 0.3) << "the level rose at block " << k;
    // The libpulse back end's output is 16-bit, which a u8 sink truncates:
    // its slope is measured at the 16-bit sink (sixteen_bit_sink_test).
    if (GetParam() == Backend::Pulse)
        return;
    const auto blocksPerSecond = kRate / 1470.0;
    const double slope = (levels.back() - levels[levels.size() / 4]) /
                         (static_cast<double>(levels.size() - 1 - levels.size() / 4) / blocksPerSecond);
    EXPECT_NEAR(slope, -24.0, 3.0) << "dB per second over the fade";
}

INSTANTIATE_TEST_SUITE_P(Backends, OutputFade, ::testing::Values(Backend::Pulse, Backend::PortAudio),
                         [](const auto& param) { return param.param == Backend::Pulse ? "Pulse" : "PortAudio"; });

// Both cores kept busy for the whole recording: the sound-server back end's
// deep queue must not let the server run dry even once.
TEST(RealSoundUnderLoad, PlaysTenSecondsWithoutAGapWhileBothCoresAreBusy)
{
    QUAVIRA_NEED_SOUND_SERVER();
    MonitorRecording recorder(11.5);
    ASSERT_TRUE(recorder.waitLive());
    auto device = std::make_unique<PulseWaveOut>();
    PulseWaveOut* pulse = device.get();
    LoopBuffer engine(std::move(device));
    ASSERT_EQ(engine.open(), "0");
    engine.fillChannel(300, 100, 0.0f, Channel::Left);
    engine.fillChannel(307, 100, 0.0f, Channel::Right);
    const Bytes loop = snapshot(engine);

    {
        testing::BusyCores load;
        ASSERT_EQ(engine.startLooped(), "0");
        std::this_thread::sleep_for(10500ms);
    }
    EXPECT_EQ(engine.stop(), "0");
    const Bytes& rec = recorder.finish();
    std::this_thread::sleep_for(300ms);  // for a late report from the server
    EXPECT_EQ(pulse->underruns(), 0u);

    const auto onset = firstSound(rec, 0);
    ASSERT_TRUE(onset);
    const std::size_t tenSeconds = static_cast<std::size_t>(10 * kRate);
    if (serverIsPipeWire()) {
        // Under this load PipeWire's own graph now and then misses a cycle
        // and its sink plays one quantum of silence (256 frames at 48 kHz),
        // with a plain pacat client as much as with this one, and without
        // any underflow of the stream. Anything longer is a gap of ours.
        for (std::size_t f = *onset; f < *onset + tenSeconds;) {
            const auto silence = firstSilence(rec, f, 16);
            if (!silence || *silence >= *onset + tenSeconds)
                break;
            const auto sound = firstSound(rec, *silence);
            ASSERT_TRUE(sound) << "silence from " << static_cast<double>(*silence - *onset) / kRate << " s on";
            EXPECT_LE(*sound - *silence, 240u) << "a gap at " << static_cast<double>(*silence - *onset) / kRate << " s";
            f = *sound;
        }
        return;
    }
    const auto end = firstSilence(rec, *onset, 16);
    ASSERT_TRUE(end);
    EXPECT_GE(*end - *onset, tenSeconds) << "a gap after " << static_cast<double>(*end - *onset) / kRate << " s";
    const auto origin = originOf(rec, *onset, loop);
    ASSERT_TRUE(origin);
    EXPECT_EQ(followsLoops(rec, *origin, *onset + LoopRenderer::kFadeFrames, *end - LoopRenderer::kFadeFrames, {loop}), "");
}

}  // namespace
}  // namespace quavira
