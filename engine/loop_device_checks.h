// SPDX-License-Identifier: GPL-3.0-or-later
// The checks every back end makes of the calls it is given.
#pragma once

#include "loop_format.h"
#include "wave_out.h"

namespace quavira {

// One device open at a time, on the default output, in the loop's one
// format; calls only with the handle it gave out; headers of one loop
// buffer, prepared before they are written. A back end asks these first
// and does its own work only when they pass. UI thread only.
class LoopDeviceChecks {
public:
    // kMmSysInvalidParam without a place for the handle (otherwise it is
    // set to kNoWaveOut), kMmSysError while a device is open,
    // kMmSysBadDeviceId for a device other than the default, kWaveBadFormat
    // for any format but 8-bit stereo PCM at 44,100 Hz.
    MmResult open(WaveOutHandle* handle, std::uint32_t deviceId, const WaveFormatEx& format) const
    {
        if (!handle)
            return kMmSysInvalidParam;
        *handle = kNoWaveOut;
        if (m_handle != kNoWaveOut)
            return kMmSysError;
        if (deviceId != kWaveMapper)
            return kMmSysBadDeviceId;
        const bool ours = format.formatTag == kWaveFormatPcm && format.channels == 2 &&
                          format.samplesPerSec == kFramesPerSecond && format.bitsPerSample == 8 &&
                          format.blockAlign == 2 && format.avgBytesPerSec == kFramesPerSecond * 2;
        return ours ? kMmSysNoError : kWaveBadFormat;
    }
    // The device is open: a handle of its own, given out through `handle`.
    void opened(WaveOutHandle* handle)
    {
        m_handle = ++m_lastHandle;
        *handle = m_handle;
    }
    void closed() { m_handle = kNoWaveOut; }

    bool anyOpen() const { return m_handle != kNoWaveOut; }
    bool isOpen(WaveOutHandle handle) const { return handle != kNoWaveOut && handle == m_handle; }
    MmResult call(WaveOutHandle handle) const { return isOpen(handle) ? kMmSysNoError : kMmSysInvalidHandle; }
    // call(), then kMmSysInvalidParam unless `header` is one of the loop's
    // bytes passed with the right size, then kWaveUnprepared when
    // `prepared` is asked for and not set.
    MmResult header(WaveOutHandle handle, const WaveHdr* header, std::uint32_t headerSize, bool prepared) const
    {
        if (!isOpen(handle))
            return kMmSysInvalidHandle;
        if (!header || headerSize != kWaveHdrSize || !header->data || header->bufferLength != kLoopBytes)
            return kMmSysInvalidParam;
        if (prepared && !(header->flags & kWhdrPrepared))
            return kWaveUnprepared;
        return kMmSysNoError;
    }
    // What every back end's prepareHeader is: the checks, then the flag.
    MmResult prepare(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize) const
    {
        if (const MmResult refused = this->header(handle, header, headerSize, false))
            return refused;
        header->flags |= kWhdrPrepared;
        return kMmSysNoError;
    }

private:
    WaveOutHandle m_handle = kNoWaveOut;
    WaveOutHandle m_lastHandle = kNoWaveOut;
};

}  // namespace quavira
