// SPDX-License-Identifier: GPL-3.0-or-later
// Registers the fonts the layouts name that the system may not know.
#pragma once

// Adds "MS Sans Serif" and "Webdings" from the Wine font folder to the
// application's font database when the files exist; the layouts fall back
// to a sans face otherwise. Call once after the QApplication exists.
void loadBundledFonts();
