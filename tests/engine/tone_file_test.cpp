// SPDX-License-Identifier: GPL-3.0-or-later
// The tone file read back with libsndfile, and saves that end early or fail:
// cancelled, a read-only folder, a full disk.
#include "fade_curve.h"
#include "loop_format.h"
#include "loop_tones.h"
#include "noise_generator.h"
#include "noisy_tone.h"
#include "output_stage.h"
#include "slow_disk.h"
#include "tone_file.h"

#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
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
    Cancellation cancel;
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

class ToneFileWithNoise : public ::testing::TestWithParam<ToneFileFormat> {};

TEST_P(ToneFileWithNoise, SixteenBitsFadedTheNoiseAtItsLevelAndNeverRepeated)
{
    ScratchFolder folder;
    const fs::path target = folder.path() / "tone";
    const std::uint64_t frames = 16 * 44100;  // four steady seconds between the fades
    ToneFileRequest asked = request(target, GetParam(), frames);
    asked.loop = testing::loopTones(440, 450, 64);
    asked.noise = NoiseColour::Pink;
    asked.noiseLevelDb = -28;
    Cancellation cancel;
    ASSERT_EQ(writeToneFile(asked, cancel).status, ToneFileStatus::Saved);
    SF_INFO info{};
    SNDFILE* sound = sf_open(target.c_str(), SFM_READ, &info);
    ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format, (GetParam() == ToneFileFormat::Flac ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | SF_FORMAT_PCM_16);
    std::vector<short> samples(2 * frames);
    ASSERT_EQ(sf_readf_short(sound, samples.data(), info.frames), static_cast<sf_count_t>(frames));
    sf_close(sound);
    EXPECT_EQ(samples.front(), 0);
    EXPECT_LT(std::abs(samples.back()), 300);  // -48 dB of the loudest sum

    // The file minus the tone in the steady seconds: the same noise in both
    // ears at its level; a second minus the next has twice its power, where
    // a second played again would leave nothing.
    const auto noiseAt = [&](std::uint64_t i) {
        return (samples[i] - toOutputSample(asked.loop[i % kLoopBytes])) / 32768.0;
    };
    double power = 0, changePower = 0, count = 0;
    for (std::uint64_t i = 2 * kFadeInFrames; i < 2 * (frames - kFadeOutFrames - kLoopFrames); i += 2, ++count) {
        ASSERT_EQ(noiseAt(i), noiseAt(i + 1)) << "frame " << i / 2;
        power += noiseAt(i) * noiseAt(i);
        changePower += (noiseAt(i + kLoopBytes) - noiseAt(i)) * (noiseAt(i + kLoopBytes) - noiseAt(i));
    }
    EXPECT_NEAR(10 * std::log10(power / count), -28.0, 0.3);
    EXPECT_NEAR(10 * std::log10(changePower / count), -28.0 + 3.0, 1.0);
}

INSTANTIATE_TEST_SUITE_P(BothFormats, ToneFileWithNoise, ::testing::Values(ToneFileFormat::Flac, ToneFileFormat::Wav),
                         [](const auto& test) { return test.param == ToneFileFormat::Flac ? "Flac" : "Wav"; });

TEST(ToneFileWithNoise, MixedToTheBitAsTheOutputStageMixes)
{
    // Every byte value beside the loudest noise: sums held at full scale,
    // rounding everywhere; pieces of odd sizes, across the loop's end.
    const std::vector<std::uint8_t> loop = noiseLoop();
    NoisyTone tone(loop, NoiseColour::White, -16, 7);
    NoiseGenerator generator(NoiseColour::White, 7);
    const auto gain = static_cast<float>(std::pow(10.0, -16.0 / 20.0));
    std::vector<std::int16_t> out(2 * 3001);
    std::vector<float> noise(3001);
    for (std::uint64_t sample = 0; sample < 40 * out.size();) {
        tone.render(out.data(), noise.size());
        generator.render(noise.data(), noise.size());
        for (std::size_t i = 0; i < out.size(); ++i, ++sample)
            ASSERT_EQ(out[i], mixOutputSample(loop[sample % kLoopBytes], gain * noise[i / 2])) << "sample " << sample;
    }
}

// A save that fails or is cancelled leaves the old file and the folder as
// they were, and the result names the reason.
constexpr const char* kOld = "the old file, which the user agreed to replace";

