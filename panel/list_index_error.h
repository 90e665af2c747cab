// SPDX-License-Identifier: GPL-3.0-or-later
// The error of a list lookup with an index that names no item.
#pragma once

#include <stdexcept>
#include <string>

// Raised by a list lookup outside 0..count - 1; what() is
// "List index out of bounds (<index>)".
class ListIndexError : public std::out_of_range {
public:
    explicit ListIndexError(int index)
        : std::out_of_range("List index out of bounds (" + std::to_string(index) + ")"), m_index(index)
    {
    }
    int index() const { return m_index; }

private:
    int m_index;
};
