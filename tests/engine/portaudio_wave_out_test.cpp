// SPDX-License-Identifier: GPL-3.0-or-later
// The PortAudio wave-out layer's argument and handle checks (no sound needed).
#include "portaudio_wave_out.h"

#include <gtest/gtest.h>

namespace quavira {
namespace {

const WaveFormatEx kPcm{kWaveFormatPcm, 2, 44100, 88200, 2, 8, 0};

TEST(PortAudioWaveOut, RefusesFormatsOtherThanEightBitStereoAt44100)
{
    PortAudioWaveOut device;
    for (WaveFormatEx bad : {WaveFormatEx{3, 2, 44100, 88200, 2, 8, 0}, WaveFormatEx{1, 1, 44100, 44100, 1, 8, 0},
                             WaveFormatEx{1, 2, 48000, 96000, 2, 8, 0}, WaveFormatEx{1, 2, 44100, 176400, 4, 16, 0}}) {
        WaveOutHandle handle = 99;
        EXPECT_EQ(device.open(&handle, kWaveMapper, bad), kWaveBadFormat);
        EXPECT_EQ(handle, kNoWaveOut);
    }
}

TEST(PortAudioWaveOut, RefusesDevicesOtherThanTheDefault)
{
    PortAudioWaveOut device;
    WaveOutHandle handle = 99;
    EXPECT_EQ(device.open(&handle, 3, kPcm), kMmSysBadDeviceId);
    EXPECT_EQ(handle, kNoWaveOut);
}

TEST(PortAudioWaveOut, CallsOnAHandleThatWasNeverOpenedFail)
{
    PortAudioWaveOut device;
    Sample bytes[4] = {};
    WaveHdr header{bytes, 4, 0, 0, 0, 0, nullptr, 0};
    EXPECT_EQ(device.prepareHeader(kNoWaveOut, &header, kWaveHdrSize), kMmSysInvalidHandle);
    EXPECT_EQ(device.write(kNoWaveOut, &header, kWaveHdrSize), kMmSysInvalidHandle);
    EXPECT_EQ(device.reset(kNoWaveOut), kMmSysInvalidHandle);
    EXPECT_EQ(device.close(7), kMmSysInvalidHandle);
    EXPECT_EQ(device.outputLatencySeconds(), 0.0);
}

}  // namespace
}  // namespace quavira
