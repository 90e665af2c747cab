// SPDX-License-Identifier: GPL-3.0-or-later
// The tone file read back with libsndfile, and saves that end early or fail:
// cancelled, a read-only folder, a full disk, a folder that is gone.
#include "fade_curve.h"
#include "loop_format.h"
#include "tone_file.h"

#include <gtest/gtest.h>

#include <sndfile.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quavira {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kFadeInFrames = 2 * 44100;
constexpr std::uint64_t kFadeOutFrames = 10 * 44100;

// Every byte value, in no order, so that a sample taken from the wrong
// place in the loop or the wrong channel shows.
std::vector<std::uint8_t> noiseLoop()
{
    std::mt19937 random(20);
    std::vector<std::uint8_t> loop(kLoopBytes);
    for (std::uint8_t& sample : loop)
        sample = static_cast<std::uint8_t>(random());
    return loop;
}

ToneFileRequest request(const fs::path& target, ToneFileFormat format, std::uint64_t frames)
{
    return {noiseLoop(), frames, format, "440 Hz / 450 Hz", "10 Hz, Alpha", "Quavira 1.1.0.1", target.string()};
}

std::vector<std::string> namesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string contentsOf(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeFile(const fs::path& file, const std::string& contents)
{
    std::ofstream(file, std::ios::binary) << contents;
}

// A fresh folder of the test's own, removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "quavira-tone-file-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

// A small file system of the test's own (root only), unmounted at the end.
class SmallDisk {
public:
    explicit SmallDisk(const char* options)
    {
        if (::mount("quavira-test", m_folder.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) == 0)
            m_mounted = true;
        else
            m_error = std::strerror(errno);
    }
    ~SmallDisk()
    {
        if (m_mounted && ::umount2(m_folder.path().c_str(), 0) != 0)
            ::umount2(m_folder.path().c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    const std::string& error() const { return m_error; }
    const fs::path& path() const { return m_folder.path(); }
    bool remountReadOnly()
    {
        return ::mount(nullptr, path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) == 0;
    }

private:
    ScratchFolder m_folder;
    bool m_mounted = false;
    std::string m_error;
};

struct ReadBack {
    SF_INFO info{};
    std::vector<std::uint8_t> samples;  // as unsigned 8-bit, like the loop
    std::string title, comment, software;
};

ReadBack readBack(const fs::path& file)
{
    ReadBack back;
    SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &back.info);
    EXPECT_NE(sound, nullptr) << sf_strerror(nullptr);
    if (!sound)
        return back;
    for (auto [kind, text] : {std::pair{SF_STR_TITLE, &back.title}, std::pair{SF_STR_COMMENT, &back.comment},
                              std::pair{SF_STR_SOFTWARE, &back.software}})
        if (const char* found = sf_get_string(sound, kind))
            *text = found;
    std::vector<short> wide(static_cast<std::size_t>(back.info.frames) * 2);
    EXPECT_EQ(sf_readf_short(sound, wide.data(), back.info.frames), back.info.frames);
    for (short sample : wide)
        back.samples.push_back(static_cast<std::uint8_t>((sample >> 8) + 128));
    sf_close(sound);
    return back;
}

class ToneFileRoundTrip : public ::testing::TestWithParam<ToneFileFormat> {};

TEST_P(ToneFileRoundTrip, LoopRepeatedSampleForSampleWithBothFadesAndTags)
{
    ScratchFolder folder;
    const fs::path target = folder.path() / "tone";
    // Fifteen seconds and a bit: seams between loops outside the fades, and
    // a last piece shorter than the loop.
    const std::uint64_t frames = 15 * 44100 + 12345;
    const ToneFileRequest asked = request(target, GetParam(), frames);
    std::atomic<bool> cancel{false};
    std::vector<std::uint64_t> reported;
    const ToneFileResult result = writeToneFile(asked, cancel, [&](std::uint64_t written, std::uint64_t total) {
        EXPECT_EQ(total, frames);
        reported.push_back(written);
    });
    ASSERT_EQ(result.status, ToneFileStatus::Saved) << result.detail;
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"tone"});
    ASSERT_FALSE(reported.empty());
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    EXPECT_EQ(reported.back(), frames);

    const ReadBack back = readBack(target);
    const int expectedFormat =
        GetParam() == ToneFileFormat::Flac ? (SF_FORMAT_FLAC | SF_FORMAT_PCM_S8) : (SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
    EXPECT_EQ(back.info.format, expectedFormat);
    EXPECT_EQ(back.info.channels, 2);
    EXPECT_EQ(back.info.samplerate, 44100);
    ASSERT_EQ(back.info.frames, static_cast<sf_count_t>(frames));
    EXPECT_EQ(back.title, "440 Hz / 450 Hz");
    EXPECT_EQ(back.comment, "10 Hz, Alpha");
    // libsndfile adds its own name after the program's.
    EXPECT_EQ(back.software.rfind("Quavira 1.1.0.1", 0), 0u) << back.software;

    // Frame by frame: the loop's own byte outside the fades, scaled by the
    // long-fade curve inside them. The first mismatch of each kind is shown.
    const std::uint64_t fadeOutStart = frames - kFadeOutFrames;
    std::uint64_t plainMismatches = 0, fadeMismatches = 0;
    for (std::uint64_t frame = 0; frame < frames; ++frame)
        for (std::uint64_t channel = 0; channel < 2; ++channel) {
            const std::uint8_t own = asked.loop[(frame % 44100) * 2 + channel];
            const std::uint8_t got = back.samples[frame * 2 + channel];
            if (frame >= kFadeInFrames && frame < fadeOutStart) {
                if (got != own && plainMismatches++ == 0)
                    ADD_FAILURE() << "frame " << frame << " channel " << channel << ": " << int(got) << ", loop "
                                  << int(own);
                continue;
            }
            const double gain =
                frame < kFadeInFrames
                    ? fadeOutGain(1.0 - static_cast<double>(frame) / kFadeInFrames)
                    : fadeOutGain(static_cast<double>(frame - fadeOutStart) / kFadeOutFrames);
            if (got != scaleSample(own, gain) && fadeMismatches++ == 0)
                ADD_FAILURE() << "faded frame " << frame << " channel " << channel << ": " << int(got)
                              << ", expected " << int(scaleSample(own, gain));
        }
    EXPECT_EQ(plainMismatches, 0u);
    EXPECT_EQ(fadeMismatches, 0u);
    // Silence at both ends.
    EXPECT_EQ(back.samples[0], 128);
    EXPECT_EQ(back.samples[back.samples.size() - 1], 128);
}

INSTANTIATE_TEST_SUITE_P(BothFormats, ToneFileRoundTrip, ::testing::Values(ToneFileFormat::Flac, ToneFileFormat::Wav),
                         [](const auto& test) { return test.param == ToneFileFormat::Flac ? "Flac" : "Wav"; });

TEST(ToneFileReplace, ReplacesAnExistingFileOnlyWhenComplete)
{
    ScratchFolder folder;
    const fs::path target = folder.path() / "tone.wav";
    writeFile(target, "the old file");
    std::atomic<bool> cancel{false};

    // Cancelled after its third second: the old file stays, nothing else.
    int seconds = 0;
    const ToneFileResult cancelled =
        writeToneFile(request(target, ToneFileFormat::Wav, 60 * 44100), cancel, [&](std::uint64_t, std::uint64_t) {
            // The new bytes go to a file of their own meanwhile.
            EXPECT_EQ(namesIn(folder.path()).size(), 2u);
            EXPECT_EQ(contentsOf(target), "the old file");
            if (++seconds == 3)
                cancel = true;
        });
    EXPECT_EQ(cancelled.status, ToneFileStatus::Cancelled);
    EXPECT_EQ(seconds, 3);
    EXPECT_EQ(contentsOf(target), "the old file");
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"tone.wav"});

    cancel = false;
    const ToneFileResult saved = writeToneFile(request(target, ToneFileFormat::Wav, 13 * 44100), cancel);
    EXPECT_EQ(saved.status, ToneFileStatus::Saved) << saved.detail;
    EXPECT_EQ(readBack(target).info.frames, 13 * 44100);
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"tone.wav"});
}

