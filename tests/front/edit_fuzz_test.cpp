// SPDX-License-Identifier: GPL-3.0-or-later
// Seeded random texts typed into the front window's edits, as a user types them.
#include "atol_model.h"
#include "band_colour.h"
#include "channel_synthesis.h"
#include "front_fixture.h"
#include "track_bar.h"

#include <QKeyEvent>
#include <QSignalSpy>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace fronttest {
namespace {

using quavira::testing::saturatingAtol;

int sliderHz(std::int64_t hz)
{
    return static_cast<int>(std::clamp<std::int64_t>(hz, 50, 2000));
}

class FrontEditFuzz : public FrontWindow, public ::testing::WithParamInterface<std::uint32_t> {
protected:
    void SetUp() override
    {
        start();
        m_offsetRightEdge = control("offsetlabel")->geometry().right();
    }

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_random); }

    // `typeable` leaves out control characters and long runs.
    QString randomText(bool typeable)
    {
        static const char16_t* const kPieces[] = {
            u"+", u"-", u" ", u".", u",", u"e", u"E", u"0", u"nan", u"inf", u"Hz", u"\u00e9", u"\u00a0", u"\u2212",
            u"\u0663", u"\uff11", u"\U0001F600", u"2147483648", u"-2147483649", u"\t", u"\n", u"\r"};
        constexpr int kTypeablePieces = 19;  // the control characters come last
        constexpr int kAllPieces = static_cast<int>(std::size(kPieces));
        QString text;
        for (int pieces = below(5); pieces > 0; --pieces) {
            if (below(2) == 0) {
                for (int n = below(10) == 0 && !typeable ? 11 + below(40) : 1 + below(4); n > 0; --n)
                    text += QChar(char16_t(u'0' + below(10)));
            } else {
                text += QString::fromUtf16(kPieces[below(typeable ? kTypeablePieces : kAllPieces)]);
            }
        }
        return text;
    }

    // Select all, then one keystroke per character; characters without a key
    // of their own come as the text of an unnamed key, as an input method sends them.
    static void retype(QLineEdit* edit, const QString& text)
    {
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        if (text.isEmpty())
            QTest::keyClick(edit, Qt::Key_Backspace);
        for (qsizetype i = 0; i < text.size();) {
            const qsizetype length = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
            const QString unit = text.mid(i, length);
            i += length;
            if (unit[0] >= u' ' && unit[0].unicode() < 0x7f) {
                QTest::keyClick(edit, static_cast<char>(unit[0].unicode()));
                continue;
            }
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, unit);
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, unit);
            QCoreApplication::sendEvent(edit, &press);
            QCoreApplication::sendEvent(edit, &release);
        }
    }

    void expectBuilderApplied() const
    {
        const std::int64_t base = saturatingAtol(baseEdit()->text());
        const int offset = offsetSlider()->value();
        ASSERT_EQ(panelHz(Channel::Left), sliderHz(base));
        ASSERT_EQ(panelHz(Channel::Right), sliderHz(base + offset));
        ASSERT_EQ(panelText(Channel::Left), QString::number(base));
        ASSERT_EQ(panelText(Channel::Right), QString::number(base + offset));
    }

    void expectStereoApplied() const
    {
        const QLineEdit* left = control<QLineEdit>("LFreqEdit");
        const QLineEdit* right = control<QLineEdit>("RFreqEdit");
        ASSERT_EQ(panelHz(Channel::Left), sliderHz(saturatingAtol(left->text())));
        ASSERT_EQ(panelHz(Channel::Right), sliderHz(saturatingAtol(right->text())));
        ASSERT_EQ(panelText(Channel::Left), left->text());
        ASSERT_EQ(panelText(Channel::Right), right->text());
    }

    void expectDisplaysIntact() const
    {
        ASSERT_GE(panelHz(Channel::Left), 50);
        ASSERT_LE(panelHz(Channel::Left), 2000);
        ASSERT_GE(panelHz(Channel::Right), 50);
        ASSERT_LE(panelHz(Channel::Right), 2000);
        const int offset = offsetSlider()->value();
        const QLabel* number = control<QLabel>("offsetlabel");
        ASSERT_EQ(number->text(), QString::number(offset));
        ASSERT_EQ(number->geometry().right(), m_offsetRightEdge);
        const QColor band = quavira::bandColour(offset);
        ASSERT_EQ(windowColour(), band);
        for (const char* name : {"fup", "fdown", "offsetlabel", "hz"})
            ASSERT_EQ(textColour(name), band) << name;
        ASSERT_EQ(control<QPushButton>("StartButton")->text(), m_panel.startCaption());
        ASSERT_EQ(control<QPushButton>("bstart")->text(), m_panel.startCaption());
        ASSERT_TRUE(m_box.shown.isEmpty());
    }

    // The channel's bytes as a fresh fill from the panel's sliders writes them.
    bool channelMatchesSliders(Channel channel)
    {
        const Ui::MForm& ui = m_panel.ui();
        const bool left = channel == Channel::Left;
        const int amplitude = 127 - (left ? ui.LAmplitudeTrackBar : ui.RAmplitudeTrackBar)->value();
        const auto phase = static_cast<float>((left ? ui.LPhaseTrackBar : ui.RPhaseTrackBar)->value() * 0.006283185);
        std::vector<quavira::Sample> scratch(quavira::kLoopBytes);
        quavira::fillChannel(scratch, panelHz(channel), static_cast<std::int8_t>(amplitude), phase, channel);
        const auto samples = m_engine.samples();
        for (std::size_t i = static_cast<std::size_t>(channel); i < samples.size(); i += 2)
            if (samples[i].load() != scratch[i].load())
                return false;
        return true;
    }

    std::mt19937 m_random{GetParam()};
    int m_offsetRightEdge = 0;
};

