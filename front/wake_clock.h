// SPDX-License-Identifier: GPL-3.0-or-later
// A clock that counts through suspend, with one wake-up at a time on it.
#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>

class QSocketNotifier;

// Time on a clock and one wake-up set on it: wakeAt replaces the one set
// before, cancel drops it, and woke comes once when the time has come. The
// sleep timer counts on one; its tests give it a clock they move by hand.
// UI thread only.
class WakeClock : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual std::chrono::nanoseconds now() const = 0;
    virtual void wakeAt(std::chrono::nanoseconds when) = 0;
    virtual void cancel() = 0;

signals:
    void woke();
};

// The time since boot, suspend included (CLOCK_BOOTTIME), woken by a timerfd
// on that clock: a time that passed during a suspend wakes it as soon as the
// machine resumes. Where no timerfd can be had, a timer counts instead, which
// stands still while the machine sleeps. UI thread only.
class BootClock final : public WakeClock {
    Q_OBJECT

public:
    explicit BootClock(QObject* parent = nullptr);
    ~BootClock() override;

    std::chrono::nanoseconds now() const override;
    void wakeAt(std::chrono::nanoseconds when) override;
    void cancel() override;

private:
    void expired();

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_fallback;
};
