// SPDX-License-Identifier: GPL-3.0-or-later
// The window menu's "Noise".
#include "noise_menu.h"

#include <QAction>
#include <QActionGroup>

#include <array>
#include <cstddef>

using quavira::NoiseColour;

QString NoiseMenu::colourText(NoiseColour colour)
{
    switch (colour) {
    case NoiseColour::White:
        return tr("&White");
    case NoiseColour::Pink:
        return tr("&Pink");
    case NoiseColour::Brown:
        return tr("&Brown");
    }
    return {};
}

NoiseMenu::NoiseMenu(QWidget* parent) : QMenu(tr("&Noise"), parent)
{
    const auto addEntry = [this](QActionGroup* group, const QString& text, bool checked) {
        QAction* action = addAction(text);
        action->setCheckable(true);
        action->setChecked(checked);
        group->addAction(action);
        connect(action, &QAction::triggered, this, &NoiseMenu::chosen);
        return action;
    };

    auto* colours = new QActionGroup(this);
    m_colours.push_back({addEntry(colours, tr("&Off"), true), std::nullopt});
    for (const NoiseColour colour : quavira::kNoiseColours)
        m_colours.push_back({addEntry(colours, colourText(colour), false), colour});

    addSeparator();
    auto* levels = new QActionGroup(this);
    // Each level's mnemonic is the first letter of its word, all different.
    const std::array<QString, quavira::kNoiseLevelsDb.size()> levelWords{tr("&Faint"), tr("&Soft"), tr("&Medium"),
                                                                         tr("&Loud"), tr("&Very loud")};
    for (std::size_t k = 0; k < quavira::kNoiseLevelsDb.size(); ++k) {
        const int levelDb = quavira::kNoiseLevelsDb[k];
        const QString text = tr("%1, %2 dB").arg(levelWords[k]).arg(levelDb);
        m_levels.push_back({addEntry(levels, text, levelDb == quavira::kDefaultNoiseLevelDb), levelDb});
    }
}

std::optional<NoiseColour> NoiseMenu::colour() const
{
    for (const ColourEntry& entry : m_colours)
        if (entry.action->isChecked())
            return entry.colour;
    return std::nullopt;
}

int NoiseMenu::levelDb() const
{
    for (const LevelEntry& entry : m_levels)
        if (entry.action->isChecked())
            return entry.levelDb;
    return quavira::kDefaultNoiseLevelDb;
}
