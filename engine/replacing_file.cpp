// SPDX-License-Identifier: GPL-3.0-or-later
// A new file written beside its target and renamed into place when complete.
#include "replacing_file.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quavira {

Cancellation::Cancellation(std::function<void()> pastPointOfNoReturn)
    : m_pastPointOfNoReturn(std::move(pastPointOfNoReturn))
{
}

bool Cancellation::cancel()
{
    int expected = kOpen;
    return m_state.compare_exchange_strong(expected, kCancelled) || expected == kCancelled;
}

bool Cancellation::cancelled() const
{
    return m_state.load() == kCancelled;
}

bool Cancellation::passPointOfNoReturn()
{
    int expected = kOpen;
    if (!m_state.compare_exchange_strong(expected, kFinishing) && expected != kFinishing)
        return false;
    if (m_pastPointOfNoReturn)
        std::exchange(m_pastPointOfNoReturn, {})();
    return true;
}

namespace {

int openAnonymous(const char* folder)
{
    return ::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
}

std::atomic<SyncCall> g_sync{::fsync};
std::atomic<OpenAnonymousCall> g_openAnonymous{openAnonymous};

// Makes names unique within the process; O_EXCL and linkat settle the rest.
std::atomic<unsigned> g_nextSerial{0};

constexpr const char* kPrefix = ".quavira-";
constexpr const char* kSuffix = ".part";
// How often a flush that is being waited for looks for a cancel.
constexpr std::chrono::milliseconds kCancelPollInterval{50};

// At most 30 bytes, so within any folder's NAME_MAX whatever the target's name.
std::string newTemporaryName()
{
    return kPrefix + std::to_string(::getpid()) + '-' + std::to_string(g_nextSerial++) + kSuffix;
}

// Tries fresh names of ours in `folder` with `make` (which answers 0 or an
// errno value) until one is not taken; that one is then `name`.
int withFreshName(const std::string& folder, std::string& name, const std::function<int(const std::string&)>& make)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = folder + newTemporaryName();
        const int error = make(candidate);
        if (error == 0)
            name = std::move(candidate);
        if (error != EEXIST)
            return error;
    }
    return EEXIST;
}

// The process that named a temporary file of ours, or 0 for any other name.
pid_t ownerOf(const std::string& name)
{
    const std::size_t prefix = std::char_traits<char>::length(kPrefix);
    const std::size_t suffix = std::char_traits<char>::length(kSuffix);
    if (name.size() <= prefix + suffix || name.compare(0, prefix, kPrefix) != 0 ||
        name.compare(name.size() - suffix, suffix, kSuffix) != 0)
        return 0;
    char* end = nullptr;
    const long pid = std::strtol(name.c_str() + prefix, &end, 10);
    if (end == name.c_str() + prefix || *end != '-' || pid <= 0 || pid > INT_MAX)
        return 0;
    const char* serial = end + 1;
    std::strtoul(serial, &end, 10);
    return end != serial && static_cast<std::size_t>(end - name.c_str()) == name.size() - suffix
               ? static_cast<pid_t>(pid)
               : 0;
}

// Removes the regular files of ours in `folder` whose process is gone (a
// save killed while it wrote under a name). A process we may not signal
// (EPERM) is alive. Best effort: what cannot be read or removed stays.
void removeStaleTemporaries(const std::string& folder)
{
    DIR* entries = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!entries)
        return;
    const int folderDescriptor = ::dirfd(entries);
    while (const dirent* entry = ::readdir(entries)) {
        const pid_t pid = ownerOf(entry->d_name);
        if (pid == 0 || pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        struct stat status {};
        if (::fstatat(folderDescriptor, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode))
            ::unlinkat(folderDescriptor, entry->d_name, 0);
    }
    ::closedir(entries);
}

// One fsync on a thread of its own, so that whoever waits for it can stop
// waiting; the descriptor is then closed by that thread when it is done.
struct Flush {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int error = 0;
};

}  // namespace

void setSyncCall(SyncCall call)
{
    g_sync = call ? call : ::fsync;
}

void setOpenAnonymousCall(OpenAnonymousCall call)
{
    g_openAnonymous = call ? call : openAnonymous;
}

ReplacingFile::ReplacingFile(std::string targetPath) : m_targetPath(std::move(targetPath)) {}

ReplacingFile::~ReplacingFile()
{
    discard();
}

int ReplacingFile::resolveTarget()
{
    std::string path = m_targetPath;
    for (int links = 0;; ++links) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) {
            if (errno != ENOENT)
                return errno;
            break;  // a new file, or what a dangling link names
        }
        if (S_ISLNK(status.st_mode)) {
            if (links == 40)
                return ELOOP;
            std::string link(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : PATH_MAX), '\0');
            const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
            if (length < 0)
                return errno;
            link.resize(static_cast<std::size_t>(length));
            // A relative link is relative to the folder the link is in.
            const std::size_t slash = path.rfind('/');
            const bool absolute = !link.empty() && link.front() == '/';
            path = absolute || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
            continue;
        }
        if (!S_ISREG(status.st_mode))
            return kTargetNotRegular;
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
            return errno == EROFS ? EROFS : kTargetNotWritable;
        m_replacesFile = true;
        m_replacedMode = status.st_mode & 07777;
        m_replacedOwner = status.st_uid;
        m_replacedGroup = status.st_gid;
        break;
    }
    m_replacedPath = path;
    const std::size_t slash = path.rfind('/');
    m_folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    return 0;
}

