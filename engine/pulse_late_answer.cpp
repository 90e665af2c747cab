// SPDX-License-Identifier: GPL-3.0-or-later
// What the libpulse back end wrote while the server was late.
#include "pulse_late_answer.h"

#include "pulse_action_budget.h"

#include <algorithm>
#include <utility>

namespace quavira {

namespace {

// After a stalled server answered: time for it to catch up with what it
// missed before its position is asked again.
constexpr std::chrono::microseconds kCatchUp{20'000};
// An answer slower than this, and than twice the server's recent round
// trips, comes from a server still catching up, or stalled again.
constexpr PulseClock::duration kSlowAnswer = ActionBudget::kBudget / 4;

}  // namespace

LateAnswer::LateAnswer(PulseConnection& connection, const StreamTiming& timing, BringInLine bringInLine)
    : m_connection(connection),
      m_timing(timing),
      m_bringInLine(std::move(bringInLine)),
      m_catchUp(connection, [this] { ask(); }),
      m_position(connection, [this](const StreamPosition* position) { answered(position); })
{
}

void LateAnswer::note(Kind kind, std::uint64_t frame)
{
    if (m_state == State::Idle) {
        m_state = State::Noted;
        m_asks = 0;
    } else if (kind == Kind::Change && (m_kind == Kind::Start || m_kind == Kind::CorkedStart)) {
        return;
    }
    m_kind = kind;
    m_frame = frame;
}

void LateAnswer::clear()
{
    m_state = State::Idle;
    m_catchUp.cancel();
    m_position.cancel();
}

void LateAnswer::serverBack()
{
    if (m_state != State::Noted)
        return;
    m_state = State::CatchingUp;
    m_catchUp.arm(kCatchUp);
}

void LateAnswer::ask()
{
    if (m_state != State::CatchingUp)
        return;
    ++m_asks;
    if (m_connection.connected() && m_position.ask())
        m_state = State::Asking;
    else
        askAgain();
}

void LateAnswer::askAgain()
{
    if (m_asks >= kMostAsks) {
        m_state = State::Idle;
        return;
    }
    m_state = State::CatchingUp;
    m_catchUp.arm(kCatchUp);
}

void LateAnswer::answered(const StreamPosition* position)
{
    if (m_state != State::Asking)
        return;
    if (!position) {
        askAgain();
        return;
    }
    const PulseClock::duration slow = std::max(kSlowAnswer, 2 * m_timing.usualRoundTrip());
    if (position->answered - position->asked > slow && m_asks < kMostAsks) {
        askAgain();
        return;
    }
    m_state = State::Idle;
    m_bringInLine(m_kind, m_frame, *position);
}

}  // namespace quavira
