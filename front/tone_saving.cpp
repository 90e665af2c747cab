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
#include <QKeyEvent>
#include <QPointer>
#include <QProgressDialog>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTimer>

#include <exception>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

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
    case ToneFileStatus::FileNotWritable:
        return QStringLiteral("you have no permission to change that file");
    case ToneFileStatus::NotRegularFile:
        return QStringLiteral("that name is not an ordinary file");
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

// Escape and the title bar's close ask for Cancel, as the button does; the
// progress dialog itself stays up until the worker has ended.
class CancelRequests : public QObject {
public:
    explicit CancelRequests(std::function<void()> cancel) : m_cancel(std::move(cancel)) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const bool escape =
            event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Cancel);
        if (!escape && event->type() != QEvent::Close)
            return QObject::eventFilter(watched, event);
        event->ignore();
        m_cancel();
        return true;
    }

private:
    std::function<void()> m_cancel;
};

// The save under way, while saveToneAs runs: its windows, and how to end it
// from outside (a Quit). At most one.
struct SaveUnderway {
    QPointer<QWidget> dialog;            // while the file dialog is up
    QPointer<QProgressDialog> progress;  // while the file is written
    std::function<void()> cancelWriting;
    bool quitting = false;  // ended by cancelToneSaving: nothing is told
    std::vector<std::pair<QPointer<QObject>, std::function<void()>>> afterwards;

    ~SaveUnderway()
    {
        for (auto& [context, then] : afterwards)
            if (context)
                QTimer::singleShot(0, context.data(), std::move(then));
    }
};
SaveUnderway* g_underway = nullptr;

// Runs `writer` on a worker thread while a modal progress dialog offers
// Cancel, and returns its result. The worker is cancelled and joined
// however the wait ends.
ToneFileResult writeWithProgress(QWidget* window, const ToneFileRequest& request, const ToneFileWriter& writer,
                                 const QString& fileName, SaveUnderway& underway)
{
    QProgressDialog progress(QStringLiteral("Saving \"%1\"...").arg(fileName), QStringLiteral("Cancel"), 0,
                             kProgressSteps, window);
    progress.setWindowTitle(QString::fromLatin1(kApplicationTitle));
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setAutoReset(false);
    progress.setAutoClose(false);
    progress.setMinimumDuration(kProgressShownAfterMs);
    // Cancel does not hide the dialog: it stays up, modal, saying what it is
    // doing, until the worker has ended.
    QObject::disconnect(&progress, SIGNAL(canceled()), &progress, SLOT(cancel()));
    underway.progress = &progress;

    QEventLoop waiting;
    ToneFileResult result;  // the worker's; read after the join
    {
        // Receives the worker's reports on this thread. Destroyed after the
        // join, taking with it any report not yet delivered.
        QObject reports;
        // From the point of no return on: the file will be saved.
        const auto finishing = [&] {
            progress.setLabelText(QStringLiteral("Finishing \"%1\"...").arg(fileName));
            progress.setCancelButton(nullptr);
        };
        quavira::Cancellation cancel(
            [&] { QMetaObject::invokeMethod(&reports, finishing, Qt::QueuedConnection); });
        const auto cancelWriting = [&] {
            if (!cancel.cancel())
                return;  // past the point of no return
            progress.setLabelText(QStringLiteral("Cancelling \"%1\"...").arg(fileName));
            // Not from within the button's own click.
            QMetaObject::invokeMethod(&reports, [&] { progress.setCancelButton(nullptr); }, Qt::QueuedConnection);
        };
        underway.cancelWriting = cancelWriting;
        QObject::connect(&progress, &QProgressDialog::canceled, &reports, cancelWriting);
        CancelRequests cancelRequests(cancelWriting);
        progress.installEventFilter(&cancelRequests);
        progress.setValue(0);

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
                        if (!cancel.cancelled())
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
            quavira::Cancellation& cancel;
            std::thread thread;
            ~JoinedWorker()
            {
                cancel.cancel();
                thread.join();
            }
        } worker{cancel, std::thread(work)};
        // Left when the worker has ended, or early when the application
        // quits (the worker is then cancelled and joined here).
        waiting.exec();
    }
    underway.cancelWriting = {};
    return result;
}

