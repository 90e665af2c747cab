// SPDX-License-Identifier: GPL-3.0-or-later
// The sleep timer.
#include "sleep_timer.h"

#include <algorithm>

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

// A fade that is called off climbs back to full level over this.
constexpr milliseconds kBackToFull{1000};

}  // namespace

SleepTimer::SleepTimer(QObject* parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    // Two wake-ups in all, each due to the millisecond, however long the
    // choice: the start of the fade and its end.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &SleepTimer::due);
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
    m_timer.stop();
    if (m_choice == 0)
        return;
    m_end = Clock::now() + m_choice * m_minute;
    m_timer.start(std::max(untilEnd() - m_fade, milliseconds(0)));
}

void SleepTimer::stopCounting()
{
    // The next start plays at full level whatever the output did.
    m_fading = false;
    m_timer.stop();
}

void SleepTimer::due()
{
    if (!m_playing)
        return;
    if (!m_fading) {
        m_fading = true;
        const milliseconds left = untilEnd();
        emit fadeOutput(1.0, left);
        m_timer.start(left);
        return;
    }
    m_fading = false;
    emit timeUp();
}

milliseconds SleepTimer::untilEnd() const
{
    return std::max(duration_cast<milliseconds>(m_end - Clock::now()), milliseconds(0));
}
