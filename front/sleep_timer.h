// SPDX-License-Identifier: GPL-3.0-or-later
// The sleep timer: the tone stops by itself after a chosen time, fading out
// over its last minute.
#pragma once

#include <QObject>

#include <chrono>
#include <optional>

class WakeClock;

// Off, or a number of minutes counted from the tone's start. Over the last
// minute the output fades out evenly (fadeOutput); then timeUp asks for the
// tone to be stopped as the start buttons stop it. Any stop ends the
// countdown and keeps the choice for the next start; changes of the tone do
// not touch it. A choice made while the tone plays counts from then. It
// counts on the clock that runs through suspend: a machine that sleeps past
// the end stops the tone as it wakes, and one that wakes inside the last
// minute fades over what is left of it. While it counts, one wake-up is set
// at a time, two in all; otherwise none. UI thread only.
class SleepTimer : public QObject {
    Q_OBJECT

public:
    static constexpr int kChoices[] = {15, 30, 45, 60, 90, 120};  // minutes

    explicit SleepTimer(QObject* parent = nullptr);

    // For the tests: how long a minute of the choices and the fade last.
    void setTiming(std::chrono::milliseconds minute, std::chrono::milliseconds fade);
    // For the tests: the clock to count on, taken over, set before it counts.
    void setClock(WakeClock* clock);

    // 0 is Off.
    void setChoice(int minutes);
    int choice() const { return m_choice; }
    // Whole minutes left, rounded up, while it counts.
    std::optional<int> minutesLeft() const;
    bool fading() const { return m_fading; }

    // The tone has started or stopped, whoever did it.
    void playingChanged(bool playing);

signals:
    // The output moves to `depth` (0 full, 1 silence) over `span`.
    void fadeOutput(double depth, std::chrono::milliseconds span);
    // The time is up: the tone is to stop.
    void timeUp();

private:
    void startCounting();
    void stopCounting();
    void due();
    std::chrono::milliseconds untilEnd() const;

    int m_choice = 0;
    bool m_playing = false;
    bool m_fading = false;
    std::chrono::milliseconds m_minute{60'000};
    std::chrono::milliseconds m_fade{60'000};
    std::chrono::nanoseconds m_end{};  // on m_clock
    WakeClock* m_clock = nullptr;
};
