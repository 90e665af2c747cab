// SPDX-License-Identifier: GPL-3.0-or-later
// Conversions between numbers and the texts of edits and preset lists.
#include "number_text.h"

#include <QLocale>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace quavira {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Whether the unsigned number text [first, last) (digits, an optional '.'
// and fraction, an optional exponent) with a non-zero digit lies below 1:
// the place of its first significant digit plus its exponent is negative.
// Sorts a number that from_chars found out of range into underflow or
// overflow; the exponent's sign alone misjudges "0.000...01" and
// "1000...0e-5".
bool belowOne(const char* first, const char* last)
{
    constexpr std::int64_t kExponentCap = 1'000'000'000;
    std::int64_t place = 0;  // decimal place of the first significant digit
    bool significant = false;
    bool fraction = false;
    const char* p = first;
    for (; p != last && (isDigit(*p) || *p == '.'); ++p) {
        if (*p == '.') {
            fraction = true;
        } else if (!significant && *p == '0') {
            if (fraction)
                --place;
        } else if (!significant) {
            significant = true;
            place = fraction ? place - 1 : 0;
        } else if (!fraction) {
            ++place;
        }
    }
    std::int64_t exponent = 0;
    if (p != last && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negative = p != last && *p == '-';
        if (p != last && (*p == '+' || *p == '-'))
            ++p;
        for (; p != last && isDigit(*p); ++p)
            exponent = std::min(kExponentCap, exponent * 10 + (*p - '0'));
        if (negative)
            exponent = -exponent;
    }
    return place + exponent < 0;
}

// Reads a decimal fraction from `s` starting at `pos` with '.' as the point;
// returns the value and advances `pos` past it, or nothing when no digit
// stands in the mantissa. Out-of-range magnitudes become infinity or zero.
std::optional<double> readFraction(const std::string& s, std::size_t& pos)
{
    std::size_t i = pos;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    const std::size_t mantissa = i;
    std::size_t digits = 0;
    while (i < s.size() && isDigit(s[i]))
        ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isDigit(s[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            ++j;
        if (j < s.size() && isDigit(s[j])) {
            while (j < s.size() && isDigit(s[j]))
                ++j;
            i = j;
        }
    }
    double value = 0.0;
    const char* first = s.data() + mantissa;
    const char* last = s.data() + i;
    const auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone on overflow and underflow.
        value = belowOne(first, last) ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (ec != std::errc() || end != last) {
        return std::nullopt;
    }
    pos = i;
    return negative ? -value : value;
}

}  // namespace

std::int32_t leadingInteger(const QString& text)
{
    const std::string s = text.toStdString();
    std::size_t i = 0;
    while (i < s.size() && isBlank(s[i]))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    // Accumulated as a magnitude that stops growing past the 32-bit range.
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    while (i < s.size() && isDigit(s[i])) {
        magnitude = std::min(kLimit, magnitude * 10 + (s[i] - '0'));
        ++i;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

double leadingFraction(const QString& text)
{
    const std::string s = text.toStdString();
    std::size_t i = 0;
    while (i < s.size() && isBlank(s[i]))
        ++i;
    return readFraction(s, i).value_or(0.0);
}

std::optional<double> strictNumber(const QString& text, QChar decimalSeparator)
{
    // Only the one separator counts as the point: a '.' in a comma locale is
    // as wrong as any other stray character.
    QString normalised = text;
    if (decimalSeparator != QLatin1Char('.')) {
        if (normalised.contains(QLatin1Char('.')))
            return std::nullopt;
        normalised.replace(decimalSeparator, QLatin1Char('.'));
    }
    const std::string s = normalised.toStdString();
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    const std::optional<double> value = readFraction(s, i);
    if (!value)
        return std::nullopt;
    while (i < s.size() && s[i] == ' ')
        ++i;
    if (i != s.size())
        return std::nullopt;
    return value;
}

std::optional<double> strictNumber(const QString& text)
{
    return strictNumber(text, QLocale().decimalPoint().front());
}

std::int32_t truncateToInt32(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 2147483647.0)
        return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0)
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(std::trunc(value));
}

QString generalNumber(double value, QChar decimalSeparator)
{
    // to_chars, unlike printf, ignores LC_NUMERIC (which QCoreApplication
    // sets from the environment): it always writes '.'.
    char buffer[40];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    QString text = QString::fromLatin1(buffer, static_cast<qsizetype>(result.ptr - buffer));
    text.replace(QLatin1Char('.'), decimalSeparator);
    if (text == QLatin1String("-0"))
        text = QStringLiteral("0");
    return text;
}

QString generalNumber(double value)
{
    return generalNumber(value, QLocale().decimalPoint().front());
}

}  // namespace quavira