ToneFileResult save(const fs::path& target, Cancellation& cancel, ToneFileFormat format = ToneFileFormat::Flac)
{
    return writeToneFile(request(target, format, 15 * 44100), cancel);
}

ToneFileResult save(const fs::path& target, ToneFileFormat format = ToneFileFormat::Flac,
                    std::optional<NoiseColour> noise = std::nullopt)
{
    Cancellation cancel;
    ToneFileRequest asked = request(target, format, 15 * 44100);
    asked.noise = noise;
    return writeToneFile(asked, cancel);
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
    using Case = std::pair<ToneFileFormat, std::optional<NoiseColour>>;
    for (const auto& [format, noise] : {Case{ToneFileFormat::Flac, {}}, Case{ToneFileFormat::Wav, {}},
                                        Case{ToneFileFormat::Flac, NoiseColour::Brown},
                                        Case{ToneFileFormat::Wav, NoiseColour::Brown}}) {
        SCOPED_TRACE(std::string(format == ToneFileFormat::Flac ? "FLAC" : "WAV") + (noise ? " with noise" : ""));
        // Room for the old file and a fraction of the new one.
        SmallDisk disk("size=256k");
        if (!disk.mounted())
            GTEST_SKIP() << "cannot mount a file system here: " << disk.error();
        writeFile(disk.path() / "tone", kOld);
        const ToneFileResult result = save(disk.path() / "tone", format, noise);
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
    Cancellation cancel;
    int seconds = 0;
    const ToneFileResult result =
        writeToneFile(request(target, ToneFileFormat::Flac, 60 * 44100), cancel, [&](std::uint64_t, std::uint64_t) {
            // Meanwhile the new bytes go to a file without a name.
            EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"tone"});
            if (++seconds == 3) {
                EXPECT_TRUE(cancel.cancel());
            }
        });
    EXPECT_EQ(result.status, ToneFileStatus::Cancelled);
    EXPECT_EQ(seconds, 3);
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"tone"});
    EXPECT_EQ(contentsOf(target), kOld);
}

// The new file written without a name (where the file system has such
// files) or under a short one of its own (where it has not).
enum class Temporary { Anonymous, Named };

std::string nameOf(Temporary kind)
{
    return kind == Temporary::Anonymous ? "Anonymous" : "Named";
}

// A process id that was in use and is no longer: a child already reaped.
pid_t goneProcess()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

struct CancelCase {
    const char* name;
    Temporary kind;
    testing::SlowDisk::Hold held;  // where the cancel comes
    bool cancelHolds;
};

class ToneFileCancelledWhileFlushed : public ::testing::TestWithParam<CancelCase> {};

TEST_P(ToneFileCancelledWhileFlushed, HoldsUpToTheRenameAndNotAfter)
{
    const CancelCase& c = GetParam();
    std::optional<testing::NoAnonymousFiles> named;
    if (c.kind == Temporary::Named)
        named.emplace();
    ScratchFolder folder;
    const fs::path target = folder.path() / "tone";
    writeFile(target, kOld);
    std::atomic<bool> toldFinishing{false};
    Cancellation cancel([&] { toldFinishing = true; });
    std::future<ToneFileResult> saving;
    {
        testing::SlowDisk disk(c.held);
        saving = std::async(std::launch::async, [&] { return save(target, cancel); });
        ASSERT_TRUE(disk.waitUntilHeld()) << "no flush came";
        EXPECT_EQ(cancel.cancel(), c.cancelHolds);
        EXPECT_EQ(toldFinishing.load(), !c.cancelHolds);
        // A cancel that holds ends the save while the disk is still busy.
        if (c.cancelHolds) {
            ASSERT_EQ(saving.wait_for(std::chrono::seconds(60)), std::future_status::ready);
            EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"tone"});
        }
    }
    const ToneFileResult result = saving.get();
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"tone"});
    if (c.cancelHolds) {
        EXPECT_EQ(result.status, ToneFileStatus::Cancelled) << result.detail;
        EXPECT_EQ(contentsOf(target), kOld);
    } else {
        EXPECT_EQ(result.status, ToneFileStatus::Saved) << result.detail;
        EXPECT_EQ(readBack(target).info.frames, 15 * 44100);
    }
}

