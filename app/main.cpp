// SPDX-License-Identifier: GPL-3.0-or-later
// Quavira: a binaural-beats generator. The command line is ignored.
#include "fallback_wave_out.h"
#include "message_box.h"
#include "startup.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    try {
        ModalMessageBox messages;
        return runQuavira(argc, argv, quavira::makeSystemWaveOut(), messages);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    return 0;
}
