// SPDX-License-Identifier: GPL-3.0-or-later
// The tone file read back with libsndfile, and saves that end early or fail:
// cancelled, a read-only folder, a full disk.
#include "fade_curve.h"
#include "loop_format.h"
#include "tone_file.h"

#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
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
    std::uint64_t reported = 0;
    const ToneFileResult result =
        writeToneFile(asked, cancel, [&](std::uint64_t written, std::uint64_t) { reported = written; });
    ASSERT_EQ(result.status, ToneFileStatus::Saved) << result.detail;
    EXPECT_EQ(reported, frames);
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"tone"});

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

    // The loop's own bytes outside the fades, scaled by the long-fade curve
    // inside them.
    const std::uint64_t fadeOutStart = frames - kFadeOutFrames;
    std::vector<std::uint8_t> expected(frames * 2);
    for (std::uint64_t i = 0; i < expected.size(); ++i) {
        const std::uint64_t frame = i / 2;
        const std::uint8_t own = asked.loop[i % kLoopBytes];
        expected[i] = frame < kFadeInFrames ? scaleSample(own, fadeOutGain(1.0 - double(frame) / kFadeInFrames))
                      : frame >= fadeOutStart
                          ? scaleSample(own, fadeOutGain(double(frame - fadeOutStart) / kFadeOutFrames))
                          : own;
    }
    const auto differs = std::mismatch(back.samples.begin(), back.samples.end(), expected.begin()).first;
    EXPECT_EQ(differs, back.samples.end()) << "first difference at frame " << (differs - back.samples.begin()) / 2;
    // Silence at both ends.
    EXPECT_EQ(back.samples.front(), 128);
    EXPECT_EQ(back.samples.back(), 128);
}

INSTANTIATE_TEST_SUITE_P(BothFormats, ToneFileRoundTrip, ::testing::Values(ToneFileFormat::Flac, ToneFileFormat::Wav),
                         [](const auto& test) { return test.param == ToneFileFormat::Flac ? "Flac" : "Wav"; });

// A save that fails or is cancelled leaves the old file and the folder as
// they were, and the result names the reason.
constexpr const char* kOld = "the old file, which the user agreed to replace";

ToneFileResult save(const fs::path& target, ToneFileFormat format = ToneFileFormat::Flac)
{
    std::atomic<bool> cancel{false};
    return writeToneFile(request(target, format, 15 * 44100), cancel);
}

TEST(ToneFileNotSaved, ReadOnlyFolder)
{
    // Root writes in any folder whatever its permissions: a file system
    // mounted read-only stops it. Without root, a folder without write
    // permission does.
    const bool root = ::geteuid() == 0;
    ScratchFolder folder;
    std::optional<SmallDisk> disk;
    if (root) {
        disk.emplace("size=1m");
        if (!disk->mounted())
            GTEST_SKIP() << "cannot mount a file system here: " << disk->error();
    }
    const fs::path where = root ? disk->path() : folder.path();
    writeFile(where / "tone", kOld);
    if (root)
        ASSERT_TRUE(disk->remountReadOnly()) << std::strerror(errno);
    else
        ASSERT_EQ(::chmod(where.c_str(), 0555), 0);
    const ToneFileResult result = save(where / "tone");
    if (!root)
        ::chmod(where.c_str(), 0755);
    EXPECT_EQ(result.status, root ? ToneFileStatus::ReadOnlyDisk : ToneFileStatus::NoPermission) << result.detail;
    EXPECT_EQ(namesIn(where), std::vector<std::string>{"tone"});
    EXPECT_EQ(contentsOf(where / "tone"), kOld);
}

TEST(ToneFileNotSaved, FullDiskInEitherFormat)
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

TEST(ToneFileNotSaved, CancelledWhileWriting)
{
    ScratchFolder folder;
    const fs::path target = folder.path() / "tone";
    writeFile(target, kOld);
    std::atomic<bool> cancel{false};
    int seconds = 0;
    const ToneFileResult result =
        writeToneFile(request(target, ToneFileFormat::Flac, 60 * 44100), cancel, [&](std::uint64_t, std::uint64_t) {
            // Meanwhile the new bytes go to a file of their own.
            EXPECT_EQ(namesIn(folder.path()).size(), 2u);
            cancel = ++seconds == 3;
        });
    EXPECT_EQ(result.status, ToneFileStatus::Cancelled);
    EXPECT_EQ(seconds, 3);
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"tone"});
    EXPECT_EQ(contentsOf(target), kOld);
}

}  // namespace
}  // namespace quavira