INSTANTIATE_TEST_SUITE_P(
    BothTemporaries, ToneFileCancelledWhileFlushed,
    ::testing::Values(CancelCase{"AnonymousFileFlush", Temporary::Anonymous, testing::SlowDisk::Hold::FileFlush, true},
                      CancelCase{"NamedFileFlush", Temporary::Named, testing::SlowDisk::Hold::FileFlush, true},
                      CancelCase{"AnonymousAfterRename", Temporary::Anonymous, testing::SlowDisk::Hold::FolderFlush,
                                 false},
                      CancelCase{"NamedAfterRename", Temporary::Named, testing::SlowDisk::Hold::FolderFlush, false}),
    [](const auto& test) { return std::string(test.param.name); });

class ToneFileTemporaries : public ::testing::TestWithParam<Temporary> {
protected:
    void SetUp() override
    {
        if (GetParam() == Temporary::Named)
            m_named.emplace();
    }
    std::optional<testing::NoAnonymousFiles> m_named;
};

TEST_P(ToneFileTemporaries, AKilledSaveLeavesNothingOnceTheNextSaveHasRun)
{
    ScratchFolder folder;
    const fs::path target = folder.path() / "tone";
    writeFile(target, kOld);
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    pid_t child = -1;
    {
        testing::SlowDisk disk(testing::SlowDisk::Hold::FileFlush);
        disk.tellHeldOn(pipe[1]);
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Held in the flush, the whole file written, until killed.
            Cancellation never;
            save(target, never);
            ::_exit(1);
        }
    }
    ::close(pipe[1]);
    char told = 0;
    ASSERT_EQ(::read(pipe[0], &told, 1), 1) << "the save ended before its flush";
    ::close(pipe[0]);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(contentsOf(target), kOld);
    EXPECT_EQ(namesIn(folder.path()).size(), GetParam() == Temporary::Anonymous ? 1u : 2u);

    Cancellation cancel;
    const ToneFileResult result = save(target, cancel);
    EXPECT_EQ(result.status, ToneFileStatus::Saved) << result.detail;
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"tone"});
}

TEST_P(ToneFileTemporaries, ANameAsLongAsTheFolderAllows)
{
    ScratchFolder folder;
    const long longest = ::pathconf(folder.path().c_str(), _PC_NAME_MAX);
    ASSERT_GT(longest, 10);
    // Two-byte letters to the last byte the folder takes.
    std::string name;
    while (name.size() + 2 + 5 <= static_cast<std::size_t>(longest))
        name += "\xc3\xa9";
    name += std::string(static_cast<std::size_t>(longest) - name.size() - 5, 'x') + ".flac";
    Cancellation cancel;
    const ToneFileResult result = save(folder.path() / name, cancel);
    EXPECT_EQ(result.status, ToneFileStatus::Saved) << result.detail;
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{name});
}

INSTANTIATE_TEST_SUITE_P(BothTemporaries, ToneFileTemporaries,
                         ::testing::Values(Temporary::Anonymous, Temporary::Named),
                         [](const auto& test) { return nameOf(test.param); });

TEST(ToneFileTemporaries, OnlyOursWhoseProcessIsGoneAreRemoved)
{
    ScratchFolder folder;
    const std::string gone = std::to_string(goneProcess());
    const std::string alive = std::to_string(::getppid());
    const std::vector<std::string> kept = {
        ".quavira-" + alive + "-0.part",  // another copy, still saving
        ".quavira-" + gone + "-0.partial",
        ".quavira-" + gone + "-.part",
        ".quavira-x-1.part",
        "quavira-" + gone + "-0.part",
        "tone",
    };
    for (const std::string& name : kept)
        writeFile(folder.path() / name, "kept");
    writeFile(folder.path() / (".quavira-" + gone + "-7.part"), "left by a killed save");
    fs::create_directory(folder.path() / (".quavira-" + gone + "-8.part"));

    Cancellation cancel;
    EXPECT_EQ(save(folder.path() / "tone", cancel).status, ToneFileStatus::Saved);
    std::vector<std::string> expected = kept;
    expected.push_back(".quavira-" + gone + "-8.part");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(folder.path()), expected);
}

// How the chosen name reaches the file that is replaced.
struct ReachCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // name, where it points
    const char* chosen;
    const char* replaced;
    bool replacedExists;
};

class ToneFileReplaces : public ::testing::TestWithParam<ReachCase> {};

