// SPDX-License-Identifier: GPL-3.0-or-later
// A new file written under a hidden temporary name beside its target and
// renamed over the target only once it is complete.
#pragma once

#include <string>

namespace quavira {

// Until commit() succeeds the target is left exactly as it was (absent, or
// the old file); after it, the target is the whole new file. Whatever ends
// without a successful commit (a failure, a cancel, the object destroyed)
// removes the temporary file. Failures are errno values, 0 for success.
// One thread at a time; any thread.
class ReplacingFile {
public:
    explicit ReplacingFile(std::string targetPath);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Creates the temporary file, exclusively, in the target's folder, open
    // for reading and writing; its permissions are those any new file gets
    // there (0666 less the umask).
    int create();
    // The open temporary file; -1 before create() and after commit().
    int descriptor() const { return m_descriptor; }
    const std::string& temporaryPath() const { return m_temporaryPath; }

    // Flushes the file to the disk, closes it and renames it over the
    // target. On failure the temporary file is removed.
    int commit();
    // Closes and removes the temporary file, if there is one.
    void discard();

private:
    std::string m_targetPath;
    std::string m_temporaryPath;
    int m_descriptor = -1;
};

}  // namespace quavira
