// SPDX-License-Identifier: GPL-3.0-or-later
// The generator panel MForm: tone state in sliders, presets, waveform view.
#include "tmform.h"

#include "list_index_error.h"
#include "loop_buffer.h"
#include "message_box.h"
#include "number_text.h"
#include "random_source.h"
#include "volume_control.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QSignalBlocker>

#include <algorithm>
#include <utility>

// Outside any namespace, as Q_INIT_RESOURCE requires; the graticule lives in
// the static library's resources, which nothing else pulls in.
static void initPanelResources()
{
    Q_INIT_RESOURCE(panel);
}

namespace {

using quavira::Channel;

constexpr double kPhaseRadPerStep = 0.006283185;
// The phase edit shows half the radians the synthesis gets.
constexpr double kPhaseTextPerStep = 0.003141593;
constexpr int kListRowHeight = 13;

const QString kStartCaption = QStringLiteral("Start");
const QString kStopCaption = QStringLiteral("Stop");

}  // namespace

TMForm::TMForm(quavira::LoopBuffer& engine, MessageBox& messages, QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint),
      m_engine(engine),
      m_messages(messages)
{
    initPanelResources();
    m_ui.setupUi(this);

    setFixedSize(1082, 717);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    for (QListWidget* list : {m_ui.ListBox1, m_ui.ListBox2, m_ui.ListBox3}) {
        list->setUniformItemSizes(true);
        for (int row = 0; row < list->count(); ++row)
            list->item(row)->setSizeHint(QSize(list->width(), kListRowHeight));
    }
    m_ui.StartButton->setFocus();

    // Attached only now, so loading the layout ran none of them.
    connect(m_ui.LFreqTrackBar, &TrackBar::changed, this, &TMForm::LFreqTrackBarChange);
    connect(m_ui.RFreqTrackBar, &TrackBar::changed, this, &TMForm::RFreqTrackBarChange);
    connect(m_ui.LPhaseTrackBar, &TrackBar::changed, this, &TMForm::LPhaseTrackBarChange);
    connect(m_ui.RPhaseTrackBar, &TrackBar::changed, this, &TMForm::RPhaseTrackBarChange);
    connect(m_ui.LAmplitudeTrackBar, &TrackBar::changed, this, &TMForm::LAmplitudeTrackBarChange);
    connect(m_ui.RAmplitudeTrackBar, &TrackBar::changed, this, &TMForm::RAmplitudeTrackBarChange);
    connect(m_ui.TrackBar1, &TrackBar::changed, this, &TMForm::TrackBar1Change);
    connect(m_ui.LFEUpDown, &UpDown::clicked, this, &TMForm::LFEUpDownClick);
    connect(m_ui.RFEUpDown, &UpDown::clicked, this, &TMForm::RFEUpDownClick);
    connect(m_ui.LFreqEdit, &QLineEdit::returnPressed, this, &TMForm::LFreqEditKeyPress);
    connect(m_ui.RFreqEdit, &QLineEdit::returnPressed, this, &TMForm::RFreqEditKeyPress);
    connect(m_ui.StartButton, &QPushButton::clicked, this, &TMForm::StartButtonClick);
    connect(m_ui.Button1, &QPushButton::clicked, this, &TMForm::Button1Click);
    connect(m_ui.Button2, &QPushButton::clicked, this, &TMForm::Button2Click);
    connect(m_ui.SndVolButton, &QToolButton::clicked, this, &TMForm::SndVolButtonClick);
    // A mouse click applies the row it lands on, even the selected one; a key
    // that moves the selection applies the new row. Program selections are
    // made with signals blocked (selectPreset).
    connect(m_ui.ListBox1, &QListWidget::itemClicked, this, [this] { ListBox1Click(); });
    connect(m_ui.ListBox1, &QListWidget::currentRowChanged, this, [this] {
        if (QGuiApplication::mouseButtons() == Qt::NoButton)
            ListBox1Click();
    });

    try {
        FormCreate();
    } catch (const std::exception& e) {
        m_messages.showException(e);
    }
}

TrackBar* TMForm::frequencySlider(Channel channel) const
{
    return channel == Channel::Left ? m_ui.LFreqTrackBar : m_ui.RFreqTrackBar;
}

QLineEdit* TMForm::frequencyEdit(Channel channel) const
{
    return channel == Channel::Left ? m_ui.LFreqEdit : m_ui.RFreqEdit;
}

void TMForm::setFrequencyPosition(Channel channel, int hz)
{
    frequencySlider(channel)->setValue(hz);
}

int TMForm::frequencyPosition(Channel channel) const
{
    return frequencySlider(channel)->value();
}

void TMForm::setFrequencyText(Channel channel, const QString& text)
{
    frequencyEdit(channel)->setText(text);
}

QString TMForm::frequencyText(Channel channel) const
{
    return frequencyEdit(channel)->text();
}

