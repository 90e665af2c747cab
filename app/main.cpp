// Quavira: a binaural-beats generator. The command line is ignored.
#include "message_box.h"
#include "portaudio_wave_out.h"
#include "startup.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    try {
        ModalMessageBox messages;
        return runQuavira(argc, argv, std::make_unique<quavira::PortAudioWaveOut>(), messages);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    return 0;
}
