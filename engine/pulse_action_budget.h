// SPDX-License-Identifier: GPL-3.0-or-later
// How long one user action may wait for the sound server, shared by the
// libpulse back end's calls that make it up.
#pragma once

#include "pulse_connection.h"

#include <chrono>

namespace quavira {

// How long one user action (a click, a key) may wait for the server in
// all, however many calls it makes: calls that follow each other within
// kGap belong to one action and share its kBudget, which only the time
// spent in them uses up. UI thread only.
class ActionBudget {
public:
    static constexpr std::chrono::milliseconds kBudget{180};
    static constexpr std::chrono::milliseconds kGap{20};

    // The deadline of a call starting at `now`.
    Deadline begin(PulseClock::time_point now);
    // The call that began last has ended at `now`.
    void end(PulseClock::time_point now);
    // The user has just acted: the next call begins a new action.
    void newAction();

private:
    PulseClock::time_point m_lastEnd{};
    PulseClock::duration m_spent{};
    PulseClock::time_point m_callStart{};
};

// One call of the program, from its start to its return, within its user
// action's budget. UI thread only.
class BudgetedCall {
public:
    explicit BudgetedCall(ActionBudget& budget) : m_budget(budget), m_deadline(budget.begin(PulseClock::now())) {}
    ~BudgetedCall() { m_budget.end(PulseClock::now()); }
    BudgetedCall(const BudgetedCall&) = delete;
    BudgetedCall& operator=(const BudgetedCall&) = delete;
    Deadline deadline() const { return m_deadline; }

private:
    ActionBudget& m_budget;
    Deadline m_deadline;
};

}  // namespace quavira
