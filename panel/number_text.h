// SPDX-License-Identifier: GPL-3.0-or-later
// Conversions between numbers and the texts of edits and preset lists.
#pragma once

#include <QChar>
#include <QString>

#include <cstdint>
#include <optional>

namespace quavira {

// The leading decimal integer of a text, as atol reads it: leading white
// space skipped, one optional sign, digits up to the first other character;
// no digits give 0. A value beyond 32 bits saturates at INT32_MIN/INT32_MAX.
std::int32_t leadingInteger(const QString& text);

// The leading decimal fraction of a text, as atof reads it, with "." as the
// decimal point whatever the locale: white space, sign, digits, an optional
// fraction and exponent; no number gives 0.0.
double leadingFraction(const QString& text);

// The strict conversion of a typed number: the whole text must be blanks, a
// sign, digits with at most one `decimalSeparator`, an optional exponent and
// blanks again. Anything else (empty text too) gives no value. Magnitudes
// beyond double give +-infinity.
std::optional<double> strictNumber(const QString& text, QChar decimalSeparator);
// The same with the user's locale's decimal separator.
std::optional<double> strictNumber(const QString& text);

// Truncates toward zero and saturates at the 32-bit limits (NaN gives 0).
std::int32_t truncateToInt32(double value);

// The general number format: at most 15 significant digits, trailing zeros
// dropped, `decimalSeparator` as the point ("3.141593", "0.003141593", "0").
QString generalNumber(double value, QChar decimalSeparator);
// The same with the user's locale's decimal separator.
QString generalNumber(double value);

}  // namespace quavira
