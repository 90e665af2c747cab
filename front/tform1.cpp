// SPDX-License-Identifier: GPL-3.0-or-later
// The front window Form1: the binaural builder, the credits and the unseen stereo section.
#include "tform1.h"

#include "announcer.h"
#include "arrow_glyph.h"
#include "band_colour.h"
#include "default_button.h"
#include "noise_menu.h"
#include "number_text.h"
#include "offset_slider_style.h"
#include "random_source.h"
#include "sleep_timer.h"
#include "tmform.h"
#include "tone_description.h"
#include "tone_saving.h"

#include <QAccessibleWidget>
#include <QActionGroup>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QShortcut>
#include <QShowEvent>
#include <QUrl>

#include <algorithm>
#include <limits>
#include <utility>

// Outside any namespace, as Q_INIT_RESOURCE requires; the credits picture
// lives in the static library's resources, which nothing else pulls in.
static void initFrontResources()
{
    Q_INIT_RESOURCE(front);
}

namespace {

using quavira::Channel;

constexpr int kPresetsDrawn = 40;     // random profiles use rows 0..39 only
constexpr int kOffsetsDrawn = 100;    // 0..99 Hz, never 100
constexpr int kFrequencySpan = 1850;  // random frequencies 150..1999 Hz
constexpr int kLowestRandomHz = 150;
constexpr int kMaxOffsetHz = 100;
constexpr int kArrowPoints = 22;
constexpr int kArrowPressedPoints = 24;

// Sums of a base and an offset can pass the 32-bit range when the base
// saturated; the panel's sliders clamp to 50..2000 anyway.
int toSliderValue(std::int64_t hz)
{
    return static_cast<int>(std::clamp<std::int64_t>(hz, std::numeric_limits<int>::min(),
                                                      std::numeric_limits<int>::max()));
}

// The window as assistive technology sees it: a window, not a bare pane.
QAccessibleInterface* windowAccessible(const QString& className, QObject* object)
{
    if (className == QLatin1String("TForm1"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_clock([] { return QDateTime::currentSecsSinceEpoch(); })
{
    initFrontResources();
    [[maybe_unused]] static const bool accessible = (QAccessible::installFactory(windowAccessible), true);
    m_ui.setupUi(this);

    setFixedSize(size());
    setWindowIcon(QIcon(QStringLiteral(":/quavira.png")));
    // No preset is chosen until the first show picks one.
    m_ui.ComboBox1->setCurrentIndex(-1);
    m_ui.ListBox1->setCurrentRow(-1);
    m_offsetRightEdge = m_ui.offsetlabel->geometry().right();
    // Owned by the window; created after the slider, so deleted after it.
    auto* sliderStyle = new OffsetSliderStyle();
    sliderStyle->setParent(this);
    m_ui.freqtrack->setStyle(sliderStyle);
    new DefaultButton(this, m_ui.bstart);  // owned by the window
    m_ui.LFreqEdit->installEventFilter(this);
    m_ui.RFreqEdit->installEventFilter(this);

    // Attached only now, so loading the layout ran none of them.
    connectHandlers();
    buildMenu();
    m_announcer = new Announcer(this);
}

void TForm1::connectHandlers()
{
    connect(m_ui.ComboBox1, &QComboBox::activated, this, [this] { ComboBox1Change(); });
    connect(m_ui.ListBox1, &QListWidget::itemClicked, this, [this] { ListBox1Click(); });
    connect(m_ui.StartButton, &QPushButton::clicked, this, &TForm1::StartButtonClick);
    for (ClickLabel* link : {m_ui.Label3, m_ui.Label19, m_ui.Label21})
        connect(link, &ClickLabel::clicked, this, &TForm1::Label3Click);
    for (ClickLabel* link : {m_ui.Label13, m_ui.Label27})
        connect(link, &ClickLabel::clicked, this, &TForm1::Label13Click);

    connect(m_ui.LBiEdit, &QLineEdit::textChanged, this, &TForm1::LBiEditChange);
    connect(m_ui.freqtrack, &TrackBar::changed, this, &TForm1::freqtrackChange);
    connect(m_ui.bstart, &QPushButton::clicked, this, &TForm1::bstartClick);
    connect(m_ui.fup, &ClickLabel::pressed, this, &TForm1::fupMouseDown);
    connect(m_ui.fup, &ClickLabel::released, this, &TForm1::fupMouseUp);
    connect(m_ui.fdown, &ClickLabel::pressed, this, &TForm1::fdownMouseDown);
    connect(m_ui.fdown, &ClickLabel::released, this, &TForm1::fdownMouseUp);

    connect(m_ui.Label8, &ClickLabel::clicked, this, &TForm1::Label8Click);
    connect(m_ui.Label9, &ClickLabel::clicked, this, &TForm1::Label9Click);
    connect(m_ui.Label10, &ClickLabel::clicked, this, &TForm1::Label10Click);
    connect(m_ui.Label22, &ClickLabel::clicked, this, &TForm1::Label22Click);
}

void TForm1::setGeneratorPanel(TMForm* panel)
{
    m_panel = panel;
    if (!m_panel)
        return;
    // The sleep timer follows the tone, whoever starts or stops it, and
    // stops it as the start buttons do.
    connect(m_panel, &TMForm::startCaptionChanged, m_sleepTimer,
            [this] { m_sleepTimer->playingChanged(m_panel->playing()); });
    connect(m_sleepTimer, &SleepTimer::fadeOutput, m_panel, &TMForm::fadeOutput);
    connect(m_sleepTimer, &SleepTimer::timeUp, this, [this] {
        if (m_panel->playing())
            togglePlaying();
    });
}

// --- The window's menu ------------------------------------------------------

void TForm1::buildMenu()
{
    m_sleepTimer = new SleepTimer(this);
    m_menu = new QMenu(this);
    m_stopAfter = m_menu->addMenu(tr("Stop &after"));
    // While the timer counts, the first line says how long is left.
    m_minutesLeft = m_stopAfter->addAction(QString());
    m_minutesLeft->setEnabled(false);
    m_minutesLeft->setVisible(false);
    auto* choices = new QActionGroup(m_stopAfter);
    const auto addChoice = [&](const QString& text, int minutes) {
        QAction* choice = m_stopAfter->addAction(text);
        choice->setCheckable(true);
        choice->setChecked(minutes == 0);
        choices->addAction(choice);
        connect(choice, &QAction::triggered, m_sleepTimer, [this, minutes] { m_sleepTimer->setChoice(minutes); });
    };
    addChoice(tr("&Off"), 0);
    // Each choice's mnemonic is a digit of its own.
    const QString texts[] = {tr("1&5 minutes"), tr("&30 minutes"), tr("&45 minutes"),
                             tr("&60 minutes"), tr("&90 minutes"), tr("1&20 minutes")};
    for (std::size_t k = 0; k < std::size(SleepTimer::kChoices); ++k)
        addChoice(texts[k], SleepTimer::kChoices[k]);
    connect(m_stopAfter, &QMenu::aboutToShow, this, &TForm1::showMinutesLeft);
    m_noise = new NoiseMenu(m_menu);
    m_menu->addMenu(m_noise);
    connect(m_noise, &NoiseMenu::chosen, this, &TForm1::applyNoiseChoice);
    m_menu->addSeparator();
    m_menu->addAction(tr("&Save as audio file..."), this, &TForm1::saveToneAs);

    // The keyboard opens it wherever the focus is: Shift+F10 here, the menu
    // key as the context menu asked for by keyboard (eventFilter), which
    // the edits would otherwise answer with their own. The mouse's right
    // button opens it wherever no control reacts to that button itself:
    // the arrows step with any button, and an edit has a menu of its own.
    connect(new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), this), &QShortcut::activated, this,
            &TForm1::popUpMenuAtFocus);
    for (QLineEdit* edit : {m_ui.LBiEdit, m_ui.LFreqEdit, m_ui.RFreqEdit})
        edit->installEventFilter(this);
    m_ui.fup->setContextMenuPolicy(Qt::PreventContextMenu);
    m_ui.fdown->setContextMenuPolicy(Qt::PreventContextMenu);
}

void TForm1::showMinutesLeft()
{
    const std::optional<int> left = m_sleepTimer->minutesLeft();
    m_minutesLeft->setVisible(left.has_value());
    if (left)
        m_minutesLeft->setText(*left == 1 ? tr("1 minute left") : tr("%1 minutes left").arg(*left));
}

void TForm1::applyNoiseChoice()
{
    if (m_panel)
        m_panel->setNoise(m_noise->colour(), m_noise->levelDb());
}

void TForm1::contextMenuEvent(QContextMenuEvent* event)
{
    m_menu->popup(event->globalPos());
    event->accept();
}

void TForm1::popUpMenuAtFocus()
{
    // At the control the keys act on, inside the window.
    const QWidget* focus = focusWidget();
    const bool inside = focus && rect().contains(focus->mapTo(this, focus->rect().center()));
    m_menu->popup(inside ? focus->mapToGlobal(focus->rect().center()) : mapToGlobal(rect().center()));
}

void TForm1::saveToneAs()
{
    if (m_panel)
        ::saveToneAs(this, *m_panel, m_panel->messages());
}

void TForm1::setClock(std::function<std::int64_t()> secondsSince1970)
{
    m_clock = std::move(secondsSince1970);
}

void TForm1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_shown || event->spontaneous())
        return;
    m_shown = true;
    FormShow();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ContextMenu &&
        static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
        popUpMenuAtFocus();
        return true;
    }
    // A held key repeats its press and release; only the final release counts.
    if ((watched == m_ui.LFreqEdit || watched == m_ui.RFreqEdit) && event->type() == QEvent::KeyRelease &&
        !static_cast<QKeyEvent*>(event)->isAutoRepeat())
        LFreqEditKeyUp();
    return QWidget::eventFilter(watched, event);
}