int ReplacingFile::create()
{
    if (const int error = resolveTarget())
        return error;
    removeStaleTemporaries(m_folder);

    const std::string folder = m_folder.empty() ? "." : m_folder;
    int descriptor = g_openAnonymous.load()(folder.c_str());
    // Naming it at the end goes through /proc, which may not be mounted.
    if (descriptor >= 0 && ::access("/proc/self/fd", X_OK) != 0) {
        ::close(descriptor);
        descriptor = -1;
        errno = EOPNOTSUPP;
    }
    if (descriptor < 0) {
        // EISDIR: a kernel that does not know the flag; the others: a file
        // system that has no such files.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return errno;
        if (const int error = openNamed())
            return error;
        descriptor = m_descriptor;
    }
    m_descriptor = descriptor;

    if (m_replacesFile) {
        // The owner first: changing it may clear the set-id bits. Only root
        // may give the file away, and some file systems have no owners at
        // all: the group alone where it may be kept, else the defaults,
        // which leave the file whole all the same.
        [[maybe_unused]] const bool kept = ::fchown(descriptor, m_replacedOwner, m_replacedGroup) == 0 ||
                                           ::fchown(descriptor, static_cast<uid_t>(-1), m_replacedGroup) == 0;
        if (::fchmod(descriptor, m_replacedMode) != 0 && errno != EPERM && errno != EOPNOTSUPP) {
            const int error = errno;
            discard();
            return error;
        }
    }
    return 0;
}

int ReplacingFile::openNamed()
{
    return withFreshName(m_folder, m_temporaryPath, [this](const std::string& path) {
        m_descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        return m_descriptor >= 0 ? 0 : errno;
    });
}

int ReplacingFile::waitForFlush(Cancellation& cancel)
{
    const SyncCall sync = g_sync.load();
    const int descriptor = m_descriptor;
    auto flush = std::make_shared<Flush>();
    try {
        std::thread([flush, sync, descriptor] {
            const int error = sync(descriptor) == 0 ? 0 : errno;
            const std::lock_guard lock(flush->mutex);
            if (flush->abandoned) {
                // Nothing flushed is wanted any more.
                ::close(descriptor);
                return;
            }
            flush->error = error;
            flush->finished = true;
            flush->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the flush is waited for in full.
        return sync(descriptor) == 0 ? 0 : errno;
    }
    std::unique_lock lock(flush->mutex);
    while (!flush->finished) {
        if (cancel.cancelled()) {
            flush->abandoned = true;
            m_descriptor = -1;  // the flush's thread closes it
            return ECANCELED;
        }
        flush->done.wait_for(lock, kCancelPollInterval);
    }
    return flush->error;
}

int ReplacingFile::giveName()
{
    // The /proc form links a file without a name unprivileged (AT_EMPTY_PATH
    // needs CAP_DAC_READ_SEARCH); linkat cannot replace, so the name is a
    // temporary one and the rename does the replacing.
    const std::string self = "/proc/self/fd/" + std::to_string(m_descriptor);
    return withFreshName(m_folder, m_temporaryPath, [&self](const std::string& path) {
        return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    });
}

int ReplacingFile::commit(Cancellation& cancel)
{
    if (m_descriptor < 0)
        return EBADF;
    // A full disk or a lost device may only show in the flush, not in the writes.
    int error = waitForFlush(cancel);
    if (error == 0 && m_temporaryPath.empty())
        error = giveName();
    // Linux releases the descriptor whatever close() returns; an error other
    // than an interruption is a write that did not reach the file.
    if (m_descriptor >= 0 && ::close(m_descriptor) != 0 && error == 0 && errno != EINTR)
        error = errno;
    m_descriptor = -1;
    if (error == 0 && !cancel.passPointOfNoReturn())
        error = ECANCELED;
    if (error == 0 && ::rename(m_temporaryPath.c_str(), m_replacedPath.c_str()) != 0)
        error = errno;
    if (error != 0) {
        discard();
        return error;
    }
    m_temporaryPath.clear();

    // Makes the rename itself durable. The file is in place by now, so a
    // folder that cannot be opened or flushed (some file systems answer
    // EINVAL) changes nothing in the outcome: these results are not acted on.
    const std::string folder = m_folder.empty() ? "." : m_folder;
    const int folderDescriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderDescriptor >= 0) {
        g_sync.load()(folderDescriptor);
        ::close(folderDescriptor);
    }
    return 0;
}

void ReplacingFile::discard()
{
    if (m_descriptor >= 0) {
        // Nothing written to it is wanted any more, so its result does not matter.
        ::close(m_descriptor);
        m_descriptor = -1;
    }
    if (!m_temporaryPath.empty()) {
        // ENOENT: the folder went away with it. Anything else (the disk
        // turned read-only meanwhile) leaves it for the next save's clean-up.
        ::unlink(m_temporaryPath.c_str());
        m_temporaryPath.clear();
    }
}

}  // namespace quavira
