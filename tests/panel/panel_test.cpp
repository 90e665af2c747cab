// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the panel's creation, its failure paths, layout and volume button.
#include "panel_fixture.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QTemporaryDir>
#include <QTest>

using quavira::Channel;
using quavira::testing::WaveOutCall;

namespace {

using PanelCreationTest = PanelTest;

TEST_F(PanelCreationTest, StartsHiddenWithBothChannelsAtFiveHundredHertz)
{
    EXPECT_FALSE(m_panel->isVisible());
    EXPECT_EQ(ui().LFreqEdit->text(), QStringLiteral("500"));
    EXPECT_EQ(ui().RFreqEdit->text(), QStringLiteral("500"));
    EXPECT_EQ(ui().LPhaseEdit->text(), QStringLiteral("0"));
    EXPECT_EQ(ui().RPhaseEdit->text(), QStringLiteral("0"));
    EXPECT_EQ(ui().LFEUpDown->position(), 500);
    EXPECT_EQ(ui().RFEUpDown->position(), 500);
    EXPECT_EQ(m_panel->startCaption(), QStringLiteral("Start"));
    EXPECT_EQ(ui().Label7->text(), QStringLiteral("3000 Seconds - 50Minutes"));
    EXPECT_EQ(ui().ListBox1->currentRow(), 0);
    EXPECT_EQ(m_panel->frequencyPosition(Channel::Left), 500) << "row 0 is selected, not applied";
    EXPECT_EQ(m_panel->waveformPoints(), 403);
    EXPECT_EQ(m_panel->lastStatus(), QStringLiteral("0"));
    EXPECT_TRUE(m_box.informed.isEmpty());
    EXPECT_TRUE(m_box.errors.isEmpty());
    EXPECT_EQ(channelBytes(*m_engine, Channel::Left), expectedChannel(500, 64, 0.0f, Channel::Left));
    EXPECT_EQ(channelBytes(*m_engine, Channel::Right), expectedChannel(500, 64, 0.0f, Channel::Right));
    EXPECT_FALSE(m_device->isPlaying());
    EXPECT_TRUE(m_device->isOpen());
}

class PanelOpenFailureTest : public PanelTest {
protected:
    PanelOpenFailureTest() { m_createInSetUp = false; }
};

TEST_F(PanelOpenFailureTest, FailedOpenShowsErrorThenCloseStatusAndTouchesNoBuffer)
{
    createPanel(quavira::kMmSysBadDeviceId);
    EXPECT_EQ(m_box.informed, (QStringList{"Error003", "Unable to close!"}));
    EXPECT_TRUE(m_box.errors.isEmpty());
    EXPECT_EQ(m_panel->lastStatus(), QStringLiteral("Unable to close!"));
    EXPECT_TRUE(m_engine->samples().empty());
    EXPECT_FALSE(m_panel->isVisible());
    // Creation went on with the remaining steps.
    EXPECT_EQ(ui().LFreqEdit->text(), QStringLiteral("500"));
    EXPECT_EQ(ui().RPhaseEdit->text(), QStringLiteral("0"));
    EXPECT_EQ(m_panel->waveformPoints(), 403);

    // Later changes have no buffer to rewrite or draw, and must not try.
    m_panel->setFrequencyPosition(Channel::Left, 1000);
    ui().RAmplitudeTrackBar->setValue(3);
    m_panel->selectPreset(5);
    m_panel->ListBox1Click();
    EXPECT_EQ(m_panel->frequencyText(Channel::Right), QStringLiteral("435"));
    const QImage trace = ui().FImage->picture();
    for (int y = 0; y < trace.height(); ++y)
        for (int x = 0; x < trace.width(); ++x)
            ASSERT_EQ(qAlpha(trace.pixel(x, y)), 0) << x << "," << y;

    // Every later device operation reports its own failure.
    m_panel->ToggleStartStop();
    EXPECT_EQ(m_panel->startCaption(), QStringLiteral("Start"));
    EXPECT_EQ(m_box.informed.last(), QStringLiteral("Can't reset!"));
}

TEST_F(PanelOpenFailureTest, RefusedPrepareShowsError001ThenUnableToClose)
{
    auto device = std::make_unique<quavira::testing::FakeWaveOut>();
    m_device = device.get();
    m_device->setResult(WaveOutCall::PrepareHeader, quavira::kMmSysError);
    m_engine = std::make_unique<quavira::LoopBuffer>(std::move(device));
    m_panel = std::make_unique<TMForm>(*m_engine, m_box);
    EXPECT_EQ(m_box.informed, (QStringList{"Error001", "Unable to close!"}));
    EXPECT_TRUE(m_engine->samples().empty());
}

TEST_F(PanelCreationTest, ClosingThePanelClosesTheDeviceAndLaterChangesAreHarmless)
{
    m_panel->show();
    m_panel->ToggleStartStop();
    ASSERT_TRUE(m_device->isPlaying());
    m_panel->close();
    EXPECT_FALSE(m_panel->isVisible());
    EXPECT_EQ(m_panel->lastStatus(), QStringLiteral("0"));
    EXPECT_FALSE(m_device->isPlaying());
    EXPECT_FALSE(m_device->isOpen());
    EXPECT_TRUE(m_engine->samples().empty());
    EXPECT_TRUE(m_box.informed.isEmpty());

    m_panel->setFrequencyPosition(Channel::Right, 900);
    EXPECT_EQ(m_panel->frequencyText(Channel::Right), QStringLiteral("900"));
}

TEST_F(PanelCreationTest, AFailingCloseIsShown)
{
    m_device->setResult(WaveOutCall::Close, quavira::kMmSysError);
    m_panel->FormClose();
    EXPECT_EQ(m_box.informed, QStringList{"Unable to close!"});
}

TEST_F(PanelCreationTest, WindowIsAFixedDialogWithMinimiseButton)
{
    EXPECT_EQ(m_panel->size(), QSize(1082, 717));
    EXPECT_EQ(m_panel->minimumSize(), m_panel->maximumSize());
    const Qt::WindowFlags flags = m_panel->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::Dialog));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(m_panel->objectName(), QStringLiteral("MForm"));
    EXPECT_EQ(m_panel->font().family(), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(m_panel->focusWidget(), ui().StartButton);
}