// --- Stereo section and credits ---------------------------------------------

void TForm1::ComboBox1Change()
{
    m_ui.ListBox1->setCurrentRow(m_ui.ComboBox1->currentIndex());
    ListBox1Click();
}

void TForm1::ListBox1Click()
{
    if (!m_panel)
        return;
    m_panel->selectPreset(m_ui.ListBox1->currentRow());
    m_panel->ListBox1Click();
    m_ui.LFreqEdit->setText(m_panel->frequencyText(Channel::Left));
    m_ui.RFreqEdit->setText(m_panel->frequencyText(Channel::Right));
}

void TForm1::applyStereoEdits()
{
    // Both channels from both edits; the edits keep what was typed even
    // where the panel's sliders clamp.
    m_panel->setFrequencyPosition(Channel::Left, quavira::leadingInteger(m_ui.LFreqEdit->text()));
    m_panel->setFrequencyPosition(Channel::Right, quavira::leadingInteger(m_ui.RFreqEdit->text()));
    m_panel->setFrequencyText(Channel::Left, m_ui.LFreqEdit->text());
    m_panel->setFrequencyText(Channel::Right, m_ui.RFreqEdit->text());
}

void TForm1::LFreqEditKeyUp()
{
    if (!m_panel)
        return;
    applyStereoEdits();
}