// A failing target leaves the old file and the folder as they were, and the
// result names the reason.
constexpr const char* kOld = "the old file, which the user agreed to replace";

ToneFileResult save(const fs::path& target, ToneFileFormat format = ToneFileFormat::Flac)
{
    std::atomic<bool> cancel{false};
    return writeToneFile(request(target, format, 15 * 44100), cancel);
}

TEST(ToneFileFailingFolder, ReadOnlyFolder)
{
    if (::geteuid() != 0) {
        // Without root: a folder without write permission.
        ScratchFolder folder;
        writeFile(folder.path() / "tone", kOld);
        ASSERT_EQ(::chmod(folder.path().c_str(), 0555), 0);
        const ToneFileResult result = save(folder.path() / "tone");
        ::chmod(folder.path().c_str(), 0755);
        EXPECT_EQ(result.status, ToneFileStatus::NoPermission) << result.detail;
        EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"tone"});
        EXPECT_EQ(contentsOf(folder.path() / "tone"), kOld);
        return;
    }
    // Root may write in any folder whatever its permissions: a read-only
    // file system is what stops root.
    SmallDisk disk("size=1m");
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a file system here: " << disk.error();
    writeFile(disk.path() / "tone", kOld);
    ASSERT_TRUE(disk.remountReadOnly()) << std::strerror(errno);
    const ToneFileResult result = save(disk.path() / "tone");
    EXPECT_EQ(result.status, ToneFileStatus::ReadOnlyDisk);
    EXPECT_EQ(result.detail, "Read-only file system");
    EXPECT_EQ(namesIn(disk.path()), std::vector<std::string>{"tone"});
    EXPECT_EQ(contentsOf(disk.path() / "tone"), kOld);
}

