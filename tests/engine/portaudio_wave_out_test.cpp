// SPDX-License-Identifier: GPL-3.0-or-later
// The PortAudio wave-out layer: its argument and handle checks, and its
// 16-bit output heard at its tap, the loop alone and with the noise under it.
#include "noise_generator.h"
#include "output_stage.h"
#include "portaudio_wave_out.h"
#include "sound_check.h"
#include "spectrum.h"
#include "tap_recording.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <thread>

namespace quavira {
namespace {

using namespace std::chrono_literals;
using namespace sound;

const WaveFormatEx kPcm{kWaveFormatPcm, 2, 44100, 88200, 2, 8, 0};

TEST(PortAudioWaveOut, RefusesFormatsOtherThanEightBitStereoAt44100)
{
    PortAudioWaveOut device;
    for (WaveFormatEx bad : {WaveFormatEx{3, 2, 44100, 88200, 2, 8, 0}, WaveFormatEx{1, 1, 44100, 44100, 1, 8, 0},
                             WaveFormatEx{1, 2, 48000, 96000, 2, 8, 0}, WaveFormatEx{1, 2, 44100, 176400, 4, 16, 0}}) {
        WaveOutHandle handle = 99;
        EXPECT_EQ(device.open(&handle, kWaveMapper, bad), kWaveBadFormat);
        EXPECT_EQ(handle, kNoWaveOut);
    }
}

TEST(PortAudioWaveOut, RefusesDevicesOtherThanTheDefault)
{
    PortAudioWaveOut device;
    WaveOutHandle handle = 99;
    EXPECT_EQ(device.open(&handle, 3, kPcm), kMmSysBadDeviceId);
    EXPECT_EQ(handle, kNoWaveOut);
}

TEST(PortAudioWaveOut, CallsOnAHandleThatWasNeverOpenedFail)
{
    PortAudioWaveOut device;
    Sample bytes[4] = {};
    WaveHdr header{bytes, 4, 0, 0, 0, 0, nullptr, 0};
    EXPECT_EQ(device.prepareHeader(kNoWaveOut, &header, kWaveHdrSize), kMmSysInvalidHandle);
    EXPECT_EQ(device.write(kNoWaveOut, &header, kWaveHdrSize), kMmSysInvalidHandle);
    EXPECT_EQ(device.reset(kNoWaveOut), kMmSysInvalidHandle);
    EXPECT_EQ(device.close(7), kMmSysInvalidHandle);
    EXPECT_EQ(device.outputLatencySeconds(), 0.0);
}

constexpr double kNoiseDb = -28;
constexpr std::size_t kToggles = 24;  // of each kind of change
constexpr std::size_t kWindow = 44;   // 1 ms

// One play at the tap: the tone alone for 2 s; pink noise under it for
// 5 s; then the noise off and on again, and then brown and white in turn,
// each setting held for 100 ms.
struct NoiseSession {
    Bytes loop;
    std::vector<std::int16_t> heard;
    Bytes heardBytes;  // at the nearest 8-bit step
    std::size_t framesBeforeNoise = 0;  // handed out before the noise was asked for
    std::vector<std::string> statuses;

    NoiseSession()
    {
        // An idle null sink takes a stream's first seconds at once; a reader
        // of its monitor keeps it at its clock's pace, as a device plays.
        MonitorRecording recorder(17.5);
        if (!recorder.waitLive())
            return;
        TapRecording tap(18.0);
        {
            auto device = std::make_unique<PortAudioWaveOut>();
            device->setTap(&tap);
            LoopBuffer engine(std::move(device));
            statuses.push_back(engine.open());
            engine.fillChannel(440, 64, 0.0f, Channel::Left);
            engine.fillChannel(450, 64, 0.0f, Channel::Right);
            loop = snapshot(engine);
            statuses.push_back(engine.startLooped());
            std::this_thread::sleep_for(2000ms);
            framesBeforeNoise = tap.samplesHeard() / 2;
            engine.setNoise(NoiseColour::Pink, kNoiseDb);
            std::this_thread::sleep_for(5000ms);
            const auto alternate = [&](std::optional<NoiseColour> first, std::optional<NoiseColour> second) {
                for (std::size_t k = 0; k < kToggles; ++k) {
                    engine.setNoise(first, kNoiseDb);
                    std::this_thread::sleep_for(100ms);
                    engine.setNoise(second, kNoiseDb);
                    std::this_thread::sleep_for(100ms);
                }
            };
            alternate(std::nullopt, NoiseColour::Pink);
            alternate(NoiseColour::Brown, NoiseColour::White);
            statuses.push_back(engine.stop());
        }
        heard = tap.samples();
        heardBytes = tap.recording();
    }
};

class PortAudioNoise : public ::testing::Test {
protected:
    void SetUp() override
    {
        QUAVIRA_NEED_SOUND_SERVER();
        if (serverIsPipeWire())
            GTEST_SKIP() << "the PortAudio fallback is heard through PulseAudio";
        static std::unique_ptr<NoiseSession> session;
        if (!session)
            session = std::make_unique<NoiseSession>();
        s = session.get();
        ASSERT_EQ(s->statuses, (std::vector<std::string>{"0", "0", "0"})) << "(none: the test sink never went live)";
        const Bytes& bytes = s->heardBytes;
        const auto onset = firstSound(bytes, 0);
        ASSERT_TRUE(onset) << "nothing was heard";
        const auto origin = originOf(bytes, *onset, s->loop);
        ASSERT_TRUE(origin) << "the loop was not heard";
        const auto stopped = firstSilence(bytes, *onset, 441);
        ASSERT_TRUE(stopped) << "Stop was not heard";
        m_onset = *onset;
        // Up to the stop's fade, what was heard beside the tone is the noise.
        m_end = *stopped - 2 * VoiceTrack::kFadeFrames;
        m_noise.resize(2 * m_end);
        for (std::size_t f = 0; f < m_end; ++f)
            for (std::size_t c = 0; c < 2; ++c)
                m_noise[2 * f + c] = s->heard[2 * f + c] - tone(f, c, *origin);
    }

