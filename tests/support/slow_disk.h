// SPDX-License-Identifier: GPL-3.0-or-later
// Stand-ins for the disk under a ReplacingFile: a flush held for as long as
// the test wants, and a file system without files that have no name.
#pragma once

#include <chrono>

namespace quavira::testing {

// While it lives, every fsync of the kind chosen is held until release()
// (or the destructor); the others run at once. One at a time; its methods
// from the test's thread, the flushes on any.
class SlowDisk {
public:
    enum class Hold { FileFlush, FolderFlush };
    explicit SlowDisk(Hold hold);
    ~SlowDisk();  // releases, waits for held flushes to return, restores fsync
    SlowDisk(const SlowDisk&) = delete;
    SlowDisk& operator=(const SlowDisk&) = delete;

    // A held flush also writes a byte to `descriptor` (a pipe to a parent
    // process that cannot see this one's memory).
    void tellHeldOn(int descriptor);
    // Whether a flush is being held now, waiting up to `limit` for one.
    bool waitUntilHeld(std::chrono::milliseconds limit = std::chrono::seconds(60));
    void release();
};

// While it lives, new files get a name from the start, as on a file system
// that has no files without one (O_TMPFILE answers EOPNOTSUPP).
class NoAnonymousFiles {
public:
    NoAnonymousFiles();
    ~NoAnonymousFiles();
    NoAnonymousFiles(const NoAnonymousFiles&) = delete;
    NoAnonymousFiles& operator=(const NoAnonymousFiles&) = delete;
};

}  // namespace quavira::testing
