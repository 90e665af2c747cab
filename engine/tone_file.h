// SPDX-License-Identifier: GPL-3.0-or-later
// The tone saved as an audio file: the loop repeated for a given length,
// faded in and out, tagged, written through libsndfile.
#pragma once

#include "loop_format.h"
#include "noise_colour.h"
#include "replacing_file.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quavira {

// Without noise the samples are the loop's 8 bits; with noise under the
// tone, 16 bits.
enum class ToneFileFormat {
    Flac,  // FLAC, signed 8-bit samples, or 16-bit with noise
    Wav,   // WAV, unsigned 8-bit samples as in the loop, or 16-bit with noise
};

// The fades every saved file gets, on the curve of fade_curve.h.
inline constexpr std::uint64_t kFileFadeInFrames = 2 * kFramesPerSecond;
inline constexpr std::uint64_t kFileFadeOutFrames = 10 * kFramesPerSecond;

struct ToneFileRequest {
    std::vector<std::uint8_t> loop;  // kLoopBytes bytes: left, right, left, ...
    std::uint64_t frames = 0;        // the file's length, stereo frames at 44,100 Hz
    ToneFileFormat format = ToneFileFormat::Flac;
    std::string title;
    std::string comment;
    std::string software;
    std::string targetPath;
    // The noise under the tone, none for the tone alone: `noise` at
    // `noiseLevelDb` dBFS RMS.
    std::optional<NoiseColour> noise = std::nullopt;
    double noiseLevelDb = kDefaultNoiseLevelDb;
};

enum class ToneFileStatus {
    Saved,
    Cancelled,
    NoSpace,       // the disk (or the user's quota) is full
    NoPermission,  // the folder or the file may not be written
    ReadOnlyDisk,  // the folder is on a file system mounted read-only
    FolderGone,    // the folder does not exist (any more)
    FileNotWritable,  // the file to be replaced may not be written
    NotRegularFile,   // the name is a folder, a device or a pipe
    Failed,        // anything else; the detail says what
};

struct ToneFileResult {
    ToneFileStatus status = ToneFileStatus::Saved;
    // The system's or libsndfile's own words, when there are any.
    std::string detail;
};

// Called after every second written, with the frames written so far.
using ToneFileProgress = std::function<void(std::uint64_t framesWritten, std::uint64_t frames)>;

// Writes the file: the loop's samples repeated without a seam from its first
// frame (with noise, mixed with it as the output mixes them, NoisyTone), a
// fade-in over the first kFileFadeInFrames and a fade-out over the last
// kFileFadeOutFrames (multiplied where a short file has them overlap),
// and the three texts as the file's title, comment and software tags. The
// file is written through a ReplacingFile and renamed into place only when
// complete and flushed; `cancel` is looked at between seconds and while the
// flush is waited for, and holds up to the rename, the point of no return.
// Anything but Saved leaves the target as it was and no temporary file
// behind. Blocks for as long as the writing takes: call it from a worker
// thread.
ToneFileResult writeToneFile(const ToneFileRequest& request, Cancellation& cancel,
                             const ToneFileProgress& progress = {});

}  // namespace quavira
