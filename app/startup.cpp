// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up and shutdown of the two windows.
#include "startup.h"

#include "bundled_fonts.h"
#include "front_fonts.h"
#include "input_watch.h"
#include "loop_buffer.h"
#include "media_player_service.h"
#include "message_box.h"
#include "quavira_application.h"
#include "tform1.h"
#include "tmform.h"

int runQuavira(int& argc, char** argv, std::unique_ptr<quavira::WaveOut> device, MessageBox& messages)
{
    // The engine outlives both windows; it releases the device (ending any
    // tone) only after the loop has ended and the windows are gone.
    quavira::LoopBuffer engine(std::move(device));
    // The program takes no command line: Qt sees the program's name alone,
    // so none of its own options (-platform, -reverse, -stylesheet, ...)
    // acts. Its environment variables still do.
    char fallbackName[] = "quavira";
    int qtArgc = 1;
    char* qtArgv[] = {argc > 0 && argv[0] ? argv[0] : fallbackName, nullptr};
    QuaviraApplication app(qtArgc, qtArgv, messages);
    // The engine learns that the user is about to act before any handler runs.
    InputWatch inputWatch(engine);
    app.installEventFilter(&inputWatch);
    try {
        loadBundledFonts();
        installFrontFontSubstitutes();
        // Destroyed in reverse order: the panel first, then the front window.
        TForm1 form;
        TMForm panel(engine, messages);
        form.setGeneratorPanel(&panel);
        panel.setFrontWindow(&form);
        // Media keys, headset buttons and the desktop's media controls.
        MediaPlayerService mediaPlayer(form, panel, engine, QDBusConnection::sessionBus());
        form.show();
        app.exec();
    } catch (const std::exception& e) {
        messages.showException(e);
    }
    return 0;
}
