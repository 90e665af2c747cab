// SPDX-License-Identifier: GPL-3.0-or-later
// The tone saved as an audio file through libsndfile.
#include "tone_file.h"

#include "fade_curve.h"
#include "noisy_tone.h"
#include "replacing_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quavira {

namespace {

ToneFileStatus statusOf(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        return ToneFileStatus::NoSpace;
    case EACCES:
    case EPERM:
        return ToneFileStatus::NoPermission;
    case EROFS:
        return ToneFileStatus::ReadOnlyDisk;
    case ENOENT:
    case ENOTDIR:
        return ToneFileStatus::FolderGone;
    default:
        return ToneFileStatus::Failed;
    }
}

ToneFileResult systemFailure(int error)
{
    if (error == ECANCELED)
        return {ToneFileStatus::Cancelled, {}};
    if (error == kTargetNotRegular)
        return {ToneFileStatus::NotRegularFile, {}};
    if (error == kTargetNotWritable)
        return {ToneFileStatus::FileNotWritable, {}};
    char buffer[256];
    // The GNU strerror_r: thread-safe, returns the text (not always in buffer).
    return {statusOf(error), ::strerror_r(error, buffer, sizeof buffer)};
}

// libsndfile's output, going to the temporary file's descriptor. It keeps
// the first system error: libsndfile itself only says that a write failed,
// and the user needs to hear why.
struct DescriptorSink {
    int descriptor = -1;
    int error = 0;

    void fail(int e)
    {
        if (error == 0)
            error = e;
    }
};

sf_count_t sinkLength(void* user)
{
    auto* sink = static_cast<DescriptorSink*>(user);
    struct stat status {};
    if (::fstat(sink->descriptor, &status) != 0) {
        sink->fail(errno);
        return -1;
    }
    return status.st_size;
}

sf_count_t sinkSeek(sf_count_t offset, int whence, void* user)
{
    auto* sink = static_cast<DescriptorSink*>(user);
    const off_t position = ::lseek(sink->descriptor, offset, whence);
    if (position < 0)
        sink->fail(errno);
    return position;
}

sf_count_t sinkTell(void* user)
{
    return sinkSeek(0, SEEK_CUR, user);
}

sf_count_t sinkRead(void* to, sf_count_t bytes, void* user)
{
    auto* sink = static_cast<DescriptorSink*>(user);
    sf_count_t done = 0;
    while (done < bytes) {
        const ssize_t count =
            ::read(sink->descriptor, static_cast<char*>(to) + done, static_cast<std::size_t>(bytes - done));
        if (count == 0)
            break;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            sink->fail(errno);
            break;
        }
        done += count;
    }
    return done;
}

sf_count_t sinkWrite(const void* from, sf_count_t bytes, void* user)
{
    auto* sink = static_cast<DescriptorSink*>(user);
    sf_count_t done = 0;
    while (done < bytes) {
        const ssize_t count =
            ::write(sink->descriptor, static_cast<const char*>(from) + done, static_cast<std::size_t>(bytes - done));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            sink->fail(errno);
            break;
        }
        done += count;
    }
    return done;
}

// What went wrong after libsndfile reported a failure: the system's reason
// when the file itself failed, libsndfile's words otherwise.
ToneFileResult writeFailure(const DescriptorSink& sink, const char* libraryText)
{
    if (sink.error != 0)
        return systemFailure(sink.error);
    return {ToneFileStatus::Failed, libraryText ? libraryText : ""};
}

struct SoundFileCloser {
    void operator()(SNDFILE* sound) const { sf_close(sound); }
};
using SoundFile = std::unique_ptr<SNDFILE, SoundFileCloser>;

// The two fades' gain at `frame` of a file `frames` long.
double fadeGain(std::uint64_t frame, std::uint64_t frames)
{
    const std::uint64_t fadeInFrames = std::min(kFileFadeInFrames, frames);
    const std::uint64_t fadeOutFrames = std::min(kFileFadeOutFrames, frames);
    const std::uint64_t fadeOutStart = frames - fadeOutFrames;
    double gain = 1.0;
    if (frame < fadeInFrames)
        gain *= fadeOutGain(1.0 - static_cast<double>(frame) / static_cast<double>(fadeInFrames));
    if (frame >= fadeOutStart)
        gain *= fadeOutGain(static_cast<double>(frame - fadeOutStart) / static_cast<double>(fadeOutFrames));
    return gain;
}

// An unsigned 8-bit sample as libsndfile's 16-bit one, which it turns back
// into exactly that 8-bit value in either format.
short wideSample(std::uint8_t sample)
{
    return static_cast<short>((static_cast<int>(sample) - 128) * 256);
}

