// SPDX-License-Identifier: GPL-3.0-or-later
// The sleep timer.
#include "sleep_timer.h"

#include "wake_clock.h"

#include <algorithm>

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

// A fade that is called off climbs back to full level over this.
constexpr milliseconds kBackToFull{1000};

}  // namespace

SleepTimer::SleepTimer(QObject* parent) : QObject(parent)
{
    setClock(new BootClock);
}

void SleepTimer::setClock(WakeClock* clock)
{
    delete m_clock;
    m_clock = clock;
    m_clock->setParent(this);
    connect(m_clock, &WakeClock::woke, this, &SleepTimer::due);
}

void SleepTimer::setTiming(milliseconds minute, milliseconds fade)
{
    m_minute = minute;
    m_fade = fade;
}

void SleepTimer::setChoice(int minutes)
{
    m_choice = std::max(minutes, 0);
    if (m_playing)
        startCounting();
}

std::optional<int> SleepTimer::minutesLeft() const
{
    if (!m_playing || m_choice == 0)
        return std::nullopt;
    const auto left = untilEnd();
    return static_cast<int>((left + m_minute - milliseconds(1)) / m_minute);
}

void SleepTimer::playingChanged(bool playing)
{
    if (playing == m_playing)
        return;
    m_playing = playing;
    if (playing)
        startCounting();
    else
        stopCounting();
}

void SleepTimer::startCounting()
{
    // A fade under way is called off: the count starts again from full.
    if (m_fading)
        emit fadeOutput(0.0, kBackToFull);
    m_fading = false;
    m_clock->cancel();
    if (m_choice == 0)
        return;
    // Two wake-ups in all, however long the choice: the start of the fade
    // and its end.
    m_end = m_clock->now() + m_choice * m_minute;
    m_clock->wakeAt(m_end - m_fade);
}

void SleepTimer::stopCounting()
{
    // The next start plays at full level whatever the output did.
    m_fading = false;
    m_clock->cancel();
}

void SleepTimer::due()
{
    if (!m_playing)
        return;
    // Woken late, after a suspend: past the end the tone stops at once;
    // inside the fade, it fades over what is left.
    const milliseconds left = untilEnd();
    if (!m_fading && left > milliseconds(0)) {
        m_fading = true;
        emit fadeOutput(1.0, left);
        m_clock->wakeAt(m_end);
        return;
    }
    m_fading = false;
    emit timeUp();
}

milliseconds SleepTimer::untilEnd() const
{
    return std::max(duration_cast<milliseconds>(m_end - m_clock->now()), milliseconds(0));
}
