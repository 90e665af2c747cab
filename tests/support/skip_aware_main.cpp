// SPDX-License-Identifier: GPL-3.0-or-later
// The main of the test programs CTest runs whole: all skipped exits 77.
#include "skip_aware.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return quavira::testing::skipAwareExitCode(RUN_ALL_TESTS());
}
