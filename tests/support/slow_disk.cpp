// SPDX-License-Identifier: GPL-3.0-or-later
// Stand-ins for the disk under a ReplacingFile.
#include "slow_disk.h"

#include "replacing_file.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace quavira::testing {

namespace {

struct HeldFlushes {
    std::mutex mutex;
    std::condition_variable changed;
    SlowDisk::Hold hold = SlowDisk::Hold::FileFlush;
    bool released = false;
    int held = 0;     // flushes waiting for release()
    int running = 0;  // flushes inside heldSync
    int tellDescriptor = -1;
};
HeldFlushes g_flushes;

int heldSync(int descriptor)
{
    struct stat status {};
    const bool folder = ::fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode);
    std::unique_lock lock(g_flushes.mutex);
    ++g_flushes.running;
    if (folder == (g_flushes.hold == SlowDisk::Hold::FolderFlush) && !g_flushes.released) {
        ++g_flushes.held;
        if (g_flushes.tellDescriptor >= 0 && ::write(g_flushes.tellDescriptor, "h", 1) != 1)
            g_flushes.tellDescriptor = -1;
        g_flushes.changed.notify_all();
        g_flushes.changed.wait(lock, [] { return g_flushes.released; });
        --g_flushes.held;
    }
    lock.unlock();
    const int result = ::fsync(descriptor);
    const int error = errno;
    lock.lock();
    --g_flushes.running;
    g_flushes.changed.notify_all();
    errno = error;
    return result;
}

int refuseAnonymous(const char*)
{
    errno = EOPNOTSUPP;
    return -1;
}

}  // namespace

SlowDisk::SlowDisk(Hold hold)
{
    {
        const std::lock_guard lock(g_flushes.mutex);
        g_flushes.hold = hold;
        g_flushes.released = false;
        g_flushes.tellDescriptor = -1;
    }
    setSyncCall(heldSync);
}

SlowDisk::~SlowDisk()
{
    release();
    std::unique_lock lock(g_flushes.mutex);
    g_flushes.changed.wait(lock, [] { return g_flushes.running == 0; });
    setSyncCall(nullptr);
}

void SlowDisk::tellHeldOn(int descriptor)
{
    const std::lock_guard lock(g_flushes.mutex);
    g_flushes.tellDescriptor = descriptor;
}

bool SlowDisk::waitUntilHeld(std::chrono::milliseconds limit)
{
    std::unique_lock lock(g_flushes.mutex);
    return g_flushes.changed.wait_for(lock, limit, [] { return g_flushes.held > 0; });
}

void SlowDisk::release()
{
    const std::lock_guard lock(g_flushes.mutex);
    g_flushes.released = true;
    g_flushes.changed.notify_all();
}

NoAnonymousFiles::NoAnonymousFiles()
{
    setOpenAnonymousCall(refuseAnonymous);
}

NoAnonymousFiles::~NoAnonymousFiles()
{
    setOpenAnonymousCall(nullptr);
}

}  // namespace quavira::testing
