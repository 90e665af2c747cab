// SPDX-License-Identifier: GPL-3.0-or-later
// The output level carried across a stream made anew, in time.
#include "pulse_queue_writer.h"

#include <gtest/gtest.h>

namespace quavira {
namespace {

using namespace std::chrono_literals;

class NoEvents final : public PulseStreamEvents {
    void streamWritable() override {}
    void streamUnderflow() override {}
    void streamBack() override {}
    void streamLost() override {}
};

constexpr std::uint64_t kLeadIn = 1323;

// Nothing is sent: no stream, and the moves start beyond what is queued.
struct Writer {
    NoEvents events;
    PulseConnection connection{events};
    PulseQueueWriter writer{connection};
};

TEST(PulseQueueWriter, ANewStreamGoesOnWithTheFadeFromWhereItStandsInTime)
{
    struct Case {
        const char* what;
        bool askedWhileGone;
    };
    for (const Case c : {Case{"asked on the old stream", false}, Case{"asked while there was none", true}}) {
        Writer w;
        const PulseClock::time_point t0{};
        // Frame 50,000 of the old stream is heard at t0; a fade to silence
        // over 10 s starts there.
        w.writer.anchorLevel(50'000, t0);
        if (c.askedWhileGone)
            w.writer.moveLevelLater(1.0, 441'000, t0);
        else
            w.writer.moveLevel(50'000, 1.0, 441'000);
        // The new stream's first frame after its lead-in is heard 2.5 s on.
        w.writer.carryLevel(kLeadIn, t0 + 2500ms);
        const OutputLevel& level = w.writer.level();
        EXPECT_NEAR(level.depthAt(kLeadIn), 0.25, 1e-6) << c.what;
        EXPECT_NEAR(level.depthAt(kLeadIn + 220'500), 0.75, 1e-6) << c.what;
        EXPECT_DOUBLE_EQ(level.depthAt(kLeadIn + 330'750), 1.0) << c.what;
        EXPECT_FALSE(level.fullFrom(1)) << c.what << ": the lead-in's last frames are at the fade's level too";
    }
}

TEST(PulseQueueWriter, AFullLevelStaysFullOnANewStreamAndAFinishedFadeStaysDone)
{
    Writer w;
    w.writer.anchorLevel(10'000, PulseClock::time_point{});
    w.writer.carryLevel(kLeadIn, PulseClock::time_point{} + 1s);
    EXPECT_TRUE(w.writer.level().fullFrom(0));

    w.writer.anchorLevel(10'000, PulseClock::time_point{});
    w.writer.moveLevel(10'000, 0.5, 4'410);
    w.writer.carryLevel(kLeadIn, PulseClock::time_point{} + 1s);
    EXPECT_DOUBLE_EQ(w.writer.level().depthAt(kLeadIn), 0.5);
    EXPECT_DOUBLE_EQ(w.writer.level().depthAt(kLeadIn + 100'000), 0.5);
}

}  // namespace
}  // namespace quavira
