// SPDX-License-Identifier: GPL-3.0-or-later
// A new file written beside its target and renamed into place when complete.
#include "replacing_file.h"

#include <atomic>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace quavira {

namespace {

// Makes temporary names unique within the process; O_EXCL settles the rest.
std::atomic<unsigned> g_nextSerial{0};

// At most `bytes` bytes of `name`, cut before a UTF-8 sequence rather than
// inside one.
std::string truncatedName(std::string name, std::size_t bytes)
{
    if (name.size() <= bytes)
        return name;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
    name.resize(end);
    return name;
}

}  // namespace

ReplacingFile::ReplacingFile(std::string targetPath) : m_targetPath(std::move(targetPath)) {}

ReplacingFile::~ReplacingFile()
{
    discard();
}

int ReplacingFile::create()
{
    const std::size_t slash = m_targetPath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : m_targetPath.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? m_targetPath : m_targetPath.substr(slash + 1);
    // ".tone.flac.1234-0.part": hidden, recognisably the target's, and within
    // a file name's 255 bytes.
    const std::string stem = folder + '.' + truncatedName(name, 200) + '.' + std::to_string(::getpid()) + '-';
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = stem + std::to_string(g_nextSerial++) + ".part";
        const int descriptor = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor >= 0) {
            m_descriptor = descriptor;
            m_temporaryPath = std::move(candidate);
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

int ReplacingFile::commit()
{
    if (m_descriptor < 0)
        return EBADF;
    int error = 0;
    // A full disk or a lost device may only show here, not in the writes.
    if (::fsync(m_descriptor) != 0)
        error = errno;
    // Linux releases the descriptor whatever close() returns; an error other
    // than an interruption is a write that did not reach the file.
    if (::close(m_descriptor) != 0 && error == 0 && errno != EINTR)
        error = errno;
    m_descriptor = -1;
    if (error == 0 && ::rename(m_temporaryPath.c_str(), m_targetPath.c_str()) != 0)
        error = errno;
    if (error != 0) {
        discard();
        return error;
    }
    m_temporaryPath.clear();

    // Makes the rename itself durable. The file is in place by now, so a
    // folder that cannot be opened or flushed (some file systems answer
    // EINVAL) changes nothing in the outcome: these results are not acted on.
    const std::size_t slash = m_targetPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : m_targetPath.substr(0, slash);
    const int folderDescriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderDescriptor >= 0) {
        ::fsync(folderDescriptor);
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
        // turned read-only meanwhile) leaves it where nothing can remove it.
        ::unlink(m_temporaryPath.c_str());
        m_temporaryPath.clear();
    }
}

}  // namespace quavira