void TMForm::selectPreset(int row)
{
    const QSignalBlocker blocker(m_ui.ListBox1);
    // A row that names no item leaves the list without a selection (-1).
    m_ui.ListBox1->setCurrentRow(row >= 0 && row < m_ui.ListBox1->count() ? row : -1);
}

QString TMForm::startCaption() const
{
    return m_ui.StartButton->text();
}

bool TMForm::playing() const
{
    return m_ui.StartButton->text() != kStartCaption;
}

std::vector<std::uint8_t> TMForm::loopBytes() const
{
    const std::span<const quavira::Sample> samples = std::as_const(m_engine).samples();
    std::vector<std::uint8_t> bytes(samples.size());
    quavira::loadBytes(samples, bytes.data());
    return bytes;
}

void TMForm::showStatus(const std::string& status)
{
    m_lastStatus = QString::fromStdString(status);
    if (m_lastStatus != QLatin1String(quavira::kStatusOk))
        m_messages.inform(m_lastStatus);
}

void TMForm::setNoise(std::optional<quavira::NoiseColour> colour, double levelDb)
{
    if (colour == m_engine.noiseColour() && levelDb == m_engine.noiseLevelDb())
        return;
    m_engine.setNoise(colour, levelDb);
    emit noiseChanged();
}

std::optional<quavira::NoiseColour> TMForm::noiseColour() const
{
    return m_engine.noiseColour();
}

double TMForm::noiseLevelDb() const
{
    return m_engine.noiseLevelDb();
}

void TMForm::fillFromSliders(Channel channel)
{
    const bool left = channel == Channel::Left;
    const TrackBar* frequency = left ? m_ui.LFreqTrackBar : m_ui.RFreqTrackBar;
    const TrackBar* amplitude = left ? m_ui.LAmplitudeTrackBar : m_ui.RAmplitudeTrackBar;
    const TrackBar* phase = left ? m_ui.LPhaseTrackBar : m_ui.RPhaseTrackBar;
    // Positions 1..126 give amplitudes 126..1; the sliders' ranges keep it
    // inside int8.
    const auto amplitudeSteps = static_cast<std::int8_t>(127 - amplitude->value());
    const auto phaseRad = static_cast<float>(phase->value() * kPhaseRadPerStep);
    m_engine.fillChannel(frequency->value(), amplitudeSteps, phaseRad, channel);
}

void TMForm::FormCreate()
{
    TrackBar1Change();
    selectPreset(0);

    showStatus(m_engine.open());
    if (m_lastStatus != QLatin1String(quavira::kStatusOk)) {
        FormClose();
        hide();
    }

    m_volumeControl = quavira::findVolumeControl();
    if (!m_volumeControl.isEmpty())
        m_ui.SndVolButton->setIcon(QIcon(quavira::volumeControlGlyph(palette().color(QPalette::Button))));

    // The clip rectangle's right edge, exclusive, plus one: one point past
    // the surface, which the line primitive clips.
    const QRect clip = m_ui.FImage->clipRect();
    m_waveformPoints = clip.x() + clip.width() + 1;

    LFreqTrackBarChange();
    RFreqTrackBarChange();
    LPhaseTrackBarChange();
    RPhaseTrackBarChange();

    m_ui.LFreqEdit->setText(QString::number(m_ui.LFreqTrackBar->value()));
    m_ui.RFreqEdit->setText(QString::number(m_ui.RFreqTrackBar->value()));
}

void TMForm::FormClose()
{
    showStatus(m_engine.close());
}

void TMForm::closeEvent(QCloseEvent* event)
{
    FormClose();
    event->accept();
}

void TMForm::StartButtonClick()
{
    ToggleStartStop();
}

void TMForm::ToggleStartStop()
{
    m_ui.Edit1->clear();
    // The caption is the only playing state.
    const bool silent = m_ui.StartButton->text() == kStartCaption;
    showStatus(silent ? m_engine.startLooped() : m_engine.stop());
    if (m_lastStatus == QLatin1String(quavira::kStatusOk)) {
        m_ui.StartButton->setText(silent ? kStopCaption : kStartCaption);
        emit startCaptionChanged();
    }
}

void TMForm::fadeOutput(double depth, std::chrono::milliseconds span)
{
    m_engine.fadeLevel(depth, span);
}

void TMForm::frequencyChanged(Channel channel)
{
    const bool left = channel == Channel::Left;
    const int hz = frequencySlider(channel)->value();
    (left ? m_ui.LFEUpDown : m_ui.RFEUpDown)->setPosition(hz);
    frequencyEdit(channel)->setText(QString::number(hz));
    fillFromSliders(channel);
    DrawWaveform();
}

void TMForm::LFreqTrackBarChange()
{
    frequencyChanged(Channel::Left);
}

void TMForm::RFreqTrackBarChange()
{
    frequencyChanged(Channel::Right);
}

