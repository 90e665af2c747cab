// SPDX-License-Identifier: GPL-3.0-or-later
// Wave-out on PortAudio's default output device.
#include "portaudio_wave_out.h"

#include <portaudio.h>
#ifdef QUAVIRA_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#include <dlfcn.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <random>
#include <thread>

namespace quavira {

namespace {

constexpr double kSuggestedLatencySeconds = 0.012;  // below 10 ms PulseAudio underflows
// How long a stop lets a playing stream fade out before it stops it anyway:
// the callback's buffer and the device's, with room to spare.
constexpr auto kFadeOutLimit = std::chrono::milliseconds(500);

#ifdef QUAVIRA_HAVE_ALSA
void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}
#endif
void ignoreJackMessage(const char*) {}

std::uint64_t freshSeed()
{
    std::random_device device;
    return (std::uint64_t{device()} << 32) | device();
}

// Host APIs print their probing (ALSA card lists, JACK's "cannot connect")
// straight to stderr; a desktop program must not. Each library is told to
// keep quiet through its own message hook, so the process's stderr stays
// what it is for every other thread. JACK is not ours to link: its hooks are
// looked up in PortAudio's copy, when there is one.
void quietenHostLibraries()
{
#ifdef QUAVIRA_HAVE_ALSA
    snd_lib_error_set_handler(ignoreAlsaError);
#endif
    using JackMessageHook = void (*)(void (*)(const char*));
    for (const char* name : {"jack_set_error_function", "jack_set_info_function"})
        if (auto* hook = reinterpret_cast<JackMessageHook>(::dlsym(RTLD_DEFAULT, name)))
            hook(ignoreJackMessage);
}

}  // namespace

PortAudioWaveOut::~PortAudioWaveOut()
{
    // What the system does when the process ends, with manners: a tone
    // fades out and is heard to its end before the device is released,
    // whatever the program did or did not call.
    if (m_stream) {
        fadeOutAndStop();
        Pa_CloseStream(m_stream);
    }
    if (m_initialised)
        Pa_Terminate();
}

MmResult PortAudioWaveOut::open(WaveOutHandle* handle, std::uint32_t deviceId, const WaveFormatEx& format)
{
    if (const MmResult refused = m_checks.open(handle, deviceId, format))
        return refused;
    const MmResult opened = openStream();
    if (opened != kMmSysNoError)
        return opened;
    m_underruns.store(0, std::memory_order_relaxed);
    m_checks.opened(handle);
    return kMmSysNoError;
}