// Asks for the file and writes it; the result, or nothing when the user
// (or a Quit) gave up in the dialog.
std::optional<std::pair<QString, ToneFileResult>> askAndWrite(QWidget* window, TMForm& panel, MessageBox& messages,
                                                              const ToneFileWriter& writer, SaveUnderway& underway)
{
    const QString noTone = QStringLiteral("There is no tone to save: the sound device did not open.");
    if (panel.loopBytes().empty()) {
        messages.inform(noTone);
        return {};
    }
    QString suggestion = toneTitle(panel.frequencyPosition(Channel::Left), panel.frequencyPosition(Channel::Right));
    suggestion.replace(QStringLiteral(" / "), QStringLiteral(" - "));
    SaveToneDialog dialog(window, startFolder(), suggestion);
    underway.dialog = &dialog;
    if (dialog.exec() != QDialog::Accepted || underway.quitting)
        return {};
    const QString path = dialog.targetPath();
    g_lastFolder = QFileInfo(path).absolutePath();

    // The tone as it stands now that the user has confirmed.
    ToneFileRequest request;
    request.loop = panel.loopBytes();
    if (request.loop.empty()) {
        messages.inform(noTone);
        return {};
    }
    const int leftHz = panel.frequencyPosition(Channel::Left);
    const int rightHz = panel.frequencyPosition(Channel::Right);
    request.frames = static_cast<std::uint64_t>(dialog.minutes()) * 60 * quavira::kFramesPerSecond;
    request.format = dialog.format();
    request.title = toneTitle(leftHz, rightHz).toStdString();
    QString comment = beatDescription(leftHz, rightHz);
    request.noise = panel.noiseColour();
    request.noiseLevelDb = panel.noiseLevelDb();
    if (request.noise)
        comment += QStringLiteral("; ") + quavira::noiseDescription(request.noise, request.noiseLevelDb);
    request.comment = comment.toStdString();
    request.software = QStringLiteral("Quavira %1").arg(QCoreApplication::applicationVersion()).trimmed().toStdString();
    request.targetPath = QFile::encodeName(path).toStdString();
    return std::pair{path, writeWithProgress(window, request, writer, QFileInfo(path).fileName(), underway)};
}

}  // namespace

void saveToneAs(QWidget* window, TMForm& panel, MessageBox& messages, const ToneFileWriter& writer)
{
    if (g_underway)
        return;
    std::optional<std::pair<QString, ToneFileResult>> outcome;
    {
        SaveUnderway underway;
        g_underway = &underway;
        const auto ended = qScopeGuard([] { g_underway = nullptr; });
        outcome = askAndWrite(window, panel, messages, writer, underway);
        if (underway.quitting)
            return;
    }
    // A box of its own, no longer part of the save.
    if (!outcome)
        return;
    const auto& [path, result] = *outcome;
    if (result.status == ToneFileStatus::Saved || result.status == ToneFileStatus::Cancelled)
        return;
    messages.inform(QStringLiteral("Could not save \"%1\": %2. Nothing was changed.")
                        .arg(QDir::toNativeSeparators(path), reasonText(result)));
}

bool isToneSavingWindow(const QWidget* widget)
{
    if (!g_underway || !widget)
        return false;
    const QWidget* dialog = g_underway->dialog;
    return widget == dialog || (dialog && dialog->isAncestorOf(widget)) || widget == g_underway->progress;
}

bool cancelToneSaving(QObject* context, std::function<void()> then)
{
    if (!g_underway)
        return false;
    g_underway->quitting = true;
    g_underway->afterwards.emplace_back(context, std::move(then));
    if (g_underway->cancelWriting) {
        g_underway->cancelWriting();
    } else if (QWidget* dialog = g_underway->dialog) {
        // A confirmation it opened goes first; its answer no longer counts.
        for (QDialog* inner : dialog->findChildren<QDialog*>())
            if (inner->isVisible())
                inner->reject();
        dialog->close();
    }
    return true;
}
