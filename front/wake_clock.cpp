// SPDX-License-Identifier: GPL-3.0-or-later
// The clock that counts through suspend.
#include "wake_clock.h"

#include <QSocketNotifier>

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

using std::chrono::nanoseconds;

BootClock::BootClock(QObject* parent) : WakeClock(parent)
{
    m_fd = timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd >= 0) {
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, &BootClock::expired);
    }
    m_fallback.setSingleShot(true);
    m_fallback.setTimerType(Qt::PreciseTimer);
    connect(&m_fallback, &QTimer::timeout, this, &WakeClock::woke);
}

BootClock::~BootClock()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

nanoseconds BootClock::now() const
{
    timespec at{};
    ::clock_gettime(CLOCK_BOOTTIME, &at);
    return std::chrono::seconds(at.tv_sec) + nanoseconds(at.tv_nsec);
}

void BootClock::wakeAt(nanoseconds when)
{
    if (m_fd >= 0) {
        // An absolute time of zero would disarm the timer rather than set it.
        const nanoseconds at = std::max(when, nanoseconds(1));
        itimerspec setting{};
        setting.it_value.tv_sec = static_cast<time_t>(at.count() / 1'000'000'000);
        setting.it_value.tv_nsec = static_cast<long>(at.count() % 1'000'000'000);
        if (::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &setting, nullptr) == 0)
            return;
    }
    m_fallback.start(std::chrono::ceil<std::chrono::milliseconds>(std::max(when - now(), nanoseconds(0))));
}

void BootClock::cancel()
{
    m_fallback.stop();
    if (m_fd >= 0) {
        const itimerspec disarmed{};
        ::timerfd_settime(m_fd, 0, &disarmed, nullptr);
    }
}

void BootClock::expired()
{
    // Setting or cancelling clears an expiry not yet read, so a read that
    // finds nothing is a wake-up that was called off in the meantime.
    std::uint64_t expiries = 0;
    if (::read(m_fd, &expiries, sizeof expiries) == static_cast<ssize_t>(sizeof expiries))
        emit woke();
}
