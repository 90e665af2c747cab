// SPDX-License-Identifier: GPL-3.0-or-later
// The output stage: loops exact outside the fades, and no step inside them
// larger than the tones' own.
#include "channel_synthesis.h"
#include "loop_buffer.h"
#include "loop_renderer.h"
#include "loop_tones.h"
#include "loop_snapshots.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

namespace quavira {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kFade = LoopRenderer::kFadeFrames;

Bytes tones(std::int32_t leftHz, std::int32_t rightHz, std::int8_t amplitude = 126)
{
    return testing::loopTones(leftHz, rightHz, amplitude);
}

Bytes render(LoopRenderer& renderer, std::size_t frames)
{
    Bytes out(2 * frames);
    renderer.render(out.data(), frames);
    return out;
}

// The largest step between consecutive samples of either channel.
int largestStep(const Bytes& bytes)
{
    int step = 0;
    for (std::size_t i = 2; i < bytes.size(); ++i)
        step = std::max(step, std::abs(bytes[i] - bytes[i - 2]));
    return step;
}

// Frames [from, to) of `out`, rendered from stream frame `first`, are
// `loop` exactly, stream frame `origin` being loop frame 0.
bool plays(const Bytes& out, std::uint64_t first, std::uint64_t from, std::uint64_t to, const Bytes& loop,
           std::uint64_t origin = 0)
{
    for (std::uint64_t t = from; t < to; ++t)
        for (int c = 0; c < 2; ++c)
            if (out[2 * (t - first) + c] != loop[2 * ((t - origin) % kLoopFrames) + c])
                return false;
    return true;
}

TEST(LoopRenderer, FadesInFromSilenceThenPlaysTheLoopExactlyAcrossItsSeam)
{
    const Bytes a = tones(2000, 1990);
    LoopRenderer renderer;
    renderer.start(0, a.data());
    const Bytes out = render(renderer, 2 * kLoopFrames + 500);
    EXPECT_LT(std::abs(out[0] - LoopRenderer::kSilence), 2);
    EXPECT_TRUE(plays(out, 0, kFade, 2 * kLoopFrames + 500, a));
    EXPECT_LE(largestStep(out), largestStep(a) + 2);
}

TEST(LoopRenderer, AChangeRewritesFromItsFrameAndLeavesAnUnchangedChannelUntouched)
{
    const Bytes a = tones(440, 450), b = tones(440, 1500);
    LoopRenderer renderer;
    renderer.start(0, a.data());
    render(renderer, 20000);  // queued ahead
    renderer.change(12000, b.data());
    EXPECT_EQ(renderer.position(), 12000u);
    Bytes before(2 * 12000);
    renderer.copyRendered(0, before.data(), 12000);
    const Bytes after = render(renderer, 30000);
    EXPECT_TRUE(plays(before, 0, kFade, 12000, a));
    EXPECT_TRUE(plays(after, 12000, 12000 + kFade, 42000, b));
    for (std::size_t t = 0; t < kFade; ++t)
        EXPECT_EQ(after[2 * t], a[2 * (12000 + t)]) << "left at fade frame " << t;
    Bytes joined = before;
    joined.insert(joined.end(), after.begin(), after.end());
    EXPECT_LE(largestStep(joined), std::max(largestStep(a), largestStep(b)) + 2);
}

TEST(LoopRenderer, AFadeAcrossTheLoopSeamKeepsTheLoopsPosition)
{
    const Bytes a = tones(1000, 1007), b = tones(1300, 1310);
    LoopRenderer renderer;
    renderer.start(0, a.data());
    const Bytes head = render(renderer, kLoopFrames - 100);
    renderer.change(kLoopFrames - 100, b.data());
    const Bytes tail = render(renderer, 1000);
    EXPECT_TRUE(plays(tail, kLoopFrames - 100, kLoopFrames - 100 + kFade, kLoopFrames + 900, b));
    Bytes joined = head;
    joined.insert(joined.end(), tail.begin(), tail.end());
    EXPECT_LE(largestStep(joined), std::max(largestStep(a), largestStep(b)) + 2);
}

TEST(LoopRenderer, ChangesCloserThanAFadeStartFromWhatIsPlayingAndEndOnTheLastLoop)
{
    // A drag: both channels change every 40 frames, each change inside the
    // fade of the one before, and the stream is re-rendered each time.
    std::vector<Bytes> loops;
    for (int k = 0; k < 8; ++k)
        loops.push_back(tones(300 + 37 * k, 1800 - 53 * k));
    LoopRenderer renderer;
    renderer.start(0, loops[0].data());
    Bytes out = render(renderer, 5000);
    int tonesStep = largestStep(loops[0]);
    std::uint64_t at = 3000;
    for (std::size_t k = 1; k < loops.size(); ++k, at += 40) {
        renderer.change(at, loops[k].data());
        out.resize(2 * at);
        const Bytes more = render(renderer, 2000);
        out.insert(out.end(), more.begin(), more.end());
        tonesStep = std::max(tonesStep, largestStep(loops[k]));
    }
    at -= 40;
    EXPECT_TRUE(plays(out, 0, at + kFade, at + 2000, loops.back()));
    EXPECT_LE(largestStep(out), tonesStep + 2);
}

TEST(LoopRenderer, StopFadesOutToSilenceAndAStartAfterItPlaysFromTheLoopsFirstFrame)
{
    const Bytes a = tones(700, 707);
    LoopRenderer renderer;
    renderer.start(0, a.data());
    render(renderer, 3000);
    renderer.stop(2000);
    EXPECT_EQ(renderer.silentFrom(), 2000 + kFade);
    const Bytes faded = render(renderer, 3000);
    EXPECT_TRUE(std::all_of(faded.begin() + 2 * kFade, faded.end(), [](std::uint8_t b) { return b == 128; }));
    renderer.start(6000, a.data());
    Bytes gap(2 * 1000);
    renderer.copyRendered(5000, gap.data(), 1000);
    EXPECT_TRUE(std::all_of(gap.begin(), gap.end(), [](std::uint8_t b) { return b == 128; }))
        << "the frames before the start are silence";
    const Bytes again = render(renderer, 2000);
    EXPECT_TRUE(plays(again, 6000, 6000 + kFade, 8000, a, 6000));
    Bytes joined = faded;
    joined.insert(joined.end(), gap.begin(), gap.end());
    joined.insert(joined.end(), again.begin(), again.end());
    EXPECT_LE(largestStep(joined), largestStep(a) + 2);
}

// The hand-over to an audio callback: every copy the callback takes is one
// whole published loop, never a mix of two, and the newest one arrives.
TEST(LoopSnapshots, TheCallbackTakesWholeCopiesWithoutALock)
{
    std::vector<Sample> live(kLoopBytes);
    const auto paint = [&](std::uint8_t value) {
        for (Sample& s : live)
            s.store(value, std::memory_order_relaxed);
    };
    paint(0);
    LoopSnapshots snapshots(kLoopBytes);
    snapshots.reset(live);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<std::uint8_t> newest{0};
    std::thread callback([&] {
        for (;;) {
            const bool last = done.load(std::memory_order_acquire);
            if (const std::uint8_t* copy = snapshots.takeNewer()) {
                if (!std::all_of(copy, copy + kLoopBytes, [&](std::uint8_t b) { return b == copy[0]; }))
                    ++torn;
                newest = copy[0];
            }
            if (last)
                return;
        }
    });
    for (int k = 1; k <= 200; ++k) {
        paint(static_cast<std::uint8_t>(k));
        snapshots.publish(live);
    }
    done.store(true, std::memory_order_release);
    callback.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(newest.load(), 200);
}

}  // namespace
}  // namespace quavira
