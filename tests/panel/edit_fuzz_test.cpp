// SPDX-License-Identifier: GPL-3.0-or-later
// Seeded random texts against the number conversions and the panel's frequency edits.
#include "atol_model.h"
#include "number_text.h"
#include "panel_fixture.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLocale>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <bit>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <string>

using quavira::Channel;

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

// Random texts built from pieces users and careless programs produce.
class TextFuzzer {
public:
    explicit TextFuzzer(std::uint32_t seed) : m_random(seed) {}

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_random); }
    double anyDouble() { return std::bit_cast<double>(std::uniform_int_distribution<std::uint64_t>()(m_random)); }

    // `typeable` leaves out control characters and keeps digit runs short.
    QString text(bool typeable)
    {
        static const char16_t* const kPieces[] = {
            u"+", u"-", u" ", u".", u",", u"e", u"E", u"e+", u"e-", u"0", u"000000", u"nan", u"inf", u"Infinity",
            u"0x1p3", u"Hz", u"x", u"\u00e9", u"\u00a0", u"\u2212", u"\u0663", u"\uff11", u"\u00b2", u"\U0001F600",
            u"e999999999999", u"e-400", u"E308", u"e-308", u"\t", u"\n", u"\r", u"\v", u"\f"};
        constexpr int kTypeablePieces = 28;  // the control characters come last
        constexpr int kAllPieces = static_cast<int>(std::size(kPieces));
        QString result;
        for (int pieces = below(9); pieces > 0; --pieces) {
            switch (below(4)) {
            case 0:
            case 1:
                // Now and then a long run, of zeros too: the way past double's range.
                result += below(10) == 0 ? digits(1 + below(typeable ? 25 : 400), below(2) ? u'0' : 0)
                                         : digits(1 + below(5));
                break;
            case 2:
                result += QChar(u'a' + below(26));
                break;
            default:
                result += QString::fromUtf16(kPieces[below(typeable ? kTypeablePieces : kAllPieces)]);
            }
        }
        return result;
    }

    // A text shaped like a typed number: blanks, sign, digits, separator,
    // exponent, blanks; now and then with a stray character in it.
    QString number(QChar separator, bool typeable)
    {
        static const char16_t kStrays[] = {u'x', u'.', u',', u'e', u'-', u'\u00a0'};
        constexpr int kStrayCount = static_cast<int>(std::size(kStrays));
        QString result(below(3), u' ');
        if (below(2))
            result += below(2) ? u'-' : u'+';
        const auto run = [&] {
            const QString tail = digits(1 + below(5));
            return below(4) == 0 ? digits(1 + below(typeable ? 25 : 400), below(2) ? u'0' : 0) + tail : tail;
        };
        if (below(4))
            result += run();
        if (below(2))
            result += separator + run();
        if (below(3) == 0) {
            result += below(2) ? u'e' : u'E';
            if (below(2))
                result += below(2) ? u'-' : u'+';
            result += digits(1 + (below(3) ? below(3) : below(15)));
        }
        result += QString(below(3), u' ');
        if (below(8) == 0)
            result.insert(below(static_cast<int>(result.size()) + 1), QChar(kStrays[below(kStrayCount)]));
        return result;
    }

private:
    QString digits(int count, char16_t only = 0)
    {
        QString run;
        for (int i = 0; i < count; ++i)
            run += QChar(only ? only : char16_t(u'0' + below(10)));
        return run;
    }

    std::mt19937 m_random;
};

using quavira::testing::isAsciiDigit;
using quavira::testing::saturatingAtol;

// The C library's reading of a number text that is known to be well formed.
double cLibraryValue(const QString& number)
{
    const std::string s = number.toStdString();
    char* end = nullptr;
    const double value = std::strtod(s.c_str(), &end);
    EXPECT_EQ(end, s.c_str() + s.size()) << s;
    return value;
}

