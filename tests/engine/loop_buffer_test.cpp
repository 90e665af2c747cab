// SPDX-License-Identifier: GPL-3.0-or-later
// The loop buffer's four operations against the fake device.
#include "channel_synthesis.h"
#include "fake_wave_out.h"
#include "loop_buffer.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace quavira {
namespace {

using testing::FakeWaveOut;
using testing::WaveOutCall;

struct Engine {
    FakeWaveOut* device = new FakeWaveOut;
    LoopBuffer buffer{std::unique_ptr<WaveOut>(device)};
};

TEST(LoopBufferOpen, OpensTheDefaultDeviceOnOneSecondOfEightBitStereo)
{
    Engine e;
    EXPECT_EQ(e.buffer.open(), "0");
    EXPECT_EQ(e.device->lastDeviceId(), kWaveMapper);
    const WaveFormatEx f = e.device->lastFormat();
    EXPECT_EQ(f.formatTag, 1);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.samplesPerSec, 44100u);
    EXPECT_EQ(f.avgBytesPerSec, 88200u);
    EXPECT_EQ(f.blockAlign, 2);
    EXPECT_EQ(f.bitsPerSample, 8);

    EXPECT_EQ(e.buffer.samples().size(), 88200u);
    const WaveHdr& h = e.buffer.header();
    EXPECT_EQ(h.data, e.buffer.samples().data());
    EXPECT_EQ(h.bufferLength, 88200u);
    EXPECT_EQ(h.flags, 14u);
    EXPECT_EQ(h.loops, 0xFFFFFFFFu);
    EXPECT_EQ(e.buffer.lastResult(), 0u);
    EXPECT_EQ(e.device->calls(), (std::vector{WaveOutCall::Open, WaveOutCall::PrepareHeader}));
}

TEST(LoopBufferOpen, RefusedDeviceGivesError003AndNoBuffer)
{
    Engine e;
    e.device->setResult(WaveOutCall::Open, kMmSysBadDeviceId);
    EXPECT_EQ(e.buffer.open(), "Error003");
    EXPECT_TRUE(e.buffer.samples().empty());
    EXPECT_EQ(e.buffer.lastResult(), kMmSysBadDeviceId);
    EXPECT_EQ(e.device->calls(), (std::vector{WaveOutCall::Open}));
    // Everything later acts on an invalid handle and says so.
    EXPECT_EQ(e.buffer.startLooped(), "Can't reset!");
    EXPECT_EQ(e.buffer.stop(), "Can't stop, won't stop!");
    EXPECT_EQ(e.buffer.close(), "Unable to close!");
    EXPECT_EQ(e.buffer.lastResult(), kMmSysInvalidHandle);
    EXPECT_TRUE(e.buffer.samples().empty());
}

TEST(LoopBufferOpen, RefusedPrepareGivesError001AfterClosingTheDevice)
{
    Engine e;
    e.device->setResult(WaveOutCall::PrepareHeader, kMmSysNoMemory);
    EXPECT_EQ(e.buffer.open(), "Error001");
    EXPECT_EQ(e.device->calls(), (std::vector{WaveOutCall::Open, WaveOutCall::PrepareHeader, WaveOutCall::Reset,
                                              WaveOutCall::Close}));
    EXPECT_FALSE(e.device->isOpen());
    EXPECT_TRUE(e.buffer.samples().empty());
    // The flags were set to the looping ones whatever the prepare said.
    EXPECT_EQ(e.buffer.header().flags, 14u);
    EXPECT_EQ(e.buffer.header().loops, 0xFFFFFFFFu);
    // The panel's close handler runs Close again: reported, not a double free.
    EXPECT_EQ(e.buffer.close(), "Unable to close!");
}

struct FailureCase {
    const char* name;
    WaveOutCall failing;
    std::string (LoopBuffer::*operation)();
    const char* status;
};

class LoopBufferFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(LoopBufferFailure, ReportsItsTextAndStoresTheDeviceResult)
{
    const auto& c = GetParam();
    Engine e;
    ASSERT_EQ(e.buffer.open(), "0");
    e.device->setResult(c.failing, 42);
    EXPECT_EQ((e.buffer.*c.operation)(), c.status);
    EXPECT_EQ(e.buffer.lastResult(), 42u);
}

