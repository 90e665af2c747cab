// SPDX-License-Identifier: GPL-3.0-or-later
// One user action's wait for the sound server, shared by all its calls.
#include "pulse_connection.h"

#include <gtest/gtest.h>

namespace quavira {
namespace {

using namespace std::chrono_literals;

TEST(ActionBudget, CallsOfOneActionShareItAndTheNextActionHasItWhole)
{
    ActionBudget budget;
    const PulseClock::time_point t0 = PulseClock::now();
    EXPECT_EQ(budget.begin(t0), t0 + ActionBudget::kBudget);
    budget.end(t0 + 120ms);
    // A write right after a reset that waited 120 ms.
    const PulseClock::time_point t1 = t0 + 121ms;
    EXPECT_EQ(budget.begin(t1), t1 + ActionBudget::kBudget - 120ms);
    budget.end(t1 + 100ms);
    const PulseClock::time_point t2 = t1 + 101ms;
    EXPECT_EQ(budget.begin(t2), t2) << "nothing left to wait";
    budget.end(t2);

    // A pause longer than the gap, or new input, begins a new action.
    const PulseClock::time_point t3 = t2 + ActionBudget::kGap + 1ms;
    EXPECT_EQ(budget.begin(t3), t3 + ActionBudget::kBudget);
    budget.end(t3 + 150ms);
    budget.newAction();
    const PulseClock::time_point t4 = t3 + 151ms;
    EXPECT_EQ(budget.begin(t4), t4 + ActionBudget::kBudget);
}

}  // namespace
}  // namespace quavira
