// Wave-out on PortAudio's default output device.
#include "portaudio_wave_out.h"

#include <portaudio.h>
#ifdef QUAVIRA_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace quavira {

namespace {

constexpr double kSuggestedLatencySeconds = 0.012;  // below 10 ms PulseAudio underflows
constexpr std::uint8_t kSilence = 128;

#ifdef QUAVIRA_HAVE_ALSA
void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}
#endif

// Host APIs print their probing (ALSA card lists, JACK's "cannot connect")
// straight to stderr; a desktop program must not. Mutes fd 2 for one call.
template <typename Call>
auto withStderrMuted(Call call)
{
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && devNull >= 0)
        ::dup2(devNull, STDERR_FILENO);
    auto result = call();
    std::fflush(stderr);
    if (saved >= 0) {
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
    }
    if (devNull >= 0)
        ::close(devNull);
    return result;
}

bool isOurFormat(const WaveFormatEx& f)
{
    return f.formatTag == kWaveFormatPcm && f.channels == 2 && f.samplesPerSec == 44100 && f.bitsPerSample == 8 &&
           f.blockAlign == 2 && f.avgBytesPerSec == 88200;
}

}  // namespace

PortAudioWaveOut::~PortAudioWaveOut()
{
    // What the system does when the process ends: the device is released,
    // stopping any tone, whatever the program did or did not call.
    if (m_stream) {
        abortStream();
        Pa_CloseStream(m_stream);
    }
    if (m_initialised)
        Pa_Terminate();
}

MmResult PortAudioWaveOut::open(WaveOutHandle* handle, std::uint32_t deviceId, const WaveFormatEx& format)
{
    if (!handle)
        return kMmSysInvalidParam;
    *handle = kNoWaveOut;
    if (m_stream)
        return kMmSysError;  // one device at a time
    if (deviceId != kWaveMapper)
        return kMmSysBadDeviceId;
    if (!isOurFormat(format))
        return kWaveBadFormat;

    if (!m_initialised) {
#ifdef QUAVIRA_HAVE_ALSA
        snd_lib_error_set_handler(ignoreAlsaError);
#endif
        if (withStderrMuted([] { return Pa_Initialize(); }) != paNoError)
            return kMmSysError;
        m_initialised = true;
    }

    const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
    if (device == paNoDevice)
        return kMmSysBadDeviceId;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    PaStreamParameters params{};
    params.device = device;
    params.channelCount = 2;
    params.sampleFormat = paUInt8;
    params.suggestedLatency = std::max(kSuggestedLatencySeconds, info ? info->defaultLowOutputLatency : 0.0);
    if (Pa_IsFormatSupported(nullptr, &params, 44100.0) != paFormatIsSupported)
        return kWaveBadFormat;

    PaStream* stream = nullptr;
    const PaError err = withStderrMuted([&] {
        return Pa_OpenStream(&stream, nullptr, &params, 44100.0, paFramesPerBufferUnspecified, paClipOff,
                             &PortAudioWaveOut::streamCallback, this);
    });
    if (err != paNoError)
        return kMmSysBadDeviceId;

    m_stream = stream;
    m_underruns.store(0, std::memory_order_relaxed);
    m_handle = ++m_lastHandle;
    *handle = m_handle;
    return kMmSysNoError;
}

MmResult PortAudioWaveOut::prepareHeader(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize)
{
    if (!isOpen(handle))
        return kMmSysInvalidHandle;
    if (!header || headerSize != kWaveHdrSize || !header->data || header->bufferLength == 0 ||
        header->bufferLength % 2 != 0)
        return kMmSysInvalidParam;
    header->flags |= kWhdrPrepared;
    return kMmSysNoError;
}

MmResult PortAudioWaveOut::write(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize)
{
    if (!isOpen(handle))
        return kMmSysInvalidHandle;
    if (!header || headerSize != kWaveHdrSize || !header->data || header->bufferLength == 0)
        return kMmSysInvalidParam;
    if (!(header->flags & kWhdrPrepared))
        return kWaveUnprepared;

    abortStream();
    if (m_lost)
        return kMmSysError;
    const bool looping = (header->flags & kWhdrBeginLoop) && (header->flags & kWhdrEndLoop);
    m_data = header->data;
    m_length = header->bufferLength;
    m_position = 0;
    m_passesLeft.store(looping ? std::max<std::uint64_t>(header->loops, 1) : 1, std::memory_order_relaxed);
    if (withStderrMuted([&] { return Pa_StartStream(m_stream); }) != paNoError)
        return kMmSysError;
    return kMmSysNoError;
}

MmResult PortAudioWaveOut::reset(WaveOutHandle handle)
{
    if (!isOpen(handle))
        return kMmSysInvalidHandle;
    abortStream();
    m_position = 0;
    return m_lost ? kMmSysError : kMmSysNoError;
}

MmResult PortAudioWaveOut::close(WaveOutHandle handle)
{
    if (!isOpen(handle))
        return kMmSysInvalidHandle;
    abortStream();
    Pa_CloseStream(m_stream);
    m_stream = nullptr;
    m_handle = kNoWaveOut;
    m_data = nullptr;
    m_lost = false;
    return kMmSysNoError;
}

double PortAudioWaveOut::outputLatencySeconds() const
{
    const PaStreamInfo* info = m_stream ? Pa_GetStreamInfo(m_stream) : nullptr;
    return info ? info->outputLatency : 0.0;
}

void PortAudioWaveOut::abortStream()
{
    if (!m_stream || Pa_IsStreamStopped(m_stream) != 0)
        return;
    // The callback always continues, so a started stream that is no longer
    // active was ended by the host: the device or the audio server is gone
    // (a killed PulseAudio server ends the ALSA stream's thread this way).
    if (Pa_IsStreamActive(m_stream) == 0)
        m_lost = true;
    // Returns only once the callback has finished for good.
    Pa_AbortStream(m_stream);
}

int PortAudioWaveOut::streamCallback(const void*, void* output, unsigned long frames,
                                     const PaStreamCallbackTimeInfo*,
                                     unsigned long statusFlags, void* self)
{
    auto* me = static_cast<PortAudioWaveOut*>(self);
    if (statusFlags & paOutputUnderflow)
        me->m_underruns.fetch_add(1, std::memory_order_relaxed);
    me->render(static_cast<std::uint8_t*>(output), frames * 2);
    return paContinue;
}

void PortAudioWaveOut::render(std::uint8_t* out, std::size_t bytes)
{
    std::uint64_t passes = m_passesLeft.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < bytes; ++i) {
        if (passes == 0) {
            out[i] = kSilence;
            continue;
        }
        out[i] = m_data[m_position].load(std::memory_order_relaxed);
        if (++m_position == m_length) {
            m_position = 0;
            --passes;
        }
    }
    m_passesLeft.store(passes, std::memory_order_relaxed);
}

}  // namespace quavira
