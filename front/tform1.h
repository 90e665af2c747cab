// SPDX-License-Identifier: GPL-3.0-or-later
// The front window Form1: the binaural builder, the credits and the unseen stereo section.
#pragma once

#include "channel_synthesis.h"
#include "ui_form1.h"

#include <QWidget>

#include <cstdint>
#include <functional>

class Announcer;
class ArrowGlyph;
class NoiseMenu;
class QAction;
class QMenu;
class SleepTimer;
class TMForm;

// The main window the user works with. It holds no tone state of its own:
// every handler acts on the generator panel through the panel's public
// operations and copies back what the panel shows. The handlers keep the
// names of the control and event they serve and run synchronously, one at a
// time. UI thread only.
class TForm1 : public QWidget {
    Q_OBJECT

public:
    // The maker's web address the credit texts open.
    static constexpr const char* kMakerUrl = "https://quavira.example/";

    explicit TForm1(QWidget* parent = nullptr);

    // The panel every handler acts on; set by the application before the
    // window is shown. Handlers do nothing until it is set.
    void setGeneratorPanel(TMForm* panel);
    // The clock that seeds the random source on the first show: whole
    // seconds since 1970-01-01 00:00:00 UTC.
    void setClock(std::function<std::int64_t()> secondsSince1970);

    // Stereo section and credits.
    void ComboBox1Change();
    void ListBox1Click();
    void LFreqEditKeyUp();
    void StartButtonClick();
    void Label3Click();
    void Label13Click();

    // Binaural builder.
    void LBiEditChange();
    void freqtrackChange();
    void bstartClick();
    void fupMouseDown();
    void fupMouseUp();
    void fdownMouseDown();
    void fdownMouseUp();
    void ApplyBinaural();
    void ShowBand();

    // Starts or stops the tone as it stands, without applying the builder's
    // pair first (what the start buttons do), and shows the new caption on
    // both start buttons: for requests from outside the window (media keys,
    // the sleep timer) that change nothing but whether the tone plays.
    void togglePlaying();

    // The window's menu: the sleep timer ("Stop after"), the noise under the
    // tone and saving the tone.
    QMenu* contextMenu() const { return m_menu; }
    SleepTimer& sleepTimer() { return *m_sleepTimer; }

    // Random choices and the start state.
    void FormShow();
    void RandomProfile();
    void Label8Click();
    void Label9Click();
    void Label10Click();
    void Label22Click();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void connectHandlers();
    void buildMenu();
    void showMinutesLeft();
    void applyNoiseChoice();
    void popUpMenuAtFocus();
    void saveToneAs();
    void applyStereoEdits();
    void applyPairToPanel();
    void copyStartCaption();
    void setOffsetCaption(int offsetHz);
    static int randomFrequency();
    // A random frequency into a stereo edit, then onto that channel of the panel.
    void randomStereoFrequency(quavira::Channel channel, QLineEdit* edit);
    static void setArrowPointSize(ArrowGlyph* arrow, int points);
    void showBandInWords(int offsetHz);

    Ui::Form1 m_ui;
    TMForm* m_panel = nullptr;
    std::function<std::int64_t()> m_clock;
    // The right edge offsetlabel keeps as its text grows leftwards.
    int m_offsetRightEdge = 0;
    bool m_shown = false;
    QMenu* m_menu = nullptr;
    QMenu* m_stopAfter = nullptr;
    QAction* m_minutesLeft = nullptr;
    NoiseMenu* m_noise = nullptr;
    SleepTimer* m_sleepTimer = nullptr;
    Announcer* m_announcer = nullptr;
};