MmResult PortAudioWaveOut::openStream()
{
    if (!m_initialised) {
        quietenHostLibraries();
        if (Pa_Initialize() != paNoError)
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
    params.sampleFormat = paInt16;
    params.suggestedLatency = std::max(kSuggestedLatencySeconds, info ? info->defaultLowOutputLatency : 0.0);
    if (Pa_IsFormatSupported(nullptr, &params, 44100.0) != paFormatIsSupported)
        return kWaveBadFormat;

    PaStream* stream = nullptr;
    const PaError err = Pa_OpenStream(&stream, nullptr, &params, 44100.0, paFramesPerBufferUnspecified, paClipOff,
                                      &PortAudioWaveOut::streamCallback, this);
    if (err != paNoError)
        return kMmSysBadDeviceId;
    m_stream = stream;
    m_lost = false;
    return kMmSysNoError;
}

bool PortAudioWaveOut::reopenStream()
{
    if (m_stream)
        Pa_CloseStream(m_stream);
    m_stream = nullptr;
    // A device that went and came back (a USB DAC plugged in again, a
    // sound server restarted) may be a new device to PortAudio, which lists
    // them once, when it starts: it starts again.
    if (m_initialised) {
        Pa_Terminate();
        m_initialised = false;
    }
    return openStream() == kMmSysNoError;
}

MmResult PortAudioWaveOut::prepareHeader(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize)
{
    return m_checks.prepare(handle, header, headerSize);
}

MmResult PortAudioWaveOut::write(WaveOutHandle handle, WaveHdr* header, std::uint32_t headerSize)
{
    if (const MmResult refused = m_checks.header(handle, header, headerSize, true))
        return refused;

    abortStream();
    // A stream the host ended is not started again (that can hang in the
    // host API): a fresh one is opened, on the device that is there now.
    if ((m_lost || !m_stream) && !reopenStream())
        return kMmSysError;
    // The stream is stopped: nothing else touches the stage now.
    m_data = header->data;
    m_stage.restartAt(0);
    m_noise = NoiseSource(freshSeed());
    m_noiseTaken = m_noiseAsked.load(std::memory_order_acquire);
    takeNoise(m_noiseSetting.load(std::memory_order_relaxed), 0);
    // A silent lead-in as long as the stream's buffer: a sound server that
    // rewinds its sink to mix a starting stream in at once loses what the
    // sink had rendered, and then it is only silence, not the fade-in.
    const auto leadIn = static_cast<std::uint64_t>(std::min(outputLatencySeconds(), 0.03) * kFramesPerSecond) +
                        LoopRenderer::kFadeFrames;
    m_stage.start(leadIn, m_snapshots.reset({m_data, kLoopBytes}));
    m_level.reset();
    m_levelTaken = m_levelAsked.load(std::memory_order_acquire);
    m_played = 0;
    m_fadingOut = false;
    m_stopRequested.store(false, std::memory_order_relaxed);
    m_fadedOut.store(false, std::memory_order_relaxed);
    m_silentAtStreamTime.store(0.0, std::memory_order_relaxed);
    if (Pa_StartStream(m_stream) != paNoError)
        return kMmSysError;
    return kMmSysNoError;
}

MmResult PortAudioWaveOut::reset(WaveOutHandle handle)
{
    if (const MmResult refused = m_checks.call(handle))
        return refused;
    // A stream the host ended plays nothing: there is nothing to refuse.
    fadeOutAndStop();
    return kMmSysNoError;
}

void PortAudioWaveOut::loopChanged(WaveOutHandle handle)
{
    if (m_checks.isOpen(handle) && m_data)
        m_snapshots.publish({m_data, kLoopBytes});
}

void PortAudioWaveOut::fadeLevel(WaveOutHandle handle, double depth, std::uint64_t frames)
{
    if (!m_checks.isOpen(handle))
        return;
    m_levelDepth.store(depth, std::memory_order_relaxed);
    m_levelFrames.store(frames, std::memory_order_relaxed);
    m_levelAsked.fetch_add(1, std::memory_order_release);
}

void PortAudioWaveOut::setNoise(WaveOutHandle handle, std::optional<NoiseColour> colour, double levelDb)
{
    if (!m_checks.isOpen(handle))
        return;
    m_noiseSetting.store(packNoise(colour, levelDb), std::memory_order_relaxed);
    m_noiseAsked.fetch_add(1, std::memory_order_release);
}

std::uint64_t PortAudioWaveOut::packNoise(std::optional<NoiseColour> colour, double levelDb)
{
    // The colour's number plus one above (0: none), the level below.
    const std::uint64_t colourBits = colour ? static_cast<std::uint64_t>(*colour) + 1 : 0;
    return (colourBits << 32) | std::bit_cast<std::uint32_t>(static_cast<float>(levelDb));
}

void PortAudioWaveOut::takeNoise(std::uint64_t packed, std::uint64_t frame)
{
    const auto colourBits = static_cast<std::uint32_t>(packed >> 32);
    const double levelDb = std::bit_cast<float>(static_cast<std::uint32_t>(packed));
    if (colourBits == 0) {
        m_noise.set(std::nullopt, levelDb);
        m_stage.setVoice(frame, nullptr);
        return;
    }
    m_noise.set(static_cast<NoiseColour>(colourBits - 1), levelDb);
    m_stage.setVoice(frame, &m_noise, Crossfade::EqualPower);
}

MmResult PortAudioWaveOut::close(WaveOutHandle handle)
{
    if (const MmResult refused = m_checks.call(handle))
        return refused;
    abortStream();
    if (m_stream)
        Pa_CloseStream(m_stream);
    m_stream = nullptr;
    m_checks.closed();
    m_data = nullptr;
    m_lost = false;
    return kMmSysNoError;
}

double PortAudioWaveOut::outputLatencySeconds() const
{
    const PaStreamInfo* info = m_stream ? Pa_GetStreamInfo(m_stream) : nullptr;
    return info ? info->outputLatency : 0.0;
}

void PortAudioWaveOut::fadeOutAndStop()
{
    if (!m_stream || Pa_IsStreamActive(m_stream) != 1) {
        abortStream();
        return;
    }
    m_stopRequested.store(true, std::memory_order_relaxed);
    // Until the callback has rendered the fade-out, then until the device
    // has played its last frame by the stream's own clock.
    const auto limit = std::chrono::steady_clock::now() + kFadeOutLimit;
    const auto waitFor = [&](auto done) {
        while (!done() && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    waitFor([&] { return m_fadedOut.load(std::memory_order_acquire); });
    const double silentAt = m_silentAtStreamTime.load(std::memory_order_relaxed);
    if (silentAt > 0) {
        waitFor([&] { return Pa_GetStreamTime(m_stream) >= silentAt; });
    } else {
        // A host that gives no output times: its latency is what is left.
        const auto buffered = std::chrono::steady_clock::now() + std::chrono::duration<double>(outputLatencySeconds());
        waitFor([&] { return std::chrono::steady_clock::now() >= buffered; });
    }
    abortStream();
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
                                     const PaStreamCallbackTimeInfo* timeInfo,
                                     unsigned long statusFlags, void* self)
{
    auto* me = static_cast<PortAudioWaveOut*>(self);
    if (statusFlags & paOutputUnderflow)
        me->m_underruns.fetch_add(1, std::memory_order_relaxed);
    me->render(static_cast<std::int16_t*>(output), frames, timeInfo ? timeInfo->outputBufferDacTime : 0.0);
    return paContinue;
}

void PortAudioWaveOut::render(std::int16_t* out, std::size_t frames, double dacTime)
{
    // A change restarts rendering at the first frame not yet handed out; the
    // stage keeps one fade's worth rendered beyond it, so what the fade
    // starts from is always in its history and the copy it played before
    // is never read again. A noise asked for during the fade-out waits for
    // the next write, which takes the last one asked for.
    if (!m_fadingOut && m_stopRequested.load(std::memory_order_relaxed)) {
        m_stage.stop(m_played);
        m_fadingOut = true;
    } else if (!m_fadingOut) {
        if (const std::uint8_t* loop = m_snapshots.takeNewer())
            m_stage.change(m_played, loop);
        if (const std::uint32_t asked = m_noiseAsked.load(std::memory_order_acquire); asked != m_noiseTaken) {
            m_noiseTaken = asked;
            takeNoise(m_noiseSetting.load(std::memory_order_relaxed), m_played);
        }
    }
    const std::uint64_t ahead = m_played + frames + LoopRenderer::kFadeFrames;
    if (m_stage.position() < ahead)
        m_stage.render(nullptr, static_cast<std::size_t>(ahead - m_stage.position()));
    m_stage.copyRendered(m_played, out, frames);
    if (const std::uint32_t asked = m_levelAsked.load(std::memory_order_acquire); asked != m_levelTaken) {
        m_levelTaken = asked;
        m_level.moveTo(m_played, m_levelDepth.load(std::memory_order_relaxed), m_levelFrames.load(std::memory_order_relaxed));
    }
    m_level.apply(out, m_played, frames);
    if (OutputTap* tap = m_tap.load(std::memory_order_relaxed))
        tap->heard(out, 2 * frames);
    const std::uint64_t silentFrom = m_stage.silentFrom();
    if (m_fadingOut && !m_fadedOut.load(std::memory_order_relaxed) && m_played + frames >= silentFrom) {
        // When the device will have played the fade's last frame.
        const double offset = static_cast<double>(silentFrom - std::min(m_played, silentFrom));
        m_silentAtStreamTime.store(dacTime > 0 ? dacTime + offset / kFramesPerSecond : 0.0, std::memory_order_relaxed);
        m_fadedOut.store(true, std::memory_order_release);
    }
    m_played += frames;
}

}  // namespace quavira
