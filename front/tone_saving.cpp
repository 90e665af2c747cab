// SPDX-License-Identifier: GPL-3.0-or-later
// "Save as audio file...": dialog, worker thread, progress and failures.
#include "tone_saving.h"

#include "message_box.h"
#include "save_tone_dialog.h"
#include "tmform.h"
#include "tone_description.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProgressDialog>
#include <QStandardPaths>

#include <exception>
#include <thread>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using quavira::Channel;
using quavira::ToneFileRequest;
using quavira::ToneFileResult;
using quavira::ToneFileStatus;
using quavira::beatDescription;
using quavira::toneTitle;

constexpr int kProgressSteps = 1000;
// A save that ends sooner shows no progress dialog at all.
constexpr int kProgressShownAfterMs = 500;

// Where the next dialog opens: the folder of the last save in this run,
// else the user's music folder, else home. Nothing is kept across runs.
QString g_lastFolder;

QString startFolder()
{
    if (!g_lastFolder.isEmpty() && QDir(g_lastFolder).exists())
        return g_lastFolder;
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    return !music.isEmpty() && QDir(music).exists() ? music : QDir::homePath();
}

// The reason in plain words, to follow "Could not save ...: ".
QString reasonText(const ToneFileResult& result)
{
    switch (result.status) {
    case ToneFileStatus::NoSpace:
        return QStringLiteral("the disk is full");
    case ToneFileStatus::NoPermission:
        return QStringLiteral("you have no permission to write in that folder");
    case ToneFileStatus::ReadOnlyDisk:
        return QStringLiteral("the folder is on a read-only disk");
    case ToneFileStatus::FolderGone:
        return QStringLiteral("the folder no longer exists");
    default:
        break;
    }
    QString detail = QString::fromLocal8Bit(result.detail.c_str()).trimmed();
    while (detail.endsWith(QLatin1Char('.')))
        detail.chop(1);
    return detail.isEmpty() ? QStringLiteral("an unknown error occurred") : detail;
}

// The worker gives way to everything else, the sound first: idle scheduling,
// or where that is refused the lowest share of the normal one. Saving goes
// on either way, so neither result is acted on beyond that.
void lowerThisThreadsPriority()
{
    const sched_param idle{};
    if (::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &idle) == 0)
        return;
    // On Linux a thread id given as a process id sets that thread alone.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
}

// Runs `writer` on a worker thread while a modal progress dialog offers
// Cancel, and returns its result. The worker is cancelled and joined
// however the wait ends.
ToneFileResult writeWithProgress(QWidget* window, const ToneFileRequest& request, const ToneFileWriter& writer,
                                 const QString& fileName)
{
    QProgressDialog progress(QStringLiteral("Saving \"%1\"...").arg(fileName), QStringLiteral("Cancel"), 0,
                             kProgressSteps, window);
    progress.setWindowTitle(QString::fromLatin1(kApplicationTitle));
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setAutoReset(false);
    progress.setAutoClose(false);
    progress.setMinimumDuration(kProgressShownAfterMs);

    std::atomic<bool> cancel{false};
    QEventLoop waiting;
    QObject::connect(&progress, &QProgressDialog::canceled, &waiting, [&cancel] { cancel = true; });
    progress.setValue(0);

    ToneFileResult result;  // the worker's; read after the join
    {
        // Receives the worker's reports on this thread. Destroyed after the
        // join, taking with it any report not yet delivered.
        QObject reports;
        // At most one report waits at a time, showing the latest step: a
        // modal progress dialog runs the event loop in setValue(), which
        // must not recurse through a queue of them.
        std::atomic<int> latestStep{0};
        std::atomic<bool> stepPosted{false};
        const auto work = [&] {
            lowerThisThreadsPriority();
            const quavira::ToneFileProgress report = [&](std::uint64_t written, std::uint64_t frames) {
                const int step = static_cast<int>(written * kProgressSteps / frames);
                if (latestStep.exchange(step) == step || stepPosted.exchange(true))
                    return;
                QMetaObject::invokeMethod(
                    &reports,
                    [&] {
                        stepPosted = false;
                        if (!cancel)
                            progress.setValue(latestStep);
                    },
                    Qt::QueuedConnection);
            };
            try {
                result = writer(request, cancel, report);
            } catch (const std::exception& e) {
                result = {ToneFileStatus::Failed, e.what()};
            }
            QMetaObject::invokeMethod(&reports, [&waiting] { waiting.quit(); }, Qt::QueuedConnection);
        };
        struct JoinedWorker {
            std::atomic<bool>& cancel;
            std::thread thread;
            ~JoinedWorker()
            {
                cancel = true;
                thread.join();
            }
        } worker{cancel, std::thread(work)};
        // Left when the worker has ended, or early when the application
        // quits (the worker is then cancelled and joined here).
        waiting.exec();
    }
    return result;
}

}  // namespace

void saveToneAs(QWidget* window, TMForm& panel, MessageBox& messages, const ToneFileWriter& writer)
{
    const QString noTone = QStringLiteral("There is no tone to save: the sound device did not open.");
    if (panel.loopBytes().empty()) {
        messages.inform(noTone);
        return;
    }
    QString suggestion = toneTitle(panel.frequencyPosition(Channel::Left), panel.frequencyPosition(Channel::Right));
    suggestion.replace(QStringLiteral(" / "), QStringLiteral(" - "));
    SaveToneDialog dialog(window, startFolder(), suggestion);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString path = dialog.targetPath();
    g_lastFolder = QFileInfo(path).absolutePath();

    // The tone as it stands now that the user has confirmed.
    ToneFileRequest request;
    request.loop = panel.loopBytes();
    if (request.loop.empty()) {
        messages.inform(noTone);
        return;
    }
    const int leftHz = panel.frequencyPosition(Channel::Left);
    const int rightHz = panel.frequencyPosition(Channel::Right);
    request.frames = static_cast<std::uint64_t>(dialog.minutes()) * 60 * quavira::kFramesPerSecond;
    request.format = dialog.format();
    request.title = toneTitle(leftHz, rightHz).toStdString();
    request.comment = beatDescription(leftHz, rightHz).toStdString();
    request.software = QStringLiteral("Quavira %1").arg(QCoreApplication::applicationVersion()).trimmed().toStdString();
    request.targetPath = QFile::encodeName(path).toStdString();

    const ToneFileResult result = writeWithProgress(window, request, writer, QFileInfo(path).fileName());
    if (result.status == ToneFileStatus::Saved || result.status == ToneFileStatus::Cancelled)
        return;
    messages.inform(QStringLiteral("Could not save \"%1\": %2. Nothing was changed.")
                        .arg(QDir::toNativeSeparators(path), reasonText(result)));
}
