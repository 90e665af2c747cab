// SPDX-License-Identifier: GPL-3.0-or-later
// The front window and the generator panel built as the application builds them.
#pragma once

#include "fake_wave_out.h"
#include "loop_buffer.h"
#include "message_box.h"
#include "tform1.h"
#include "tmform.h"

#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QObject>
#include <QPushButton>
#include <QSlider>
#include <QStringList>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace fronttest {

using quavira::Channel;

class RecordingMessages final : public MessageBox {
public:
    void inform(const QString& text) override { shown << text; }
    void error(const QString& text) override { shown << text; }
    QStringList shown;
};

// Stands in for the desktop's browser: records every address opened.
class UrlRecorder : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened << url; }
};

// An independent model of the process's random source, to predict draws.
struct Lcg {
    explicit Lcg(std::uint32_t seed) : state(seed) { draw(); }
    int draw()
    {
        state = state * 22695477u + 1u;
        return static_cast<int>((state >> 16) & 0x7FFF);
    }
    std::uint32_t state;
};

struct StartDraws {
    int preset;
    int offsetHz;
    int baseHz;
};

inline StartDraws startDrawsFor(std::int64_t seconds)
{
    Lcg random(static_cast<std::uint32_t>(seconds));
    StartDraws draws{};
    draws.preset = random.draw() % 40;
    draws.offsetHz = random.draw() % 100;
    draws.baseHz = random.draw() % 1850 + 150;
    return draws;
}

// Left and right frequencies heard for preset rows 0..39.
inline constexpr int kPresetHz[40][2] = {
    {852, 859}, {174, 181}, {852, 864}, {285, 293}, {528, 532}, {432, 435}, {174, 177}, {432, 435},
    {852, 857}, {432, 439}, {741, 755}, {396, 404}, {396, 404}, {741, 748}, {528, 784}, {528, 816},
    {528, 848}, {528, 869}, {528, 912}, {528, 954}, {528, 1008}, {528, 538}, {432, 472}, {528, 534},
    {174, 180}, {852, 907}, {528, 540}, {639, 651}, {528, 540}, {174, 186}, {528, 537}, {417, 429},
    {396, 408}, {396, 408}, {417, 429}, {432, 442}, {528, 538}, {528, 540}, {741, 753}, {963, 975},
};

// The real pair; the window is shown (and so seeded) by start().
class FrontWindow : public ::testing::Test {
protected:
    static constexpr std::int64_t kDefaultSeconds = 1'700'000'000;

    FrontWindow() : m_engine(adopt(m_device)), m_panel(m_engine, m_box)
    {
        m_form.setGeneratorPanel(&m_panel);
    }

    ~FrontWindow() override { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }

    void start(std::int64_t seconds = kDefaultSeconds)
    {
        m_form.setClock([seconds] { return seconds; });
        m_form.show();
        m_form.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&m_form));
    }

    template <class T = QWidget>
    T* control(const char* name) const
    {
        T* found = m_form.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    QLineEdit* baseEdit() const { return control<QLineEdit>("LBiEdit"); }
    QSlider* offsetSlider() const { return control<QSlider>("freqtrack"); }
    QColor windowColour() const { return m_form.palette().color(QPalette::Window); }
    QColor textColour(const char* name) const { return control(name)->palette().color(QPalette::WindowText); }
    int panelHz(Channel channel) const { return m_panel.frequencyPosition(channel); }
    QString panelText(Channel channel) const { return m_panel.frequencyText(channel); }

    // Replaces the whole base text by typing, one keystroke at a time.
    void typeBase(const QString& text)
    {
        QLineEdit* edit = baseEdit();
        edit->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        if (text.isEmpty())
            QTest::keyClick(edit, Qt::Key_Backspace);
        else
            QTest::keyClicks(edit, text);
    }

    // Moves the slider with the keyboard: Home, then Right `offsetHz` times.
    void keyOffset(int offsetHz)
    {
        QSlider* slider = offsetSlider();
        slider->setFocus(Qt::TabFocusReason);
        QTest::keyClick(slider, Qt::Key_Home);
        for (int i = 0; i < offsetHz; ++i)
            QTest::keyClick(slider, Qt::Key_Right);
    }

    void recordUrls() { QDesktopServices::setUrlHandler(QStringLiteral("https"), &m_urls, "open"); }

    static std::unique_ptr<quavira::testing::FakeWaveOut> adopt(quavira::testing::FakeWaveOut*& raw)
    {
        auto device = std::make_unique<quavira::testing::FakeWaveOut>();
        raw = device.get();
        return device;
    }

    quavira::testing::FakeWaveOut* m_device = nullptr;
    quavira::LoopBuffer m_engine;
    RecordingMessages m_box;
    TForm1 m_form;
    TMForm m_panel;
    UrlRecorder m_urls;
};

}  // namespace fronttest