TEST_P(ToneFileReplaces, TheFileTheNameLeadsToKeepingItsModeAndGroup)
{
    const ReachCase& c = GetParam();
    ScratchFolder folder;
    fs::create_directories(folder.path() / "music" / "real");
    const fs::path replaced = folder.path() / c.replaced;
    // Root may give the old file another group, which the new one keeps.
    const gid_t group = ::geteuid() == 0 ? 4242 : ::getegid();
    if (c.replacedExists) {
        writeFile(replaced, kOld);
        ASSERT_EQ(::chown(replaced.c_str(), static_cast<uid_t>(-1), group), 0);
        ASSERT_EQ(::chmod(replaced.c_str(), 0640), 0);
    }
    for (const auto& [link, to] : c.links) {
        const std::string where = to.front() == '/' ? (folder.path() / to.substr(1)).string() : to;
        fs::create_symlink(where, folder.path() / link);
    }
    const std::vector<std::string> namesBefore = namesIn(folder.path() / "music");

    Cancellation cancel;
    const ToneFileResult result = save(folder.path() / c.chosen, cancel);
    ASSERT_EQ(result.status, ToneFileStatus::Saved) << result.detail;
    EXPECT_EQ(readBack(replaced).info.frames, 15 * 44100);
    EXPECT_EQ(namesIn(folder.path() / "music"), namesBefore);
    for (const auto& [link, to] : c.links)
        EXPECT_TRUE(fs::is_symlink(folder.path() / link)) << link;
    EXPECT_EQ(namesIn(replaced.parent_path()), std::vector<std::string>{replaced.filename().string()});
    struct stat status {};
    ASSERT_EQ(::stat(replaced.c_str(), &status), 0);
    if (c.replacedExists) {
        EXPECT_EQ(status.st_mode & 07777, 0640u);
        EXPECT_EQ(status.st_gid, group);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, ToneFileReplaces,
    ::testing::Values(
        ReachCase{"PlainFile", {}, "music/real/tone.flac", "music/real/tone.flac", true},
        ReachCase{"RelativeLink", {{"music/tone.flac", "real/tone.flac"}}, "music/tone.flac", "music/real/tone.flac",
                  true},
        ReachCase{"ChainOfLinks",
                  {{"music/tone.flac", "/music/step.flac"}, {"music/step.flac", "real/tone.flac"}},
                  "music/tone.flac",
                  "music/real/tone.flac",
                  true},
        ReachCase{"LinkToNoFileYet", {{"music/tone.flac", "real/new.flac"}}, "music/tone.flac", "music/real/new.flac",
                  false}),
    [](const auto& test) { return std::string(test.param.name); });

// Runs `save` as a user without root's powers, in a child when the test is
// root, and returns its status.
ToneFileStatus statusAsUser(const std::function<ToneFileStatus()>& save)
{
    if (::geteuid() != 0)
        return save();
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(dropped ? static_cast<int>(save()) : 100);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 100) << "could not leave root";
    return static_cast<ToneFileStatus>(WEXITSTATUS(status));
}

TEST(ToneFileNotSaved, ANameThatMayNotBeReplacedIsLeftAsItWas)
{
    ScratchFolder folder;
    ASSERT_EQ(::chmod(folder.path().c_str(), 0777), 0);
    fs::create_directory(folder.path() / "folder.flac");
    writeFile(folder.path() / "folder.flac" / "inside", kOld);
    ASSERT_EQ(::mkfifo((folder.path() / "pipe.flac").c_str(), 0666), 0);
    writeFile(folder.path() / "kept.flac", kOld);
    ASSERT_EQ(::chmod((folder.path() / "kept.flac").c_str(), 0444), 0);
    const std::vector<std::string> before = namesIn(folder.path());

    for (const auto& [name, expected] : {std::pair{"folder.flac", ToneFileStatus::NotRegularFile},
                                         std::pair{"pipe.flac", ToneFileStatus::NotRegularFile},
                                         std::pair{"kept.flac", ToneFileStatus::FileNotWritable}}) {
        SCOPED_TRACE(name);
        const fs::path target = folder.path() / name;
        EXPECT_EQ(statusAsUser([&] {
                      Cancellation cancel;
                      return save(target, cancel).status;
                  }),
                  expected);
    }
    EXPECT_EQ(namesIn(folder.path()), before);
    EXPECT_TRUE(fs::is_fifo(folder.path() / "pipe.flac"));
    EXPECT_EQ(contentsOf(folder.path() / "kept.flac"), kOld);
    EXPECT_EQ(contentsOf(folder.path() / "folder.flac" / "inside"), kOld);
}

}  // namespace
}  // namespace quavira