void TForm1::StartButtonClick()
{
    if (!m_panel)
        return;
    applyStereoEdits();
    m_panel->ToggleStartStop();
    copyStartCaption();
}

void TForm1::togglePlaying()
{
    if (!m_panel)
        return;
    m_panel->ToggleStartStop();
    copyStartCaption();
}

void TForm1::copyStartCaption()
{
    const QString caption = m_panel->startCaption();
    m_ui.StartButton->setText(caption);
    m_ui.bstart->setText(caption);
}

void TForm1::Label3Click()
{
    // A missing browser is not worth a message.
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kMakerUrl)));
}

void TForm1::Label13Click()
{
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kMakerUrl)));
}

// --- Binaural builder -------------------------------------------------------

void TForm1::LBiEditChange()
{
    ApplyBinaural();
}

void TForm1::freqtrackChange()
{
    ApplyBinaural();
}

// Base and base + offset onto the panel's sliders (which clamp) and edits.
void TForm1::applyPairToPanel()
{
    const std::int64_t baseHz = quavira::leadingInteger(m_ui.LBiEdit->text());
    const std::int64_t rightHz = baseHz + m_ui.freqtrack->value();
    m_panel->setFrequencyPosition(Channel::Left, toSliderValue(baseHz));
    m_panel->setFrequencyPosition(Channel::Right, toSliderValue(rightHz));
    // The panel's edits show the sum before its slider clamped it.
    m_panel->setFrequencyText(Channel::Left, QString::number(baseHz));
    m_panel->setFrequencyText(Channel::Right, QString::number(rightHz));
}

void TForm1::ApplyBinaural()
{
    if (!m_panel)
        return;
    applyPairToPanel();
    setOffsetCaption(m_ui.freqtrack->value());
    ShowBand();
}

void TForm1::bstartClick()
{
    if (!m_panel)
        return;
    applyPairToPanel();
    m_panel->ToggleStartStop();
    copyStartCaption();
}

void TForm1::fupMouseDown()
{
    if (m_ui.freqtrack->value() >= kMaxOffsetHz)
        return;
    setArrowPointSize(m_ui.fup, kArrowPressedPoints);
    // A changed value runs freqtrackChange before ShowBand below.
    m_ui.freqtrack->setValue(m_ui.freqtrack->value() + 1);
    ShowBand();
}

void TForm1::fupMouseUp()
{
    setArrowPointSize(m_ui.fup, kArrowPoints);
}