TEST(ToneFileFailingFolder, FullDiskInEitherFormat)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a full disk of the test's own needs root (to mount a small tmpfs)";
    for (const ToneFileFormat format : {ToneFileFormat::Flac, ToneFileFormat::Wav}) {
        SCOPED_TRACE(format == ToneFileFormat::Flac ? "FLAC" : "WAV");
        // Room for the old file and a fraction of the new one.
        SmallDisk disk("size=256k");
        if (!disk.mounted())
            GTEST_SKIP() << "cannot mount a file system here: " << disk.error();
        writeFile(disk.path() / "tone", kOld);
        const ToneFileResult result = save(disk.path() / "tone", format);
        EXPECT_EQ(result.status, ToneFileStatus::NoSpace);
        EXPECT_EQ(result.detail, "No space left on device");
        EXPECT_EQ(namesIn(disk.path()), std::vector<std::string>{"tone"});
        EXPECT_EQ(contentsOf(disk.path() / "tone"), kOld);
    }
}

TEST(ToneFileFailingFolder, FolderMissingOrRemovedWhileSaving)
{
    ScratchFolder parent;
    const ToneFileResult missing = save(parent.path() / "no such folder" / "tone");
    EXPECT_EQ(missing.status, ToneFileStatus::FolderGone);
    EXPECT_TRUE(namesIn(parent.path()).empty());

    const fs::path folder = parent.path() / "folder";
    fs::create_directory(folder);
    std::atomic<bool> cancel{false};
    const ToneFileResult removed = writeToneFile(request(folder / "tone", ToneFileFormat::Flac, 15 * 44100), cancel,
                                                 [&](std::uint64_t written, std::uint64_t) {
                                                     if (written == 44100)
                                                         fs::remove_all(folder);
                                                 });
    EXPECT_EQ(removed.status, ToneFileStatus::FolderGone) << removed.detail;
    EXPECT_TRUE(namesIn(parent.path()).empty());
}

}  // namespace
}  // namespace quavira