struct Placement {
    const char* name;
    QRect geometry;
};

TEST_F(PanelCreationTest, ControlsStandWhereTheLayoutPutsThem)
{
    const Placement placements[] = {
        {"ListBox1", {8, 8, 177, 750}},         {"ListBox2", {159, 8, 58, 750}},
        {"ListBox3", {199, 8, 50, 750}},        {"Panel1", {409, 11, 480, 174}},
        {"LAmplitudeTrackBar", {7, 10, 17, 148}}, {"RAmplitudeTrackBar", {30, 10, 17, 148}},
        {"Panel2", {54, 8, 410, 136}},          {"BgImage", {4, 4, 402, 128}},
        {"FImage", {4, 4, 402, 128}},           {"Panel4", {409, 193, 480, 56}},
        {"LFreqTrackBar", {4, 19, 389, 30}},    {"LFreqEdit", {398, 21, 41, 21}},
        {"LFEUpDown", {441, 20, 16, 23}},       {"Panel3", {408, 249, 480, 56}},
        {"LPhaseTrackBar", {4, 19, 389, 30}},   {"LPhaseEdit", {398, 21, 73, 21}},
        {"Panel6", {408, 305, 480, 56}},        {"RFreqTrackBar", {4, 19, 389, 30}},
        {"RFreqEdit", {398, 21, 41, 21}},       {"RFEUpDown", {441, 20, 16, 23}},
        {"Panel5", {408, 361, 480, 56}},        {"RPhaseTrackBar", {4, 19, 389, 30}},
        {"RPhaseEdit", {398, 21, 73, 21}},      {"StartButton", {619, 424, 75, 26}},
        {"SndVolButton", {853, 424, 26, 26}},   {"Button2", {408, 448, 75, 25}},
        {"Edit1", {709, 472, 121, 21}},         {"TrackBar1", {453, 480, 193, 49}},
        {"Button1", {405, 560, 75, 25}},
    };
    for (const Placement& p : placements) {
        const auto* control = m_panel->findChild<QWidget*>(QString::fromLatin1(p.name));
        ASSERT_NE(control, nullptr) << p.name;
        EXPECT_EQ(control->geometry(), p.geometry) << p.name;
    }
    EXPECT_EQ(ui().Label2->pos(), QPoint(164, 4));
    EXPECT_EQ(ui().Label1->pos(), QPoint(174, 4));
    EXPECT_EQ(ui().Label5->pos(), QPoint(12, 152));
    EXPECT_EQ(ui().Label6->pos(), QPoint(34, 152));
    EXPECT_EQ(ui().Label7->pos(), QPoint(533, 456));
    EXPECT_EQ(ui().Panel2->contentsRect(), QRect(4, 4, 402, 128));
}

