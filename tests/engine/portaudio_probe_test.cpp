// SPDX-License-Identifier: GPL-3.0-or-later
// The PortAudio fallback looking for devices, with no sound server: what it
// says on stderr (nothing), and what it leaves of stderr to the other threads.
#include "portaudio_wave_out.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace quavira {
namespace {

const WaveFormatEx kPcm{kWaveFormatPcm, 2, 44100, 88200, 2, 8, 0};

// The host libraries (ALSA, JACK) are kept quiet through their own hooks,
// not by taking the process's stderr away: what other threads write
// meanwhile gets through, and the probing itself adds nothing.
TEST(PortAudioWaveOut, OpeningPrintsNothingAndLeavesStderrToTheOtherThreads)
{
    char path[] = "/tmp/quavira-stderr-XXXXXX";
    const int file = ::mkstemp(path);
    ASSERT_GE(file, 0);
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(file, STDERR_FILENO);
    std::atomic<bool> writing{true};
    std::size_t written = 0;
    std::thread other([&] {
        while (writing.load()) {
            if (::write(STDERR_FILENO, "x", 1) == 1)
                ++written;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    {
        PortAudioWaveOut device;
        WaveOutHandle handle = kNoWaveOut;
        device.open(&handle, kWaveMapper, kPcm);
    }
    writing = false;
    other.join();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    std::string seen(4096, '\0');
    seen.resize(static_cast<std::size_t>(std::max<ssize_t>(::pread(file, seen.data(), seen.size(), 0), 0)));
    ::close(file);
    ::unlink(path);
    EXPECT_GT(written, 0u);
    EXPECT_EQ(seen, std::string(written, 'x'));
}

}  // namespace
}  // namespace quavira
