// SPDX-License-Identifier: GPL-3.0-or-later
// One user action's wait for the sound server.
#include "pulse_action_budget.h"

#include <algorithm>

namespace quavira {

Deadline ActionBudget::begin(PulseClock::time_point now)
{
    if (now - m_lastEnd > kGap)
        m_spent = {};
    m_callStart = now;
    return now + std::max<PulseClock::duration>(kBudget - m_spent, PulseClock::duration::zero());
}

void ActionBudget::end(PulseClock::time_point now)
{
    m_spent += now - m_callStart;
    m_lastEnd = now;
}

void ActionBudget::newAction()
{
    m_lastEnd = {};
}

}  // namespace quavira
