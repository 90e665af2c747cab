// SPDX-License-Identifier: GPL-3.0-or-later
// The generator panel MForm: the hidden window whose controls hold the tone
// state. Every change of a slider rewrites its channel of the loop buffer and
// redraws the waveform view. UI thread only.
#pragma once

#include "channel_synthesis.h"
#include "noise_colour.h"
#include "ui_mform.h"

#include <QString>
#include <QWidget>

#include <cstdint>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quavira {
class LoopBuffer;
}
class MessageBox;
class QCloseEvent;
class QLineEdit;
class TrackBar;

class TMForm : public QWidget {
    Q_OBJECT

public:
    // Loads the layout, connects the handlers, then runs FormCreate; an
    // exception escaping FormCreate goes to the standard exception display
    // and construction goes on.
    TMForm(quavira::LoopBuffer& engine, MessageBox& messages, QWidget* parent = nullptr);

    // The operations the front window performs on the panel.
    void setFrequencyPosition(quavira::Channel channel, int hz);  // clamped slider assignment
    int frequencyPosition(quavira::Channel channel) const;
    void setFrequencyText(quavira::Channel channel, const QString& text);
    QString frequencyText(quavira::Channel channel) const;
    void selectPreset(int row);  // sets ListBox1's selection; runs no handler
    void ListBox1Click();
    void ToggleStartStop();
    QString startCaption() const;
    // Whether a tone plays: any caption but "Start" on the start button.
    bool playing() const;
    // The output, not the tone, moves along the fade curve to `depth` (0
    // full, 1 silence) over `span`; the next start plays at full level.
    void fadeOutput(double depth, std::chrono::milliseconds span);
    // Where the panel shows its messages, for actions of the front window.
    MessageBox& messages() { return m_messages; }
    // The noise under the tone (none at every launch): `colour` at `levelDb`
    // dBFS RMS, heard at once when it plays and with every Start.
    void setNoise(std::optional<quavira::NoiseColour> colour, double levelDb);
    std::optional<quavira::NoiseColour> noiseColour() const;
    double noiseLevelDb() const;
    // A copy of the loop buffer's bytes as they are now (kLoopBytes of them);
    // empty when no buffer exists.
    std::vector<std::uint8_t> loopBytes() const;

    // The window Button2Click shows.
    void setFrontWindow(QWidget* window) { m_frontWindow = window; }

    void DrawWaveform();
    QString lastStatus() const { return m_lastStatus; }

    // Handlers, named after control and event.
    void FormCreate();
    void FormClose();
    void StartButtonClick();
    void LFreqTrackBarChange();
    void RFreqTrackBarChange();
    void LPhaseTrackBarChange();
    void RPhaseTrackBarChange();
    void LAmplitudeTrackBarChange();
    void RAmplitudeTrackBarChange();
    void LFEUpDownClick();
    void RFEUpDownClick();
    void LFreqEditKeyPress();
    void RFreqEditKeyPress();
    void TrackBar1Change();
    void Button1Click();
    void Button2Click();
    void SndVolButtonClick();

    // The controls, for the tests and the front window's layout checks.
    const Ui::MForm& ui() const { return m_ui; }
    Ui::MForm& ui() { return m_ui; }
    int waveformPoints() const { return m_waveformPoints; }

signals:
    // StartButton's caption, the playing state, has just been set anew.
    void startCaptionChanged();
    // The noise was set anew (setNoise).
    void noiseChanged();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    TrackBar* frequencySlider(quavira::Channel channel) const;
    QLineEdit* frequencyEdit(quavira::Channel channel) const;
    // Fill channel: the channel's frequency, amplitude (127 - position) and
    // phase (position x 0.006283185 rad) sliders as they stand now.
    void fillFromSliders(quavira::Channel channel);
    void frequencyChanged(quavira::Channel channel);
    void phaseChanged(quavira::Channel channel);
    void frequencyEntered(quavira::Channel channel);
    void showStatus(const std::string& status);

    Ui::MForm m_ui;
    quavira::LoopBuffer& m_engine;
    MessageBox& m_messages;
    QWidget* m_frontWindow = nullptr;
    QString m_lastStatus;
    int m_waveformPoints = 0;
    QString m_volumeControl;  // the mixer's path; empty when none was found
};
