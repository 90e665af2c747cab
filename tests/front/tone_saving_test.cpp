// SPDX-License-Identifier: GPL-3.0-or-later
// "Save as audio file..." driven as a user drives it: the file dialog, the
// progress dialog's Cancel, replacing a file, and a save that fails.
#include "front_fixture.h"
#include "save_tone_dialog.h"
#include "slow_disk.h"
#include "tone_description.h"
#include "tone_saving.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QMessageBox>
#include <QProgressDialog>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <sndfile.h>

#include <chrono>
#include <deque>
#include <functional>
#include <thread>

#include <sched.h>

namespace fronttest {
namespace {

using quavira::ToneFileProgress;
using quavira::ToneFileRequest;

class ToneSaving : public FrontWindow {
protected:
    void SetUp() override
    {
        start();
        ASSERT_TRUE(m_folder.isValid());
    }

    // Runs the steps in order on whichever event loop is running (the
    // dialogs' own), each retried until it finds what it acts on. A step
    // that never can closes the modal window it waits in, so the test ends.
    void play(std::deque<std::function<bool()>> steps)
    {
        m_steps = std::move(steps);
        m_attempts = 0;
        QTimer::singleShot(5, &m_stepTimers, [this] { nextStep(); });
    }

    // In the test's folder: types the file name, picks WAV if asked, types
    // the length, clicks Save.
    bool fillDialog(const QString& name, bool wav, int minutes)
    {
        auto* dialog = qobject_cast<SaveToneDialog*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return false;
        // Where the user would have gone through the folder view.
        dialog->setDirectory(m_folder.path());
        auto* nameField = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QTest::keyClick(nameField, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(nameField, name);
        if (wav)
            QTest::keyClick(dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo")), Qt::Key_Down);
        QTest::keyClick(dialog->lengthField(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(dialog->lengthField(), QString::number(minutes));
        const auto* buttons = dialog->findChild<QDialogButtonBox*>();
        for (QAbstractButton* button : buttons->buttons())
            if (buttons->buttonRole(button) == QDialogButtonBox::AcceptRole)
                QTest::mouseClick(button, Qt::LeftButton);
        return true;
    }

    // Answers Qt's "already exists" question with Yes.
    static bool confirmReplacing()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->button(QMessageBox::Yes))
            return false;
        QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
        return true;
    }

    // The progress dialog, once it is up while `disk` holds a flush.
    QProgressDialog* progressWhileHeld(quavira::testing::SlowDisk& disk)
    {
        auto* progress = m_form.findChild<QProgressDialog*>();
        if (!progress || !progress->isVisible() || !disk.waitUntilHeld(std::chrono::milliseconds(0)))
            return nullptr;
        return progress;
    }

    void writeOldFile(const QString& name)
    {
        QFile old(m_folder.filePath(name));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old");
    }

    QByteArray contentsOf(const QString& name) const
    {
        QFile file(m_folder.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The real writer, watched: what it was asked, its thread's scheduling,
    // and `afterFirstSecond` run on that thread once a second is written.
    ToneFileWriter watchedWriter()
    {
        return [this](const ToneFileRequest& request, quavira::Cancellation& cancel,
                      const ToneFileProgress& progress) {
            m_asked = request;
            m_workerPolicy = ::sched_getscheduler(0);
            return quavira::writeToneFile(request, cancel, [&](std::uint64_t written, std::uint64_t frames) {
                progress(written, frames);
                if (written == 44100 && m_afterFirstSecond)
                    m_afterFirstSecond(cancel);
            });
        };
    }

    QStringList filesInFolder() const
    {
        return QDir(m_folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir m_folder;
    ToneFileRequest m_asked;
    int m_workerPolicy = -1;
    std::function<void(const quavira::Cancellation& cancel)> m_afterFirstSecond;
    std::atomic<bool> m_gaveUp{false};

private:
    void nextStep()
    {
        if (m_steps.empty())
            return;
        std::function<bool()> step = std::move(m_steps.front());
        m_steps.pop_front();
        // Scheduled first: the step may open a nested loop (a confirmation).
        QTimer::singleShot(5, &m_stepTimers, [this] { nextStep(); });
        if (step()) {
            m_attempts = 0;
        } else if (++m_attempts < 4000) {
            m_steps.push_front(std::move(step));
        } else {
            ADD_FAILURE() << "a step found nothing to act on";
            m_steps.clear();
            m_gaveUp = true;
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        }
    }

    QObject m_stepTimers;
    std::deque<std::function<bool()>> m_steps;
    int m_attempts = 0;
};

TEST_F(ToneSaving, UserPicksWavAndALengthThenCancelsWhileItIsWritten)
{
    QStringList whileWriting;
    m_afterFirstSecond = [&](const quavira::Cancellation& cancel) {
        whileWriting = filesInFolder();
        // The progress dialog is up and answering until the user cancels.
        while (!cancel.cancelled() && !m_gaveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    bool cancelled = false;
    // Noise chosen while the dialog is up goes into the file.
    play({[&] {
              m_panel.setNoise(quavira::NoiseColour::Pink, -22);
              return fillDialog(QStringLiteral("evening"), true, 45);
          },
          [&] {
              auto* progress = m_form.findChild<QProgressDialog*>();
              if (!progress || !progress->isVisible())
                  return false;
              QTest::mouseClick(progress->findChild<QPushButton*>(), Qt::LeftButton);
              return cancelled = true;
          }});
    saveToneAs(&m_form, m_panel, m_box, watchedWriter());

    EXPECT_TRUE(cancelled);
    EXPECT_EQ(m_asked.format, quavira::ToneFileFormat::Wav);
    EXPECT_EQ(m_asked.frames, 45u * 60 * 44100);
    EXPECT_EQ(m_asked.targetPath, m_folder.filePath(QStringLiteral("evening.wav")).toStdString());
    EXPECT_EQ(m_asked.noise, quavira::NoiseColour::Pink);
    EXPECT_EQ(m_asked.noiseLevelDb, -22);
    EXPECT_EQ(m_asked.comment,
              quavira::beatDescription(panelHz(Channel::Left), panelHz(Channel::Right)).toStdString() +
                  "; Pink noise, -22 dB");
    EXPECT_EQ(m_workerPolicy, SCHED_IDLE);
    // Written without a name meanwhile; nothing left once cancelled.
    EXPECT_TRUE(whileWriting.isEmpty()) << whileWriting.join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(filesInFolder().isEmpty());
    EXPECT_TRUE(m_box.shown.isEmpty());
    EXPECT_TRUE(m_form.isVisible());
    EXPECT_EQ(m_form.findChild<QProgressDialog*>(), nullptr);
}

TEST_F(ToneSaving, ReplacingAFileAsksFirstThenHoldsTheToneAsItStands)
{
    QCoreApplication::setApplicationVersion(QStringLiteral("1.1.0.1"));
    const QString target = m_folder.filePath(QStringLiteral("morning.flac"));
    QFile old(target);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old");
    old.close();
    bool asked = false;
    play({[&] { return fillDialog(QStringLiteral("morning"), false, 1); },
          [&] { return asked = confirmReplacing(); }});
    saveToneAs(&m_form, m_panel, m_box);

    EXPECT_TRUE(asked);
    EXPECT_TRUE(m_box.shown.isEmpty()) << m_box.shown.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(filesInFolder(), QStringList{QStringLiteral("morning.flac")});
    SF_INFO info{};
    SNDFILE* sound = sf_open(QFile::encodeName(target).constData(), SFM_READ, &info);
    ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_S8);
    EXPECT_EQ(info.frames, 60 * 44100);
    const int leftHz = panelHz(Channel::Left), rightHz = panelHz(Channel::Right);
    EXPECT_EQ(QString::fromUtf8(sf_get_string(sound, SF_STR_TITLE)), quavira::toneTitle(leftHz, rightHz));
    EXPECT_EQ(QString::fromUtf8(sf_get_string(sound, SF_STR_COMMENT)), quavira::beatDescription(leftHz, rightHz));
    EXPECT_TRUE(QString::fromUtf8(sf_get_string(sound, SF_STR_SOFTWARE)).startsWith(QStringLiteral("Quavira 1.1.0.1")));
    // The third second, past the fade-in, is the engine's loop.
    std::vector<short> second(88200);
    ASSERT_EQ(sf_seek(sound, 2 * 44100, SEEK_SET), 2 * 44100);
    ASSERT_EQ(sf_readf_short(sound, second.data(), 44100), 44100);
    sf_close(sound);
    std::vector<std::uint8_t> loop(88200);
    ASSERT_EQ(m_engine.samples().size(), loop.size());
    quavira::loadBytes(m_engine.samples(), loop.data());
    for (std::size_t i = 0; i < loop.size(); ++i)
        ASSERT_EQ((second[i] >> 8) + 128, loop[i]) << "sample " << i;
}

TEST_F(ToneSaving, FailureNamesTheFileAndTheReason)
{
    const QString folder = m_folder.filePath(QStringLiteral("gone"));
    ASSERT_TRUE(QDir().mkdir(folder));
    m_afterFirstSecond = [&](const quavira::Cancellation&) { QDir(folder).removeRecursively(); };
    play({[&] { return fillDialog(QStringLiteral("gone/night.wav"), false, 1); }});
    saveToneAs(&m_form, m_panel, m_box, watchedWriter());

    EXPECT_EQ(m_asked.format, quavira::ToneFileFormat::Flac);
    EXPECT_EQ(m_box.shown.join(QLatin1Char('\n')).toStdString(),
              QStringLiteral("Could not save \"%1/night.flac\": the folder no longer exists. Nothing was changed.")
                  .arg(folder)
                  .toStdString());
    EXPECT_TRUE(QDir(m_folder.path()).isEmpty());
    EXPECT_TRUE(m_form.isVisible());
}

TEST_F(ToneSaving, CancelWhileTheDiskFlushesKeepsTheOldFileWithoutWaitingForTheDisk)
{
    writeOldFile(QStringLiteral("night.flac"));
    quavira::testing::SlowDisk disk(quavira::testing::SlowDisk::Hold::FileFlush);
    QString cancelling;
    play({[&] { return fillDialog(QStringLiteral("night"), false, 1); }, [&] { return confirmReplacing(); },
          [&] {
              QProgressDialog* progress = progressWhileHeld(disk);
              if (!progress)
                  return false;
              QTest::mouseClick(progress->findChild<QPushButton*>(), Qt::LeftButton);
              // Up, without a button, until the worker has ended.
              cancelling = progress->isVisible() ? progress->labelText() : QString();
              return true;
          }});
    saveToneAs(&m_form, m_panel, m_box);

    EXPECT_EQ(cancelling.toStdString(), "Cancelling \"night.flac\"...");
    EXPECT_EQ(contentsOf(QStringLiteral("night.flac")), QByteArray("old"));
    EXPECT_EQ(filesInFolder(), QStringList{QStringLiteral("night.flac")});
    EXPECT_TRUE(m_box.shown.isEmpty()) << m_box.shown.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(m_form.findChild<QProgressDialog*>(), nullptr);
}

TEST_F(ToneSaving, PastTheRenameTheDialogSaysItIsFinishingAndCannotBeCancelled)
{
    writeOldFile(QStringLiteral("night.flac"));
    quavira::testing::SlowDisk disk(quavira::testing::SlowDisk::Hold::FolderFlush);
    bool checked = false;
    play({[&] { return fillDialog(QStringLiteral("night"), false, 1); }, [&] { return confirmReplacing(); },
          [&] {
              QProgressDialog* progress = progressWhileHeld(disk);
              if (!progress || !progress->labelText().startsWith(QStringLiteral("Finishing")))
                  return false;
              EXPECT_EQ(progress->labelText().toStdString(), "Finishing \"night.flac\"...");
              EXPECT_EQ(progress->findChild<QPushButton*>(), nullptr);
              QTest::keyClick(progress, Qt::Key_Escape);
              EXPECT_TRUE(progress->isVisible());
              disk.release();
              return checked = true;
          }});
    saveToneAs(&m_form, m_panel, m_box);

    EXPECT_TRUE(checked);
    EXPECT_EQ(filesInFolder(), QStringList{QStringLiteral("night.flac")});
    EXPECT_NE(contentsOf(QStringLiteral("night.flac")), QByteArray("old"));
    EXPECT_TRUE(m_box.shown.isEmpty()) << m_box.shown.join(QLatin1Char('\n')).toStdString();
}

}  // namespace
}  // namespace fronttest