// The number at the start of a text, as atof would take it without its
// inf/nan/hex extensions; empty when no digit starts it.
QString leadingNumberText(const QString& text)
{
    static const QRegularExpression kNumber(
        QStringLiteral("^[ \t\n\v\f\r]*([+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?)"));
    const QRegularExpressionMatch match = kNumber.match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

// What strictNumber must accept, as a regular expression over the whole text.
QRegularExpression strictShape(QChar separator)
{
    const QString point = QRegularExpression::escape(QString(separator));
    return QRegularExpression(
        QStringLiteral("^ *([+-]?(?:[0-9]+(?:%1[0-9]*)?|%1[0-9]+)(?:[eE][+-]?[0-9]+)?) *\\z").arg(point));
}

std::optional<double> strictModel(const QString& text, QChar separator)
{
    static const QRegularExpression kPointShape = strictShape(u'.');
    static const QRegularExpression kCommaShape = strictShape(u',');
    Q_ASSERT(separator == u'.' || separator == u',');
    const QRegularExpressionMatch match = (separator == u'.' ? kPointShape : kCommaShape).match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return cLibraryValue(match.captured(1).replace(separator, QLatin1Char('.')));
}

int significantDigits(const QString& text)
{
    const QString mantissa = text.section(QLatin1Char('e'), 0, 0);
    QString digitsOnly;
    for (const QChar c : mantissa)
        if (isAsciiDigit(c))
            digitsOnly += c;
    while (digitsOnly.startsWith(QLatin1Char('0')))
        digitsOnly.remove(0, 1);
    return static_cast<int>(digitsOnly.size());
}

// strtod reads '.' only in the "C" numeric locale, which QApplication may have replaced.
class CNumericLocale {
public:
    CNumericLocale() : m_saved(std::setlocale(LC_NUMERIC, nullptr)) { std::setlocale(LC_NUMERIC, "C"); }
    ~CNumericLocale() { std::setlocale(LC_NUMERIC, m_saved.c_str()); }

private:
    std::string m_saved;
};

class NumberTextFuzz : public ::testing::Test {
    CNumericLocale m_cNumbers;
};

TEST_F(NumberTextFuzz, LeadingConversionsMatchTheirCLibraryModels)
{
    TextFuzzer fuzz(20240611);
    for (int i = 0; i < 10000; ++i) {
        const QString text = i % 2 ? fuzz.text(false) : fuzz.number(u'.', false);
        EXPECT_EQ(quavira::leadingInteger(text), saturatingAtol(text)) << text.toStdString();

        const QString number = leadingNumberText(text);
        const double fraction = quavira::leadingFraction(text);
        EXPECT_FALSE(std::isnan(fraction)) << text.toStdString();
        EXPECT_EQ(fraction, number.isEmpty() ? 0.0 : cLibraryValue(number)) << text.toStdString();
    }
}

TEST_F(NumberTextFuzz, StrictNumberAcceptsExactlyBlanksSignDigitsOneSeparatorAndExponent)
{
    TextFuzzer fuzz(7);
    for (int i = 0; i < 10000; ++i) {
        const QString text = i % 2 ? fuzz.text(false) : fuzz.number(i % 4 ? u'.' : u',', false);
        for (const QChar separator : {QChar(u'.'), QChar(u',')}) {
            const std::optional<double> expected = strictModel(text, separator);
            const std::optional<double> got = quavira::strictNumber(text, separator);
            ASSERT_EQ(got.has_value(), expected.has_value())
                << text.toStdString() << " with " << static_cast<char>(separator.unicode());
            if (got) {
                EXPECT_EQ(*got, *expected) << text.toStdString();
            }
        }
    }
}

TEST_F(NumberTextFuzz, TruncateToInt32TruncatesTowardZeroAndSaturates)
{
    TextFuzzer fuzz(99);
    for (int i = 0; i < 10000; ++i) {
        // Any bit pattern (NaN, infinities, subnormals), everyday values and the limits' neighbourhood.
        const double limit = fuzz.below(2) ? 2147483648.0 : -2147483648.0;
        const double candidates[] = {fuzz.anyDouble(), (fuzz.below(60001) - 30000) / 7.0 * 1e6,
                                     limit + (fuzz.below(4001) - 2000) / 1000.0};
        for (const double value : candidates) {
            const double truncated = std::clamp(std::trunc(value), double{kMin}, double{kMax});
            const std::int32_t expected = std::isnan(value) ? 0 : static_cast<std::int32_t>(truncated);
            EXPECT_EQ(quavira::truncateToInt32(value), expected) << value;
        }
    }
}

TEST_F(NumberTextFuzz, GeneralNumberRoundTripsThroughStrictNumberInFifteenDigits)
{
    TextFuzzer fuzz(31337);
    for (int i = 0; i < 10000; ++i) {
        const double value = fuzz.below(2) ? fuzz.anyDouble() : fuzz.below(1001) * 0.003141593 * (fuzz.below(3) - 1);
        if (!std::isfinite(value))
            continue;
        for (const QChar separator : {QChar(u'.'), QChar(u',')}) {
            const QString text = quavira::generalNumber(value, separator);
            const std::string shown = text.toStdString();
            EXPECT_LE(significantDigits(text), 15) << shown;
            EXPECT_NE(text, QStringLiteral("-0"));
            if (text.contains(separator)) {
                EXPECT_FALSE(text.section(QLatin1Char('e'), 0, 0).endsWith(QLatin1Char('0'))) << shown;
            }
            const std::optional<double> back = quavira::strictNumber(text, separator);
            ASSERT_TRUE(back.has_value()) << shown;
            EXPECT_LE(std::abs(*back - value),
                      std::max(std::abs(value) * 1e-14, std::numeric_limits<double>::denorm_min()))
                << shown;
            EXPECT_EQ(quavira::generalNumber(*back, separator), text) << "written again differently: " << shown;
        }
    }
}

// --- The panel's edits, driven through their Enter handlers ---

// Types a text as keystrokes; characters without a key of their own come as
// the text of an unnamed key, as an input method delivers them.
void typeInto(QLineEdit* edit, const QString& text)
{
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype length = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString unit = text.mid(i, length);
        i += length;
        if (unit[0].unicode() >= u' ' && unit[0].unicode() < 0x7f) {
            QTest::keyClick(edit, static_cast<char>(unit[0].unicode()));
            continue;
        }
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, unit);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, unit);
        QCoreApplication::sendEvent(edit, &press);
        QCoreApplication::sendEvent(edit, &release);
    }
}

