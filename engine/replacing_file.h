// SPDX-License-Identifier: GPL-3.0-or-later
// A new file written beside its target, unseen until complete, then renamed
// over the target; and the cancel that races the rename.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include <sys/types.h>

namespace quavira {

// A cancel asked for on one thread against the point of no return passed on
// another: whichever comes first holds, and each side learns which did.
// Any thread.
class Cancellation {
public:
    // Told on the writer's thread, once, when the point of no return is passed.
    explicit Cancellation(std::function<void()> pastPointOfNoReturn = {});

    // True when the work will end cancelled; false when it is already past
    // the point of no return and will finish.
    bool cancel();
    bool cancelled() const;
    // For the writer, right before the step that cannot be undone: true when
    // it may take it (a later cancel() is refused), false when cancelled first.
    bool passPointOfNoReturn();

private:
    enum State : int { kOpen, kCancelled, kFinishing };
    std::atomic<int> m_state{kOpen};
    std::function<void()> m_pastPointOfNoReturn;
};

// How a file's or a folder's contents are made durable: fsync(2) unless
// replaced, for the whole process, before any file is written (a test's
// stand-in for a slow disk); nullptr restores fsync(2).
using SyncCall = int (*)(int descriptor);
void setSyncCall(SyncCall call);
// How a new file without a name is opened in a folder: open(2) with
// O_TMPFILE unless replaced as above (a stand-in for a file system that has
// no such files, which answers EOPNOTSUPP); nullptr restores open(2).
using OpenAnonymousCall = int (*)(const char* folder);
void setOpenAnonymousCall(OpenAnonymousCall call);

// create()'s answers, besides errno values, for a target that exists but
// is not to be replaced.
inline constexpr int kTargetNotRegular = -1;   // a folder, a device, a pipe
inline constexpr int kTargetNotWritable = -2;  // the user may not write to it

// Until commit() renames it into place the target is left exactly as it
// was (absent, or the old file); after that, the target is the whole new
// file. The new file has no name while it is written where the file system
// allows (so a killed process leaves nothing), else a short hidden one of
// our own, ".quavira-<pid>-<n>.part"; such names left by a process that is
// gone are removed by the next create() in that folder. Whatever ends
// without a successful commit (a failure, a cancel, the object destroyed)
// removes the new file. Failures are errno values, 0 for success.
// One thread at a time; any thread.
class ReplacingFile {
public:
    explicit ReplacingFile(std::string targetPath);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Follows the target's symbolic links to the file they name (which is
    // what gets replaced, in its own folder), refuses one that exists but is
    // no regular file or may not be written, and creates the new file in
    // that folder, open for reading and writing, with the mode, owner and
    // group of the file it replaces where allowed (else 0666 less the umask).
    int create();
    // The open new file; -1 before create() and after commit().
    int descriptor() const { return m_descriptor; }
    // The file that is replaced: the target with its symbolic links followed.
    const std::string& replacedPath() const { return m_replacedPath; }

    // Flushes the file to the disk; then, unless cancelled meanwhile
    // (ECANCELED, returned as soon as the cancel is seen, without waiting
    // for the disk), passes the point of no return, renames the file over
    // the replaced one and flushes the folder. On failure the new file is
    // removed.
    int commit(Cancellation& cancel);
    // Closes and removes the new file, if there is one.
    void discard();

private:
    int resolveTarget();
    int openNamed();
    int waitForFlush(Cancellation& cancel);
    int giveName();

    std::string m_targetPath;
    std::string m_replacedPath;
    std::string m_folder;         // the replaced file's, with a trailing '/' unless empty
    std::string m_temporaryPath;  // the new file's name, once it has one
    int m_descriptor = -1;
    // A file of that name exists, and what it has that the new one keeps.
    bool m_replacesFile = false;
    mode_t m_replacedMode = 0;
    uid_t m_replacedOwner = 0;
    gid_t m_replacedGroup = 0;
};

}  // namespace quavira
