// SPDX-License-Identifier: GPL-3.0-or-later
// The platform's waveform-audio output, as a small interface of our own.
//
// Architecture: the engine plays one 88,200-byte loop buffer (one second of
// 8-bit stereo at 44,100 Hz) in an endless hardware-style loop. The user
// interface rewrites the buffer's bytes in place while the device reads them,
// so every byte is a std::atomic<std::uint8_t> accessed with relaxed order on
// both sides. `WaveOut` mirrors the five calls the loop buffer needs (open,
// prepare header, write, reset, close) with their result codes, plus one of
// our own that says the playing buffer was rewritten. The shipped program
// implements it on the desktop's sound server (libpulse), falling back to
// PortAudio where none runs; tests use a fake back end.
#pragma once

#include "noise_colour.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace quavira {

using Sample = std::atomic<std::uint8_t>;
static_assert(sizeof(Sample) == 1 && Sample::is_always_lock_free);

// Copies the bytes of `from` into `to` (as many as `from` holds), reading
// them as the device does while the program may be rewriting them.
inline void loadBytes(std::span<const Sample> from, std::uint8_t* to)
{
    for (const Sample& sample : from)
        *to++ = sample.load(std::memory_order_relaxed);
}

// Result codes of the device calls: 0 is success.
using MmResult = std::uint32_t;
inline constexpr MmResult kMmSysNoError = 0;
inline constexpr MmResult kMmSysError = 1;
inline constexpr MmResult kMmSysBadDeviceId = 2;
inline constexpr MmResult kMmSysInvalidHandle = 5;
inline constexpr MmResult kMmSysNoMemory = 7;
inline constexpr MmResult kMmSysInvalidFlag = 10;
inline constexpr MmResult kMmSysInvalidParam = 11;
inline constexpr MmResult kWaveBadFormat = 32;
inline constexpr MmResult kWaveUnprepared = 34;

inline constexpr std::uint32_t kWaveMapper = 0xFFFFFFFF;  // the default output device
inline constexpr std::uint16_t kWaveFormatPcm = 1;

// Header flags.
inline constexpr std::uint32_t kWhdrDone = 1;
inline constexpr std::uint32_t kWhdrPrepared = 2;
inline constexpr std::uint32_t kWhdrBeginLoop = 4;
inline constexpr std::uint32_t kWhdrEndLoop = 8;

// The size callers pass with a header: the classic 32-bit layout's size. The
// layer checks it so that a caller passing the wrong record is refused.
inline constexpr std::uint32_t kWaveHdrSize = 32;

struct WaveFormatEx {
    std::uint16_t formatTag = 0;
    std::uint16_t channels = 0;
    std::uint32_t samplesPerSec = 0;
    std::uint32_t avgBytesPerSec = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint16_t extraSize = 0;  // unused for PCM
};

struct WaveHdr {
    Sample* data = nullptr;
    std::uint32_t bufferLength = 0;  // bytes
    std::uint32_t bytesRecorded = 0;
    std::uintptr_t user = 0;
    std::uint32_t flags = 0;
    std::uint32_t loops = 0;  // passes over the buffer when looping
    WaveHdr* next = nullptr;
    std::uintptr_t reserved = 0;
};

// Opaque device handle; 0 is never a valid one.
using WaveOutHandle = std::uintptr_t;
inline constexpr WaveOutHandle kNoWaveOut = 0;

// One output device at a time. Called only from the user-interface thread;
// the device reads a written header's buffer on its own thread until reset.
class WaveOut {
public:
    virtual ~WaveOut() = default;

    // Opens `deviceId` (kWaveMapper for the default) for `format`, with no
    // callback. On failure *handle is left kNoWaveOut.
    virtual MmResult open(WaveOutHandle* handle, std::uint32_t deviceId, const WaveFormatEx& format) = 0;
    virtual MmResult prepareHeader(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize) = 0;
    // Queues the header and starts playing it from its first byte. With both
    // loop flags set the buffer repeats `loops` times without a gap.
    virtual MmResult write(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize) = 0;
    // Stops at once and rewinds; when it returns, the device no longer reads
    // any written buffer.
    virtual MmResult reset(WaveOutHandle handle) = 0;
    virtual MmResult close(WaveOutHandle handle) = 0;
    // The program has just rewritten bytes of the written buffer. A back end
    // that plays from its own copy, or has queued bytes ahead of the
    // device, takes the new bytes from here on. Never blocks for long.
    virtual void loopChanged(WaveOutHandle handle) = 0;
    // The user is about to act on the sound (the pointer moves over a
    // window, a key is pressed, a window is activated): a back end that can
    // trade its latency for less work turns quick, so that the changes that
    // follow are heard at once, and may turn deep again once the user has
    // left it alone for a while. Cheap enough for every pointer move; a
    // back end with one fixed latency ignores it.
    virtual void expectChanges(WaveOutHandle) {}
    // The output moves along the fade curve (fade_curve.h) from the level
    // it plays at to `depth` (0 full, 1 silence) over `frames` frames from
    // about now, and stays there; the next write plays at full level again.
    // The loop's bytes are never touched. A back end that has no level of
    // its own ignores it.
    virtual void fadeLevel(WaveOutHandle, double /*depth*/, std::uint64_t /*frames*/) {}
    // The noise played under the loop from now on: `colour` at `levelDb`
    // dBFS RMS, or none (nullopt). Heard at once while the loop plays, moving
    // from the old noise without a click; it starts, stops and fades with
    // the loop, and is kept across writes and resets until set again. A
    // back end that cannot mix ignores it.
    virtual void setNoise(WaveOutHandle, std::optional<NoiseColour> /*colour*/, double /*levelDb*/) {}

    // The output's own volume where the sound server keeps one per stream
    // (the per-application volume a desktop's mixer shows), on the server's
    // scale: 1.0 is its normal level, 100 %. A back end without one says
    // 1.0 and accepts and ignores a new level.
    virtual double volume(WaveOutHandle) { return 1.0; }
    // Negative levels give 0; the back end caps large ones.
    virtual void setVolume(WaveOutHandle, double) {}
    // `listener` runs on the back end's own thread whenever the volume
    // changes other than by setVolume (a mixer, or the server settling on
    // another level than the one set); it must return quickly and must not
    // call the device. An empty one stops the calls: once this returns, the
    // old listener is not running and will not run again.
    virtual void setVolumeListener(std::function<void()>) {}
};

}  // namespace quavira