void TMForm::phaseChanged(Channel channel)
{
    const bool left = channel == Channel::Left;
    const int position = (left ? m_ui.LPhaseTrackBar : m_ui.RPhaseTrackBar)->value();
    (left ? m_ui.LPhaseEdit : m_ui.RPhaseEdit)->setText(quavira::generalNumber(position * kPhaseTextPerStep));
    fillFromSliders(channel);
    DrawWaveform();
}

void TMForm::LPhaseTrackBarChange()
{
    phaseChanged(Channel::Left);
}

void TMForm::RPhaseTrackBarChange()
{
    phaseChanged(Channel::Right);
}

void TMForm::LAmplitudeTrackBarChange()
{
    fillFromSliders(Channel::Left);
    DrawWaveform();
}

void TMForm::RAmplitudeTrackBarChange()
{
    fillFromSliders(Channel::Right);
    DrawWaveform();
}

void TMForm::LFEUpDownClick()
{
    m_ui.LFreqTrackBar->setValue(m_ui.LFEUpDown->position());
}

void TMForm::RFEUpDownClick()
{
    m_ui.RFreqTrackBar->setValue(m_ui.RFEUpDown->position());
}

void TMForm::frequencyEntered(Channel channel)
{
    QLineEdit* edit = frequencyEdit(channel);
    TrackBar* slider = frequencySlider(channel);
    const std::optional<double> typed = quavira::strictNumber(edit->text());
    if (!typed) {
        edit->setText(QString::number(slider->value()));
        return;
    }
    // Saturated at the 32-bit limits, so a huge number clamps like any other.
    slider->setValue(quavira::truncateToInt32(*typed));
}

void TMForm::LFreqEditKeyPress()
{
    frequencyEntered(Channel::Left);
}

void TMForm::RFreqEditKeyPress()
{
    frequencyEntered(Channel::Right);
}

void TMForm::TrackBar1Change()
{
    const int ms = m_ui.TrackBar1->value();
    m_ui.Label7->setText(QString::number(ms / 1000) + QStringLiteral(" Seconds - ") + QString::number(ms / 60000) +
                         QStringLiteral("Minutes"));
}

void TMForm::Button1Click()
{
    // Positions 51..125: amplitudes 76 down to 2.
    m_ui.LAmplitudeTrackBar->setValue(sharedRandom().draw() % 75 + 51);
    m_ui.RAmplitudeTrackBar->setValue(sharedRandom().draw() % 75 + 51);
}

void TMForm::Button2Click()
{
    if (!m_frontWindow)
        return;
    m_frontWindow->show();
    m_frontWindow->raise();
    m_frontWindow->activateWindow();
}

void TMForm::SndVolButtonClick()
{
    quavira::startVolumeControl(m_volumeControl);
}

void TMForm::ListBox1Click()
{
    const int row = m_ui.ListBox1->currentRow();
    if (row < 0 || row >= m_ui.ListBox2->count() || row >= m_ui.ListBox3->count())
        throw ListIndexError(row);

    const std::int32_t base = quavira::leadingInteger(m_ui.ListBox2->item(row)->text());
    m_ui.LFreqTrackBar->setValue(base);
    m_ui.LFreqEdit->setText(QString::number(m_ui.LFreqTrackBar->value()));

    // From the unclamped base, truncated, not rounded.
    const double beat = quavira::leadingFraction(m_ui.ListBox3->item(row)->text());
    m_ui.RFreqTrackBar->setValue(quavira::truncateToInt32(beat + static_cast<double>(base)));
    m_ui.RFreqEdit->setText(QString::number(m_ui.RFreqTrackBar->value()));

    fillFromSliders(Channel::Right);
    fillFromSliders(Channel::Left);
    DrawWaveform();
}

void TMForm::DrawWaveform()
{
    Canvas* view = m_ui.FImage;
    view->fill();
    // No buffer after a failed Open: only the graticule shows.
    const std::span<const quavira::Sample> samples = std::as_const(m_engine).samples();
    const int frames = static_cast<int>(std::min<std::size_t>(samples.size() / 2, static_cast<std::size_t>(m_waveformPoints)));
    if (frames <= 0)
        return;
    const auto sampleAt = [&](int frame, Channel channel) {
        return samples[static_cast<std::size_t>(2 * frame) + static_cast<std::size_t>(channel)].load(std::memory_order_relaxed) / 2;
    };
    // Blue first, so that red covers it where the traces meet.
    const std::pair<Channel, QColor> traces[] = {{Channel::Right, QColor(0, 0, 255)}, {Channel::Left, QColor(255, 0, 0)}};
    for (const auto& [channel, colour] : traces) {
        view->moveTo(0, sampleAt(0, channel));
        view->setPenColor(colour);
        for (int frame = 0; frame < frames; ++frame)
            view->lineTo(frame, sampleAt(frame, channel));
    }
}
