// SPDX-License-Identifier: GPL-3.0-or-later
// Private copies of the loop buffer, handed from the user-interface thread
// to an audio callback without a lock.
#pragma once

#include "wave_out.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quavira {

// A triple buffer of loop copies. The user-interface thread copies the loop
// into its spare copy and publishes it; the audio callback takes the newest
// published copy when there is one. Each copy belongs to one side at a time,
// so the copies are plain bytes; the hand-over is one atomic exchange.
class LoopSnapshots {
public:
    explicit LoopSnapshots(std::size_t bytes)
    {
        for (auto& copy : m_copies)
            copy.assign(bytes, 0);
    }

    // While no callback runs: copies `live` and makes it the current copy.
    const std::uint8_t* reset(std::span<const Sample> live)
    {
        copyFrom(live, m_front);
        m_middle.store(m_middle.load(std::memory_order_relaxed) & kIndexMask, std::memory_order_relaxed);
        return m_copies[m_front].data();
    }

    // User-interface thread: copies `live` into the spare copy and publishes it.
    void publish(std::span<const Sample> live)
    {
        copyFrom(live, m_back);
        m_back = m_middle.exchange(m_back | kFresh, std::memory_order_acq_rel) & kIndexMask;
    }

    // Audio callback: the newest published copy, or null when nothing newer
    // than the current one was published. Once it returns a copy, the one
    // before may be written by the other side: read it no more.
    const std::uint8_t* takeNewer()
    {
        if (!(m_middle.load(std::memory_order_relaxed) & kFresh))
            return nullptr;
        m_front = m_middle.exchange(m_front, std::memory_order_acq_rel) & kIndexMask;
        return m_copies[m_front].data();
    }

private:
    static constexpr int kIndexMask = 3;
    static constexpr int kFresh = 4;

    void copyFrom(std::span<const Sample> live, int index)
    {
        std::vector<std::uint8_t>& copy = m_copies[static_cast<std::size_t>(index)];
        loadBytes(live.first(std::min(copy.size(), live.size())), copy.data());
    }

    std::array<std::vector<std::uint8_t>, 3> m_copies;
    int m_front = 0;                // the callback's
    int m_back = 1;                 // the user-interface thread's
    std::atomic<int> m_middle{2};   // the one in between, kFresh when not taken yet
};

}  // namespace quavira
