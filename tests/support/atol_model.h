// SPDX-License-Identifier: GPL-3.0-or-later
// An independent model of how the windows read a number out of an edit's
// text: atol with saturation at the 32-bit limits.
#pragma once

#include <QString>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

namespace quavira::testing {

inline bool isCBlank(QChar c)
{
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

inline bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Blanks, one sign, ASCII digits; no digits give 0.
inline std::int32_t saturatingAtol(const QString& text)
{
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    qsizetype i = 0;
    while (i < text.size() && isCBlank(text[i]))
        ++i;
    const bool negative = i < text.size() && text[i] == u'-';
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    while (i < text.size() && text[i] == u'0')
        ++i;
    std::string significant;
    while (i < text.size() && isAsciiDigit(text[i]))
        significant += static_cast<char>(text[i++].unicode());
    if (significant.size() > 10)
        return negative ? kMin : kMax;
    const long long magnitude = significant.empty() ? 0 : std::stoll(significant);
    return static_cast<std::int32_t>(std::clamp<long long>(negative ? -magnitude : magnitude, kMin, kMax));
}

}  // namespace quavira::testing
