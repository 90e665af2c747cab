// SPDX-License-Identifier: GPL-3.0-or-later
// The process's one random source, shared by both windows.
#pragma once

#include <cstdint>

// A 32-bit linear congruential generator: each draw sets
// state = state * 22695477 + 1 (mod 2^32) and yields bits 16..30 of the new
// state, 0..32767. Seeding sets the state and makes one discarded draw.
// UI thread only.
class RandomSource {
public:
    void seed(std::uint32_t seed)
    {
        m_state = seed;
        draw();
    }
    int draw()
    {
        m_state = m_state * 22695477u + 1u;
        return static_cast<int>((m_state >> 16) & 0x7FFF);
    }
    std::uint32_t state() const { return m_state; }

private:
    std::uint32_t m_state = 0;
};

RandomSource& sharedRandom();
