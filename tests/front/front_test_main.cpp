// SPDX-License-Identifier: GPL-3.0-or-later
// Entry point of the front window tests: one QApplication with the window's fonts.
#include "bundled_fonts.h"
#include "front_fonts.h"
#include "skip_aware.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Offscreen unless a display was chosen on purpose (a screenshot under Xvfb).
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    loadBundledFonts();
    installFrontFontSubstitutes();
    ::testing::InitGoogleTest(&argc, argv);
    return quavira::testing::skipAwareExitCode(RUN_ALL_TESTS());
}
