// SPDX-License-Identifier: GPL-3.0-or-later
// The window menu's "Noise": the colour of the noise under the tone, or none, and its level.
#pragma once

#include "noise_colour.h"

#include <QMenu>

#include <optional>
#include <vector>

class QAction;

// Two exclusive groups of checkable entries: Off and the colours, then the
// levels. The checks are the choice; at every launch it is Off at the
// default level. A level can be chosen while the noise is off, for the next
// colour. UI thread only.
class NoiseMenu : public QMenu {
    Q_OBJECT

public:
    explicit NoiseMenu(QWidget* parent = nullptr);

    // What the checks say: no colour for Off; the level in dBFS RMS.
    std::optional<quavira::NoiseColour> colour() const;
    int levelDb() const;

signals:
    // The listener chose an entry, a colour or a level, checked or not before.
    void chosen();

private:
    static QString colourText(quavira::NoiseColour colour);

    struct ColourEntry {
        QAction* action;
        std::optional<quavira::NoiseColour> colour;
    };
    struct LevelEntry {
        QAction* action;
        int levelDb;
    };
    std::vector<ColourEntry> m_colours;
    std::vector<LevelEntry> m_levels;
};
