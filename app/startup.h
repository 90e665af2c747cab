// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up: creates the two windows in their fixed order and runs the loop.
#pragma once

#include <memory>

namespace quavira {
class WaveOut;
}
class MessageBox;

// Creates the front window (the main window) first, then the hidden
// generator panel on `device`, shows the front window and runs the message
// loop until the front window closes. Of the command line only the
// program's name (argv[0]) is used. Returns the exit code, 0.
int runQuavira(int& argc, char** argv, std::unique_ptr<quavira::WaveOut> device, MessageBox& messages);