void TForm1::fdownMouseDown()
{
    if (m_ui.freqtrack->value() <= 0)
        return;
    setArrowPointSize(m_ui.fdown, kArrowPressedPoints);
    m_ui.freqtrack->setValue(m_ui.freqtrack->value() - 1);
    ShowBand();
}

void TForm1::fdownMouseUp()
{
    setArrowPointSize(m_ui.fdown, kArrowPoints);
}

void TForm1::setArrowPointSize(ArrowGlyph* arrow, int points)
{
    QFont font = arrow->font();
    font.setPointSize(points);
    arrow->setFont(font);
}

void TForm1::setOffsetCaption(int offsetHz)
{
    // The number is right-aligned and grows leftwards from a fixed right edge.
    QLabel* label = m_ui.offsetlabel;
    label->setText(QString::number(offsetHz));
    label->ensurePolished();
    const int width = std::max(1, label->fontMetrics().horizontalAdvance(label->text()));
    label->setGeometry(m_offsetRightEdge - width + 1, label->y(), width, label->height());
}

void TForm1::ShowBand()
{
    const int offsetHz = m_ui.freqtrack->value();
    const QColor colour = quavira::bandColour(offsetHz);
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, colour);
    setPalette(windowPalette);
    for (QWidget* display : std::initializer_list<QWidget*>{m_ui.fup, m_ui.fdown, m_ui.offsetlabel, m_ui.hz}) {
        QPalette textPalette = display->palette();
        textPalette.setColor(QPalette::WindowText, colour);
        display->setPalette(textPalette);
    }
    showBandInWords(offsetHz);
}

void TForm1::showBandInWords(int offsetHz)
{
    // For those who cannot see or tell the colours: the window describes
    // the offset; the slider names its band, which a screen reader says
    // with the slider; a new band is announced, whatever moved the offset
    // and wherever the focus is. Qt reports every description set, so
    // each is set only when it changes.
    const QString words = quavira::offsetDescription(offsetHz);
    if (accessibleDescription() != words)
        setAccessibleDescription(words);
    const QString name = quavira::bandName(offsetHz);
    const QString band = name.isEmpty() ? tr("No beat") : tr("%1 band").arg(name);
    QSlider* slider = m_ui.freqtrack;
    if (slider->accessibleDescription() == band)
        return;
    // The first band is the start state, said with the window.
    const bool first = slider->accessibleDescription().isEmpty();
    slider->setAccessibleDescription(band);
    if (!first)
        m_announcer->announce(words);
}

// --- Random choices and the start state -------------------------------------

int TForm1::randomFrequency()
{
    return sharedRandom().draw() % kFrequencySpan + kLowestRandomHz;
}

void TForm1::FormShow()
{
    if (!m_panel)
        return;
    // Seconds since 1970 taken modulo 2^32, as a 32-bit seed holds them.
    sharedRandom().seed(static_cast<std::uint32_t>(m_clock()));
    RandomProfile();
    m_ui.LBiEdit->setText(QString::number(randomFrequency()));
}

void TForm1::RandomProfile()
{
    if (!m_panel)
        return;
    const int preset = sharedRandom().draw() % kPresetsDrawn;
    // Program selections raise no handler: ComboBox1Change follows user
    // activations only.
    m_ui.ComboBox1->setCurrentIndex(preset);
    m_ui.ListBox1->setCurrentRow(preset);
    m_panel->selectPreset(m_ui.ListBox1->currentRow());
    m_panel->ListBox1Click();
    m_ui.LFreqEdit->setText(m_panel->frequencyText(Channel::Left));
    m_ui.RFreqEdit->setText(m_panel->frequencyText(Channel::Right));
    m_ui.freqtrack->setValue(sharedRandom().draw() % kOffsetsDrawn);
    setOffsetCaption(m_ui.freqtrack->value());
    ShowBand();
}

void TForm1::Label8Click()
{
    RandomProfile();
}

void TForm1::randomStereoFrequency(Channel channel, QLineEdit* edit)
{
    if (!m_panel)
        return;
    edit->setText(QString::number(randomFrequency()));
    m_panel->setFrequencyPosition(channel, quavira::leadingInteger(edit->text()));
    m_panel->setFrequencyText(channel, edit->text());
}

void TForm1::Label9Click()
{
    randomStereoFrequency(Channel::Left, m_ui.LFreqEdit);
}

void TForm1::Label10Click()
{
    randomStereoFrequency(Channel::Right, m_ui.RFreqEdit);
}

void TForm1::Label22Click()
{
    if (!m_panel)
        return;
    m_ui.LBiEdit->setText(QString::number(randomFrequency()));
    // Applies the pair again even when the new base equals the old one and
    // the text change above raised nothing.
    applyPairToPanel();
}
