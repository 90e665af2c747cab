// SPDX-License-Identifier: GPL-3.0-or-later
// Shared set-up of the panel tests: the real panel on a fake device.
#pragma once

#include "fake_wave_out.h"
#include "loop_buffer.h"
#include "message_box.h"
#include "tmform.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

// Records every box the panel shows, in order, instead of blocking.
class RecordingMessages final : public MessageBox {
public:
    void inform(const QString& text) override { informed << text; }
    void error(const QString& text) override { errors << text; }

    QStringList informed;
    QStringList errors;
};

// One channel's 44,100 bytes, as fillChannel writes them into a fresh buffer.
std::vector<std::uint8_t> expectedChannel(int freqHz, int amplitude, float phaseRad, quavira::Channel channel);
// The same channel's bytes as they stand in the engine's loop buffer.
std::vector<std::uint8_t> channelBytes(const quavira::LoopBuffer& engine, quavira::Channel channel);
// The phase the panel gives the synthesis for a phase slider position.
float phaseForPosition(int position);

class PanelTest : public ::testing::Test {
protected:
    // Builds the device, the engine and the hidden panel; a non-zero
    // `openResult` makes the device refuse to open.
    void createPanel(quavira::MmResult openResult = quavira::kMmSysNoError);
    void SetUp() override;

    Ui::MForm& ui() { return m_panel->ui(); }
    void poison(quavira::Channel channel, std::uint8_t value = 0);
    std::uint8_t firstByte(quavira::Channel channel) const;

    quavira::testing::FakeWaveOut* m_device = nullptr;
    std::unique_ptr<quavira::LoopBuffer> m_engine;
    RecordingMessages m_box;
    std::unique_ptr<TMForm> m_panel;
    // Tests that build their own panel (failing devices) set this first.
    bool m_createInSetUp = true;
};
