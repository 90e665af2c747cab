// SPDX-License-Identifier: GPL-3.0-or-later
// "Save as audio file...": the tone as it stands written to a file chosen by
// the user, off the user-interface thread.
#pragma once

#include "tone_file.h"

#include <functional>

class MessageBox;
class QObject;
class QWidget;
class TMForm;

// Writes one file: quavira::writeToneFile, or a stand-in that wraps it.
using ToneFileWriter = std::function<quavira::ToneFileResult(
    const quavira::ToneFileRequest&, quavira::Cancellation& cancel, const quavira::ToneFileProgress&)>;

// Asks for the file, its type and its length (SaveToneDialog), takes the
// tone as it stands at that moment (a copy of the loop, the two
// frequencies, the noise under them) and writes it on a worker thread at idle priority, so the
// tone keeps playing, while a modal progress dialog offers Cancel up to the
// point of no return (the rename over the old file), and from there says it
// is finishing. Returns once the worker has ended, however the save ended:
// saved, cancelled (or the application quitting meanwhile, which cancels
// it) or failed; a failure is told in a message box that names the file and
// the reason. One save at a time: asked for while one is under way, it does
// nothing. UI thread only; the event loop runs meanwhile.
void saveToneAs(QWidget* window, TMForm& panel, MessageBox& messages,
                const ToneFileWriter& writer = quavira::writeToneFile);

// Whether `widget` is one of the windows of a save under way (the file
// dialog and what it opens, the progress dialog): a save is no message box
// waiting, and the tone may be started and stopped meanwhile. UI thread only.
bool isToneSavingWindow(const QWidget* widget);

// Ends a save under way as its Cancel ends it, telling nothing of it (a save
// already past its point of no return finishes), then runs `then` from the
// event loop while `context` lives. Returns false, running nothing, when no
// save is under way. UI thread only.
bool cancelToneSaving(QObject* context, std::function<void()> then);