TEST_F(PanelCreationTest, SlidersHaveTheirRangesAndHints)
{
    for (TrackBar* s : {ui().LFreqTrackBar, ui().RFreqTrackBar}) {
        EXPECT_EQ(s->minimum(), 50);
        EXPECT_EQ(s->maximum(), 2000);
        EXPECT_EQ(s->tickPosition(), QSlider::TicksBelow);
        EXPECT_EQ(s->tickInterval(), 1);
    }
    for (TrackBar* s : {ui().LAmplitudeTrackBar, ui().RAmplitudeTrackBar}) {
        EXPECT_EQ(s->orientation(), Qt::Vertical);
        EXPECT_EQ(s->minimum(), 1);
        EXPECT_EQ(s->maximum(), 126);
        EXPECT_EQ(s->value(), 63);
        EXPECT_EQ(s->toolTip(), QStringLiteral("Amplitude (Math)"));
        EXPECT_EQ(s->tickPosition(), QSlider::NoTicks);
    }
    for (TrackBar* s : {ui().LPhaseTrackBar, ui().RPhaseTrackBar}) {
        EXPECT_EQ(s->minimum(), 0);
        EXPECT_EQ(s->maximum(), 1000);
        EXPECT_EQ(s->toolTip(), QStringLiteral("Phase Shift"));
    }
    EXPECT_EQ(ui().TrackBar1->minimum(), 100000);
    EXPECT_EQ(ui().TrackBar1->maximum(), 3000000);
    EXPECT_EQ(ui().TrackBar1->value(), 3000000);
    EXPECT_EQ(ui().TrackBar1->tickInterval(), 1000);
    for (UpDown* u : {ui().LFEUpDown, ui().RFEUpDown}) {
        EXPECT_EQ(u->minimum(), 1);
        EXPECT_EQ(u->maximum(), 20000);
    }
    EXPECT_EQ(ui().LFreqEdit->toolTip(), QStringLiteral("Frequency Value"));
    EXPECT_EQ(ui().RPhaseEdit->toolTip(), QStringLiteral("Phase Shift"));
    EXPECT_TRUE(ui().LPhaseEdit->isReadOnly());
    EXPECT_TRUE(ui().RPhaseEdit->isReadOnly());
    EXPECT_EQ(ui().SndVolButton->toolTip(), QStringLiteral("Volume Control"));
    EXPECT_TRUE(ui().SndVolButton->autoRaise());
    EXPECT_EQ(ui().Button1->text(), QStringLiteral("Change"));
    EXPECT_EQ(ui().Button2->text(), QStringLiteral("Button2"));
    EXPECT_TRUE(ui().Edit1->text().isEmpty());
}

TEST_F(PanelCreationTest, ChannelCaptionsAreRedLeftAndBlueRight)
{
    for (QLabel* l : {ui().Label2, ui().Label1, ui().Label5})
        EXPECT_EQ(l->palette().color(QPalette::WindowText), QColor(255, 0, 0)) << l->objectName().toStdString();
    for (QLabel* l : {ui().Label4, ui().Label3, ui().Label6})
        EXPECT_EQ(l->palette().color(QPalette::WindowText), QColor(0, 0, 255)) << l->objectName().toStdString();
    EXPECT_EQ(ui().Label2->text(), QStringLiteral("Frequency Left"));
    EXPECT_EQ(ui().Label1->text(), QStringLiteral("Phase Left"));
    EXPECT_EQ(ui().Label4->text(), QStringLiteral("Frequency Right"));
    EXPECT_EQ(ui().Label3->text(), QStringLiteral("Phase Right"));
    EXPECT_EQ(ui().Label5->text(), QStringLiteral("L"));
    EXPECT_EQ(ui().Label6->text(), QStringLiteral("R"));
}

// --- Volume control button ---

class VolumeButtonTest : public PanelTest {
protected:
    VolumeButtonTest() { m_createInSetUp = false; }
    void SetUp() override
    {
        ASSERT_TRUE(m_bin.isValid());
        m_savedPath = qgetenv("PATH");
    }
    void TearDown() override { qputenv("PATH", m_savedPath); }

    QTemporaryDir m_bin;
    QByteArray m_savedPath;
};

TEST_F(VolumeButtonTest, FoundMixerGetsAGlyphAndAClickStartsIt)
{
    const QString marker = m_bin.filePath(QStringLiteral("started"));
    QFile script(m_bin.filePath(QStringLiteral("pavucontrol")));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\n/usr/bin/touch '%1'\n").arg(marker).toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("PATH", m_bin.path().toUtf8());

    createPanel();
    ASSERT_FALSE(ui().SndVolButton->icon().isNull());
    const QImage glyph = ui().SndVolButton->icon().pixmap(16, 16).toImage();
    EXPECT_EQ(glyph.size(), QSize(16, 16));
    EXPECT_TRUE(m_box.informed.isEmpty());

    QTest::mouseClick(ui().SndVolButton, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(marker); }, 10000));
}

TEST_F(VolumeButtonTest, NoMixerMeansNoGlyphAndAClickDoesNothing)
{
    qputenv("PATH", m_bin.path().toUtf8());
    createPanel();
    EXPECT_TRUE(ui().SndVolButton->icon().isNull());
    QTest::mouseClick(ui().SndVolButton, Qt::LeftButton);
    EXPECT_TRUE(m_box.informed.isEmpty());
    EXPECT_TRUE(m_box.errors.isEmpty());
}

}  // namespace
