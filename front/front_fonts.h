// SPDX-License-Identifier: GPL-3.0-or-later
// Font faces the front window's layout names and their free look-alikes.
#pragma once

// Maps "Gill Sans MT" to "Gillius ADF No2" where the former is not
// installed, so the window looks the same on every system. Call once at
// start-up, before the front window is created.
void installFrontFontSubstitutes();
