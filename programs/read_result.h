// SPDX-License-Identifier: GPL-3.0-or-later
// The outcome of reading a program: the value, or what is wrong and on which line.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace quavira::programs {

// line 0 means the file as a whole (too long, no time lines, not readable).
struct ReadError {
    int line = 0;
    std::string what;
    // "line 12: what" (or just what for line 0), for the listener's message box.
    std::string text() const { return line > 0 ? "line " + std::to_string(line) + ": " + what : what; }
};

template <class T>
class ReadResult {
public:
    ReadResult(T value) : m_value(std::move(value)) {}
    ReadResult(ReadError error) : m_error(std::move(error)) {}
    bool ok() const { return m_value.has_value(); }
    const T& value() const& { return *m_value; }
    T&& value() && { return std::move(*m_value); }
    const ReadError& error() const { return m_error; }

private:
    std::optional<T> m_value;
    ReadError m_error;
};

}  // namespace quavira::programs
