// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the number/text conversions of edits and preset lists.
#include "number_text.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace quavira;

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

struct IntegerCase {
    const char* text;
    std::int32_t value;
};

class LeadingIntegerTest : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(LeadingIntegerTest, ReadsTheLeadingDecimalInteger)
{
    EXPECT_EQ(leadingInteger(QString::fromLatin1(GetParam().text)), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, LeadingIntegerTest,
                         ::testing::Values(IntegerCase{"852", 852}, IntegerCase{"  -12abc", -12}, IntegerCase{"+7", 7},
                                           IntegerCase{"\t 40 Hz", 40}, IntegerCase{"", 0}, IntegerCase{"abc", 0},
                                           IntegerCase{"-", 0}, IntegerCase{"12.9", 12}, IntegerCase{"0", 0},
                                           IntegerCase{"2147483647", kMax}, IntegerCase{"2147483648", kMax},
                                           IntegerCase{"99999999999999999999", kMax},
                                           IntegerCase{"-2147483648", kMin},
                                           IntegerCase{"-99999999999999999999", kMin}));

TEST(LeadingFractionTest, ReadsAtofStyleFractions)
{
    EXPECT_DOUBLE_EQ(leadingFraction(QStringLiteral("7.5")), 7.5);
    EXPECT_DOUBLE_EQ(leadingFraction(QStringLiteral("341.3")), 341.3);
    EXPECT_DOUBLE_EQ(leadingFraction(QStringLiteral(" 3.9x")), 3.9);
    EXPECT_DOUBLE_EQ(leadingFraction(QStringLiteral("-2.5e1")), -25.0);
    EXPECT_DOUBLE_EQ(leadingFraction(QStringLiteral(".5")), 0.5);
    EXPECT_DOUBLE_EQ(leadingFraction(QStringLiteral("4e")), 4.0);
    EXPECT_DOUBLE_EQ(leadingFraction(QStringLiteral("")), 0.0);
    EXPECT_DOUBLE_EQ(leadingFraction(QStringLiteral("abc")), 0.0);
    EXPECT_DOUBLE_EQ(leadingFraction(QStringLiteral(".")), 0.0);
}

TEST(LeadingFractionTest, ReadsThePointWhateverTheLocale)
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_DOUBLE_EQ(leadingFraction(QStringLiteral("426.7")), 426.7);
    EXPECT_DOUBLE_EQ(leadingFraction(QStringLiteral("426,7")), 426.0);
    QLocale::setDefault(saved);
}

TEST(StrictNumberTest, AcceptsBlanksSignDigitsSeparatorAndExponent)
{
    EXPECT_EQ(strictNumber(QStringLiteral("612.9"), '.'), 612.9);
    EXPECT_EQ(strictNumber(QStringLiteral("  -7  "), '.'), -7.0);
    EXPECT_EQ(strictNumber(QStringLiteral("+1e3"), '.'), 1000.0);
    EXPECT_EQ(strictNumber(QStringLiteral("2.5E-1"), '.'), 0.25);
    EXPECT_EQ(strictNumber(QStringLiteral("5."), '.'), 5.0);
    EXPECT_EQ(strictNumber(QStringLiteral("1,5"), ','), 1.5);
}

TEST(StrictNumberTest, RejectsAnythingElse)
{
    for (const char* text : {"", " ", "abc", "12abc", "1e", "--1", "+", ".", "1.2.3", "1 2", "0x10", "inf", "nan"})
        EXPECT_FALSE(strictNumber(QString::fromLatin1(text), '.').has_value()) << text;
    // In a comma locale the point is a stray character.
    EXPECT_FALSE(strictNumber(QStringLiteral("1.5"), ',').has_value());
}

TEST(StrictNumberTest, HugeMagnitudesBecomeInfiniteNotErrors)
{
    const auto huge = strictNumber(QStringLiteral("1e999"), '.');
    ASSERT_TRUE(huge.has_value());
    EXPECT_TRUE(std::isinf(*huge) && *huge > 0);
    const auto tiny = strictNumber(QStringLiteral("1e-999"), '.');
    ASSERT_TRUE(tiny.has_value());
    EXPECT_EQ(*tiny, 0.0);
}

TEST(TruncateToInt32Test, TruncatesTowardZeroAndSaturates)
{
    EXPECT_EQ(truncateToInt32(612.9), 612);
    EXPECT_EQ(truncateToInt32(-7.9), -7);
    EXPECT_EQ(truncateToInt32(954.7), 954);
    EXPECT_EQ(truncateToInt32(1e20), kMax);
    EXPECT_EQ(truncateToInt32(-1e20), kMin);
    EXPECT_EQ(truncateToInt32(std::numeric_limits<double>::infinity()), kMax);
    EXPECT_EQ(truncateToInt32(std::nan("")), 0);
}

TEST(GeneralNumberTest, WritesAtMostFifteenSignificantDigits)
{
    EXPECT_EQ(generalNumber(1000 * 0.003141593, '.'), QStringLiteral("3.141593"));
    EXPECT_EQ(generalNumber(500 * 0.003141593, '.'), QStringLiteral("1.5707965"));
    EXPECT_EQ(generalNumber(1 * 0.003141593, '.'), QStringLiteral("0.003141593"));
    EXPECT_EQ(generalNumber(0.0, '.'), QStringLiteral("0"));
    EXPECT_EQ(generalNumber(-0.0, '.'), QStringLiteral("0"));
    EXPECT_EQ(generalNumber(1.0 / 3.0, '.'), QStringLiteral("0.333333333333333"));
    EXPECT_EQ(generalNumber(1000 * 0.003141593, ','), QStringLiteral("3,141593"));
}

TEST(GeneralNumberTest, UsesTheLocaleSeparatorByDefault)
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(generalNumber(2.5), QStringLiteral("2,5"));
    EXPECT_EQ(strictNumber(QStringLiteral("2,5")), 2.5);
    QLocale::setDefault(saved);
}

}  // namespace