    std::int16_t tone(std::size_t frame, std::size_t channel, std::size_t origin) const
    {
        if (frame < origin)
            return 0;
        return toOutputSample(s->loop[2 * ((frame - origin) % kLoopFrames) + channel]);
    }
    bool silentNoise(std::size_t frame) const { return m_noise[2 * frame] == 0 && m_noise[2 * frame + 1] == 0; }
    // The noise's power in its highs (its first difference, left ear) over
    // the 1-ms window `window` after `frame`.
    double highs(std::size_t frame, std::ptrdiff_t window) const
    {
        const auto first = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(frame) + window * std::ptrdiff_t{kWindow});
        double sum = 0;
        for (std::size_t f = first; f < first + kWindow; ++f) {
            const double d = m_noise[2 * f] - m_noise[2 * (f - 1)];
            sum += d * d;
        }
        return sum / kWindow;
    }

    NoiseSession* s = nullptr;
    std::size_t m_onset = 0, m_end = 0;
    std::vector<int> m_noise;  // heard minus tone, two a frame, up to m_end
};

TEST_F(PortAudioNoise, WithoutNoiseTheLoopIsHeardAsItsBytesScaled)
{
    // From the end of the fade-in to the frames handed out before the noise
    // was asked for, which no callback can have rendered with it: at least
    // the whole loop once.
    const std::size_t from = m_onset + LoopRenderer::kFadeFrames;
    const std::size_t to = std::min(s->framesBeforeNoise, m_end);
    ASSERT_GE(to, from + kLoopFrames);
    std::size_t differing = 0;
    for (std::size_t i = 2 * from; i < 2 * to; ++i)
        differing += m_noise[i] != 0;
    EXPECT_EQ(differing, 0u) << "samples other than toOutputSample of the loop's bytes";
}

TEST_F(PortAudioNoise, PinkAtMinus28IsHeardAtItsLevelAndMovesWithoutAJump)
{
    // The first noise, and each off and on after it: where the noise starts
    // after a silence of its own, and where it ends before one.
    const auto silentRun = [&](std::size_t frame) {
        for (std::size_t f = frame; f < frame + 441; ++f)
            if (f >= m_end || !silentNoise(f))
                return false;
        return true;
    };
    std::vector<std::size_t> ons, offs;
    for (std::size_t f = m_onset + 441; f < m_end; ++f) {
        if (!silentNoise(f) && silentNoise(f - 1) && silentRun(f - 441))
            ons.push_back(f);
        else if (silentNoise(f) && !silentNoise(f - 1) && silentRun(f))
            offs.push_back(f);
    }
    ASSERT_GE(ons.size(), 1u) << "the noise was never heard";
    ASSERT_GE(offs.size(), 1u) << "the noise never went off";

    // Its level over the 5 s before the first off. A few seconds of pink
    // spread their plain RMS by some 0.1 dB (its lowest octaves hold few
    // independent values), so the level is taken from 100 Hz to 10 kHz,
    // against a minute of the generator's own pink at 0 dBFS RMS; the plain
    // RMS is held to the spread's five-fold.
    const std::size_t from = ons.front() + 4410, to = offs.front() - 1323;
    ASSERT_GE(to, from + 4 * 44100) << "too short a stretch of noise";
    std::vector<float> left;
    double power = 0;
    for (std::size_t f = from; f < to; ++f) {
        left.push_back(static_cast<float>(m_noise[2 * f]) / 32768.0f);
        for (std::size_t c = 0; c < 2; ++c)
            power += std::pow(m_noise[2 * f + c] / 32768.0, 2);
    }
    std::vector<float> reference(60 * 44100);
    NoiseGenerator(NoiseColour::Pink, 1).render(reference.data(), reference.size());
    constexpr std::size_t kSegment = 8192;
    const auto bandPower = [](const std::vector<float>& x) {
        const std::vector<double> psd = testing::welchPsd(x, kSegment, 44100);
        double sum = 0;
        for (std::size_t k = 100 * kSegment / 44100; k <= 10000 * kSegment / 44100; ++k)
            sum += psd[k];
        return sum;
    };
    const double levelDb = 10 * std::log10(bandPower(left) / bandPower(reference));
    const double rmsDb = 10 * std::log10(power / static_cast<double>(2 * (to - from)));
    std::printf("pink noise at %.0f dB: %.2f dB from its spectrum, %.2f dB RMS\n", kNoiseDb, levelDb, rmsDb);
    EXPECT_NEAR(levelDb, kNoiseDb, 0.3);
    EXPECT_NEAR(rmsDb, kNoiseDb, 0.6);

    // Each kind of change, its 1-ms envelopes lined up at where it is seen
    // and averaged: the power of the noise's highs, where a cut would be
    // heard as a click, goes from the old level to the new with no bump
    // and no millisecond taking more than 0.6 of the change (a fade of
    // 10 ms takes under 0.25).
    const auto moves = [&](const char* what, const std::vector<std::size_t>& at, std::ptrdiff_t before,
                           std::ptrdiff_t after) {
        SCOPED_TRACE(what);
        std::vector<std::size_t> kept;
        for (std::size_t frame : at)
            if (frame > ons.front() + 4410 && frame + static_cast<std::size_t>(after) * kWindow < m_end)
                kept.push_back(frame);
        ASSERT_GE(kept.size(), kToggles * 2 / 3) << "too few changes were seen";
        std::vector<double> e;
        for (std::ptrdiff_t w = -before; w < after; ++w) {
            double sum = 0;
            for (std::size_t frame : kept)
                sum += highs(frame, w);
            e.push_back(sum / static_cast<double>(kept.size()));
        }
        const auto mean = [&](std::size_t a, std::size_t b) {
            double sum = 0;
            for (std::size_t w = a; w < b; ++w)
                sum += e[w];
            return sum / static_cast<double>(b - a);
        };
        const double old = mean(0, 8), fresh = mean(e.size() - 8, e.size());
        const double ceiling = std::max(old, fresh), change = std::fabs(fresh - old);
        ASSERT_GT(change, 0.5 * ceiling) << "no change was heard";
        for (std::size_t w = 1; w < e.size(); ++w) {
            EXPECT_LE(e[w], 1.25 * ceiling) << "at window " << static_cast<std::ptrdiff_t>(w) - before;
            EXPECT_LE(std::fabs(e[w] - e[w - 1]), 0.6 * change + 0.1 * ceiling)
                << "at window " << static_cast<std::ptrdiff_t>(w) - before;
        }
    };
    moves("off", offs, 30, 15);
    moves("on", std::vector<std::size_t>(ons.begin() + 1, ons.end()), 15, 30);

    // Brown and white in turn, lined up where the highs, over 32 frames,
    // cross the level 15 dB under white's, which is some 16 dB over
    // brown's: white's start rises through it, its end falls through it.
    const double whiteHighs = 2 * std::pow(std::pow(10.0, kNoiseDb / 20) * 32768, 2);
    const double threshold = 32 * whiteHighs * std::pow(10.0, -1.5);
    const auto step = [&](std::size_t f) { return std::pow(m_noise[2 * f] - m_noise[2 * (f - 1)], 2); };
    const std::size_t start = ons.back() + 2205;  // pink, 50 ms after its last start
    double sum = 0;
    for (std::size_t f = start - 31; f <= start; ++f)
        sum += step(f);
    bool above = sum > threshold;
    std::vector<std::size_t> rises, falls;
    for (std::size_t f = start + 1; f < m_end; ++f) {
        sum += step(f) - step(f - 32);
        if ((sum > threshold) != above) {
            above = !above;
            (above ? rises : falls).push_back(f);
        }
    }
    if (!falls.empty())
        falls.erase(falls.begin());  // from pink to brown
    moves("brown to white", rises, 15, 30);
    moves("white to brown", falls, 30, 15);
}
}  // namespace
}  // namespace quavira