// The noise's stream in every file: the same request gives the same file.
constexpr std::uint64_t kFileNoiseSeed = 0x51a7'e5f1'1e5e'ed01;

// Mixed 16-bit samples from the file's frame `first` on, scaled by the fades'
// gain and rounded again: a fade moves in 16-bit steps, not in the loop's
// 8-bit ones.
void fadeMixed(short* samples, std::uint64_t first, std::uint64_t count, std::uint64_t frames)
{
    for (std::uint64_t i = 0; i < count; ++i) {
        const double gain = fadeGain(first + i, frames);
        samples[2 * i] = static_cast<short>(std::lrint(samples[2 * i] * gain));
        samples[2 * i + 1] = static_cast<short>(std::lrint(samples[2 * i + 1] * gain));
    }
}

}  // namespace

ToneFileResult writeToneFile(const ToneFileRequest& request, Cancellation& cancel,
                             const ToneFileProgress& progress)
{
    if (request.loop.size() != kLoopBytes || request.frames == 0)
        return {ToneFileStatus::Failed, "There is no tone to write."};

    std::vector<short> loop(kLoopBytes);
    std::transform(request.loop.begin(), request.loop.end(), loop.begin(), wideSample);
    std::vector<short> faded(kLoopBytes);
    std::optional<NoisyTone> noisy;
    if (request.noise)
        noisy.emplace(request.loop, *request.noise, request.noiseLevelDb, kFileNoiseSeed);

    ReplacingFile file(request.targetPath);
    if (const int error = file.create())
        return systemFailure(error);
    DescriptorSink sink{file.descriptor()};
    SF_VIRTUAL_IO io{sinkLength, sinkSeek, sinkRead, sinkWrite, sinkTell};
    SF_INFO info{};
    info.samplerate = static_cast<int>(kFramesPerSecond);
    info.channels = 2;
    if (noisy)
        info.format = (request.format == ToneFileFormat::Flac ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | SF_FORMAT_PCM_16;
    else
        info.format = request.format == ToneFileFormat::Flac ? SF_FORMAT_FLAC | SF_FORMAT_PCM_S8
                                                              : SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
    SoundFile sound(sf_open_virtual(&io, SFM_WRITE, &info, &sink));
    if (!sound)
        return writeFailure(sink, sf_strerror(nullptr));

    // Before the first sample: FLAC keeps its tags in the header.
    for (const auto& [kind, text] : {std::pair{SF_STR_TITLE, &request.title},
                                     std::pair{SF_STR_COMMENT, &request.comment},
                                     std::pair{SF_STR_SOFTWARE, &request.software}}) {
        if (text->empty())
            continue;
        if (const int error = sf_set_string(sound.get(), kind, text->c_str()))
            return writeFailure(sink, sf_error_number(error));
    }

    // One loop at a time, so every piece starts at the loop's first frame;
    // without noise only the pieces the fades touch are copied and scaled.
    const std::uint64_t fadeOutStart = request.frames - std::min(kFileFadeOutFrames, request.frames);
    for (std::uint64_t written = 0; written < request.frames;) {
        if (cancel.cancelled())
            return {ToneFileStatus::Cancelled, {}};
        const std::uint64_t count = std::min<std::uint64_t>(kLoopFrames, request.frames - written);
        const bool fading = written < kFileFadeInFrames || written + count > fadeOutStart;
        const short* piece = loop.data();
        if (noisy) {
            noisy->render(faded.data(), count);
            if (fading)
                fadeMixed(faded.data(), written, count, request.frames);
            piece = faded.data();
        } else if (fading) {
            for (std::uint64_t i = 0; i < count; ++i) {
                const double gain = fadeGain(written + i, request.frames);
                faded[2 * i] = wideSample(scaleSample(request.loop[2 * i], gain));
                faded[2 * i + 1] = wideSample(scaleSample(request.loop[2 * i + 1], gain));
            }
            piece = faded.data();
        }
        const sf_count_t frames = static_cast<sf_count_t>(count);
        if (sf_writef_short(sound.get(), piece, frames) != frames || sink.error != 0)
            return writeFailure(sink, sf_strerror(sound.get()));
        written += count;
        if (progress)
            progress(written, request.frames);
    }
    if (cancel.cancelled())
        return {ToneFileStatus::Cancelled, {}};

    // Closing writes FLAC's last frame and both formats' final header.
    if (const int error = sf_close(sound.release()); error != 0 || sink.error != 0)
        return writeFailure(sink, sf_error_number(error));
    if (const int error = file.commit(cancel))
        return systemFailure(error);
    return {};
}

}  // namespace quavira