class PanelEditFuzz : public PanelTest, public ::testing::WithParamInterface<std::uint32_t> {
protected:
    void TearDown() override { QLocale::setDefault(m_savedLocale); }
    QLocale m_savedLocale;
    CNumericLocale m_cNumbers;  // for strictModel; QLocale decides the edits' separator
};

TEST_P(PanelEditFuzz, EnterAppliesOnlyStrictNumbersAndKeepsBothFrequenciesInRange)
{
    const QChar separator = GetParam() % 2 ? QChar(u',') : QChar(u'.');
    QLocale::setDefault(separator == u',' ? QLocale(QLocale::German, QLocale::Germany) : QLocale::c());
    TextFuzzer fuzz(GetParam());
    for (int i = 0; i < 1000; ++i) {
        const Channel channel = fuzz.below(2) ? Channel::Left : Channel::Right;
        const Channel other = channel == Channel::Left ? Channel::Right : Channel::Left;
        QLineEdit* edit = channel == Channel::Left ? ui().LFreqEdit : ui().RFreqEdit;
        const int before = m_panel->frequencyPosition(channel);
        const int otherBefore = m_panel->frequencyPosition(other);

        if (fuzz.below(2)) {
            edit->clear();
            typeInto(edit, fuzz.below(2) ? fuzz.text(true) : fuzz.number(separator, true));
            ASSERT_EQ(m_panel->frequencyPosition(channel), before) << "typing alone applies nothing";
        } else {
            edit->setText(fuzz.below(2) ? fuzz.text(false) : fuzz.number(separator, false));
        }
        const QString entered = edit->text();
        SCOPED_TRACE(entered.toStdString());
        switch (fuzz.below(3)) {
        case 0:
            QTest::keyClick(edit, Qt::Key_Return);
            break;
        case 1:
            QTest::keyClick(edit, Qt::Key_Enter);
            break;
        default:
            channel == Channel::Left ? m_panel->LFreqEditKeyPress() : m_panel->RFreqEditKeyPress();
        }

        const int after = m_panel->frequencyPosition(channel);
        ASSERT_GE(after, 50);
        ASSERT_LE(after, 2000);
        ASSERT_EQ(m_panel->frequencyPosition(other), otherBefore);
        if (const std::optional<double> typed = strictModel(entered, separator)) {
            ASSERT_EQ(after, static_cast<int>(std::clamp(std::trunc(*typed), 50.0, 2000.0)));
            ASSERT_EQ(edit->text(), after != before ? QString::number(after) : entered);
        } else {
            ASSERT_EQ(after, before);
            ASSERT_EQ(edit->text(), QString::number(before));
        }
        if (i % 100 == 99) {
            for (const Channel c : {Channel::Left, Channel::Right})
                ASSERT_EQ(channelBytes(*m_engine, c), expectedChannel(m_panel->frequencyPosition(c), 64, 0.0f, c));
        }
    }
    EXPECT_TRUE(m_box.informed.isEmpty());
    EXPECT_TRUE(m_box.errors.isEmpty());

    // Still a working panel: an assignment from the front window moves the slider and rewrites the channel.
    const int next = m_panel->frequencyPosition(Channel::Left) == 777 ? 778 : 777;
    m_panel->setFrequencyPosition(Channel::Left, next);
    EXPECT_EQ(m_panel->frequencyText(Channel::Left), QString::number(next));
    EXPECT_EQ(channelBytes(*m_engine, Channel::Left), expectedChannel(next, 64, 0.0f, Channel::Left));
}

INSTANTIATE_TEST_SUITE_P(Seeds, PanelEditFuzz, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