INSTANTIATE_TEST_SUITE_P(
    StatusTexts, LoopBufferFailure,
    ::testing::Values(FailureCase{"StartReset", WaveOutCall::Reset, &LoopBuffer::startLooped, "Can't reset!"},
                      FailureCase{"StartWrite", WaveOutCall::Write, &LoopBuffer::startLooped, "Can't write!"},
                      FailureCase{"Stop", WaveOutCall::Reset, &LoopBuffer::stop, "Can't stop, won't stop!"},
                      FailureCase{"CloseReset", WaveOutCall::Reset, &LoopBuffer::close, "Unable to close!"},
                      FailureCase{"CloseClose", WaveOutCall::Close, &LoopBuffer::close, "Unable to close!"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(LoopBufferPlayback, StopWhenIdleSucceeds)
{
    Engine e;
    ASSERT_EQ(e.buffer.open(), "0");
    EXPECT_EQ(e.buffer.stop(), "0");
    EXPECT_FALSE(e.device->isPlaying());
}

std::vector<std::uint8_t> bufferBytes(const LoopBuffer& b)
{
    std::vector<std::uint8_t> out;
    for (const Sample& s : b.samples())
        out.push_back(s.load());
    return out;
}

TEST(LoopBufferPlayback, LoopsTheWholeBufferFromFrameZeroWithoutAGap)
{
    Engine e;
    ASSERT_EQ(e.buffer.open(), "0");
    fillChannel(e.buffer.samples(), 440, 100, 0.0f, Channel::Left);
    fillChannel(e.buffer.samples(), 450, 100, 0.0f, Channel::Right);
    const auto once = bufferBytes(e.buffer);

    ASSERT_EQ(e.buffer.startLooped(), "0");
    const auto played = e.device->waitForRecording(kLoopBytes * 2 + 1000);
    ASSERT_GE(played.size(), kLoopBytes * 2 + 1000);
    for (std::size_t i = 0; i < kLoopBytes * 2 + 1000; ++i)
        ASSERT_EQ(played[i], once[i % kLoopBytes]) << "byte " << i;
}

TEST(LoopBufferPlayback, StartAgainRestartsFromTheFirstFrame)
{
    Engine e;
    ASSERT_EQ(e.buffer.open(), "0");
    fillChannel(e.buffer.samples(), 1000, 50, 0.0f, Channel::Left);
    fillChannel(e.buffer.samples(), 1010, 50, 0.0f, Channel::Right);
    const auto once = bufferBytes(e.buffer);

    ASSERT_EQ(e.buffer.startLooped(), "0");
    e.device->waitForRecording(20000);
    ASSERT_EQ(e.buffer.startLooped(), "0");  // start twice: reset, then write again
    auto played = e.device->waitForRecording(1000);
    ASSERT_GE(played.size(), 1000u);
    EXPECT_TRUE(std::equal(played.begin(), played.begin() + 1000, once.begin()));

    ASSERT_EQ(e.buffer.stop(), "0");
    EXPECT_FALSE(e.device->isPlaying());
    ASSERT_EQ(e.buffer.startLooped(), "0");  // start, stop, start: same header
    played = e.device->waitForRecording(1000);
    EXPECT_TRUE(std::equal(played.begin(), played.begin() + 1000, once.begin()));
    EXPECT_EQ(e.buffer.header().flags, 14u);
}

TEST(LoopBufferPlayback, RewritesWhilePlayingReachTheDevice)
{
    Engine e;
    ASSERT_EQ(e.buffer.open(), "0");
    fillChannel(e.buffer.samples(), 300, 60, 0.0f, Channel::Left);
    ASSERT_EQ(e.buffer.startLooped(), "0");
    // The UI thread rewrites while the device thread reads: both sides use
    // atomic bytes, so this is race-free (and checked so under TSan).
    for (int hz = 301; hz < 320; ++hz)
        fillChannel(e.buffer.samples(), hz, 60, 0.0f, Channel::Left);
    e.device->waitForRecording(kLoopBytes * 3);
    ASSERT_EQ(e.buffer.stop(), "0");
    ASSERT_EQ(e.buffer.startLooped(), "0");
    const auto played = e.device->waitForRecording(kLoopBytes);
    const auto now = bufferBytes(e.buffer);
    EXPECT_TRUE(std::equal(now.begin(), now.end(), played.begin()));
}

TEST(LoopBufferClose, ReleasesTheBufferOnceAndOnlyAfterTheDeviceStopped)
{
    Engine e;
    ASSERT_EQ(e.buffer.open(), "0");
    ASSERT_EQ(e.buffer.startLooped(), "0");
    EXPECT_EQ(e.buffer.close(), "0");
    EXPECT_FALSE(e.device->isPlaying());
    EXPECT_TRUE(e.buffer.samples().empty());
    EXPECT_EQ(e.buffer.header().data, nullptr);
    // A second close acts on the closed handle: reported, nothing freed twice.
    EXPECT_EQ(e.buffer.close(), "Unable to close!");
    EXPECT_EQ(e.buffer.startLooped(), "Can't reset!");
}

TEST(LoopBufferClose, KeepsTheBufferWhileAFailedResetLeavesTheDevicePlaying)
{
    Engine e;
    ASSERT_EQ(e.buffer.open(), "0");
    ASSERT_EQ(e.buffer.startLooped(), "0");
    e.device->setResult(WaveOutCall::Reset, kMmSysError);
    EXPECT_EQ(e.buffer.close(), "Unable to close!");
    EXPECT_TRUE(e.device->isPlaying());
    EXPECT_EQ(e.buffer.samples().size(), kLoopBytes);  // still being read
    e.device->waitForRecording(10000);
    // The engine goes with the device stopped first: no read of freed memory.
}

TEST(LoopBufferClose, ReleasesTheBufferWhenOnlyTheCloseCallFails)
{
    Engine e;
    ASSERT_EQ(e.buffer.open(), "0");
    e.device->setResult(WaveOutCall::Close, kMmSysError);
    EXPECT_EQ(e.buffer.close(), "Unable to close!");
    EXPECT_TRUE(e.buffer.samples().empty());
}

}  // namespace
}  // namespace quavira
