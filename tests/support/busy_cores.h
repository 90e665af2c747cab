// SPDX-License-Identifier: GPL-3.0-or-later
// Load for the sound tests: threads that spin for as long as it lives.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace quavira::testing {

class BusyCores {
public:
    explicit BusyCores(int threads = 2)
    {
        for (int i = 0; i < threads; ++i)
            m_threads.emplace_back([this] {
                volatile unsigned long spins = 0;
                while (m_busy.load(std::memory_order_relaxed))
                    spins = spins + 1;
            });
    }
    ~BusyCores()
    {
        m_busy = false;
        for (std::thread& thread : m_threads)
            thread.join();
    }
    BusyCores(const BusyCores&) = delete;
    BusyCores& operator=(const BusyCores&) = delete;

private:
    std::atomic<bool> m_busy{true};
    std::vector<std::thread> m_threads;
};

}  // namespace quavira::testing
