// SPDX-License-Identifier: GPL-3.0-or-later
// Entry of the panel tests: an offscreen QApplication around GoogleTest.
#include "bundled_fonts.h"
#include "panel_fixture.h"

#include <QApplication>

#include <gtest/gtest.h>

std::vector<std::uint8_t> expectedChannel(int freqHz, int amplitude, float phaseRad, quavira::Channel channel)
{
    std::unique_ptr<quavira::Sample[]> scratch(new quavira::Sample[quavira::kLoopBytes]());
    quavira::fillChannel({scratch.get(), quavira::kLoopBytes}, freqHz, static_cast<std::int8_t>(amplitude), phaseRad,
                         channel);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(quavira::kLoopFrames);
    for (std::size_t i = static_cast<std::size_t>(channel); i < quavira::kLoopBytes; i += 2)
        bytes.push_back(scratch[i].load());
    return bytes;
}

std::vector<std::uint8_t> channelBytes(const quavira::LoopBuffer& engine, quavira::Channel channel)
{
    const auto samples = engine.samples();
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = static_cast<std::size_t>(channel); i < samples.size(); i += 2)
        bytes.push_back(samples[i].load());
    return bytes;
}

float phaseForPosition(int position)
{
    return static_cast<float>(position * 0.006283185);
}

void PanelTest::createPanel(quavira::MmResult openResult)
{
    auto device = std::make_unique<quavira::testing::FakeWaveOut>();
    m_device = device.get();
    m_device->setResult(quavira::testing::WaveOutCall::Open, openResult);
    m_engine = std::make_unique<quavira::LoopBuffer>(std::move(device));
    m_panel = std::make_unique<TMForm>(*m_engine, m_box);
}

void PanelTest::SetUp()
{
    if (m_createInSetUp)
        createPanel();
}

void PanelTest::poison(quavira::Channel channel, std::uint8_t value)
{
    m_engine->samples()[static_cast<std::size_t>(channel)].store(value);
}

std::uint8_t PanelTest::firstByte(quavira::Channel channel) const
{
    return m_engine->samples()[static_cast<std::size_t>(channel)].load();
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    loadBundledFonts();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