TEST_P(FrontEditFuzz, RandomTextsKeepBothFrequenciesInRangeAndTheDisplaysConsistent)
{
    ASSERT_NO_FATAL_FAILURE(expectDisplaysIntact());
    QSignalSpy baseChanges(baseEdit(), &QLineEdit::textChanged);
    QSignalSpy offsetChanges(static_cast<TrackBar*>(offsetSlider()), &TrackBar::changed);
    for (int i = 0; i < 600; ++i) {
        baseChanges.clear();
        offsetChanges.clear();
        const int leftBefore = panelHz(Channel::Left);
        const int rightBefore = panelHz(Channel::Right);
        const int action = below(10);
        if (action < 4) {  // the base edit, typed (five characters at most) or set by the program
            const bool typed = below(2);
            const QString text = randomText(typed);
            SCOPED_TRACE("base " + text.toStdString());
            typed ? retype(baseEdit(), text) : baseEdit()->setText(text);
        } else if (action == 4) {  // the offset, by key or by the program
            static constexpr Qt::Key kKeys[] = {Qt::Key_Left, Qt::Key_Right, Qt::Key_PageUp, Qt::Key_PageDown,
                                                Qt::Key_Home, Qt::Key_End};
            below(2) ? QTest::keyClick(offsetSlider(), kKeys[below(static_cast<int>(std::size(kKeys)))])
                     : offsetSlider()->setValue(below(121) - 10);
        } else if (action < 9) {  // a stereo edit: every key released applies both edits
            QLineEdit* edit = control<QLineEdit>(below(2) ? "LFreqEdit" : "RFreqEdit");
            const bool typed = below(2);
            const QString text = randomText(typed);
            SCOPED_TRACE("stereo " + text.toStdString());
            if (typed) {
                retype(edit, text);
            } else {
                edit->setText(text);
                QTest::keyClick(edit, below(2) ? Qt::Key_End : Qt::Key_Shift);
            }
            ASSERT_NO_FATAL_FAILURE(expectStereoApplied());
        } else {  // a start button, pressed with Space as focus reaches them
            const bool stereo = below(2);
            QTest::keyClick(control(stereo ? "StartButton" : "bstart"), Qt::Key_Space);
            ASSERT_NO_FATAL_FAILURE(stereo ? expectStereoApplied() : expectBuilderApplied());
        }
        if (action <= 4) {
            if (!baseChanges.isEmpty() || !offsetChanges.isEmpty()) {
                ASSERT_NO_FATAL_FAILURE(expectBuilderApplied());
            } else {
                ASSERT_EQ(panelHz(Channel::Left), leftBefore);
                ASSERT_EQ(panelHz(Channel::Right), rightBefore);
            }
        }
        ASSERT_NO_FATAL_FAILURE(expectDisplaysIntact()) << "after input " << i;
    }
    EXPECT_TRUE(channelMatchesSliders(Channel::Left));
    EXPECT_TRUE(channelMatchesSliders(Channel::Right));
}

INSTANTIATE_TEST_SUITE_P(Seeds, FrontEditFuzz, ::testing::Values(11u, 12u, 13u));

}  // namespace
}  // namespace fronttest
