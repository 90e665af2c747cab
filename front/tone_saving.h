// SPDX-License-Identifier: GPL-3.0-or-later
// "Save as audio file...": the tone as it stands written to a file chosen by
// the user, off the user-interface thread.
#pragma once

#include "tone_file.h"

#include <atomic>
#include <functional>

class MessageBox;
class QWidget;
class TMForm;

// Writes one file: quavira::writeToneFile, or a stand-in that wraps it.
using ToneFileWriter = std::function<quavira::ToneFileResult(
    const quavira::ToneFileRequest&, const std::atomic<bool>& cancel, const quavira::ToneFileProgress&)>;

// Asks for the file, its type and its length (SaveToneDialog), takes the
// tone as it stands at that moment (a copy of the loop, the two
// frequencies) and writes it on a worker thread at idle priority, so the
// tone keeps playing, while a modal progress dialog offers Cancel. Returns
// once the worker has ended, however the save ended: saved, cancelled (or
// the application quitting meanwhile, which cancels it) or failed; a
// failure is told in a message box that names the file and the reason. UI
// thread only; the event loop runs meanwhile.
void saveToneAs(QWidget* window, TMForm& panel, MessageBox& messages,
                const ToneFileWriter& writer = quavira::writeToneFile);
