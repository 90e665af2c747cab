// SPDX-License-Identifier: GPL-3.0-or-later
// The program player: chunks between changes, a vectorisable sine, noise, spin and bells, the output fade.
#include "program_player.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace quavira::programs {
namespace {

// A chunk never crosses a segment's start or end, a bell or the program's end.
constexpr std::size_t kChunkFrames = 256;
// The spin's delay line: its centre delay, and the widest swing it allows either way.
constexpr std::size_t kSpinLineFrames = 1024;
constexpr double kSpinCentreFrames = 512.0;
constexpr double kSpinMaxSwingFrames = kSpinCentreFrames - 2.0;
constexpr std::size_t kMaxRinging = 32;
constexpr float kBellCutLevel = 1e-5f;

// sin(2 pi x) for |x| < 2^22, within 1e-7 of the true value: x reduced to [-1/4, 1/4]
// by rounding (the float magic-number trick, exact under IEEE arithmetic) and symmetry,
// then a Taylor polynomial to the 11th power. Branch-free so the loops vectorise.
inline float sinCycles(float x)
{
    constexpr float kMagic = 12582912.0f;  // 1.5 * 2^23
    x -= (x + kMagic) - kMagic;
    // Both folds computed whatever x is, so the selects are plain blends.
    const float above = 0.5f - x;
    const float below = -0.5f - x;
    x = x > 0.25f ? above : x;
    x = x < -0.25f ? below : x;
    const float t = x * 6.28318530718f;
    const float t2 = t * t;
    return t * (1.0f + t2 * (-1.0f / 6 + t2 * (1.0f / 120 + t2 * (-1.0f / 5040 + t2 * (1.0f / 362880 - t2 / 39916800)))));
}

// One ear of a tone: its phase in cycles, and how it advances per frame.
struct EarPhase {
    double phase;
    double inc;
    double dinc;
};

// Adds (a0 + da * i) * sin(2 pi phase_i) to left[i] and right[i] for each ear's phase, which
// advances by inc + i * dinc at frame i: the tone's frequency moves linearly. Within one call
// (at most kChunkFrames) the phase is summed in float, about 1e-6 cycles off at worst; the
// phases after the last frame come from double sums, so they never drift.
void addSinePair(float* left, float* right, std::size_t frames, EarPhase& l, EarPhase& r, float a0, float da)
{
    const auto lp = static_cast<float>(l.phase), li = static_cast<float>(l.inc), ld = static_cast<float>(l.dinc * 0.5);
    const auto rp = static_cast<float>(r.phase), ri = static_cast<float>(r.inc), rd = static_cast<float>(r.dinc * 0.5);
    // A 32-bit counter: its conversion to float vectorises, a size_t's does not.
    const auto count = static_cast<std::int32_t>(frames);
    for (std::int32_t i = 0; i < count; ++i) {
        const auto k = static_cast<float>(i);
        const float amplitude = a0 + da * k;
        left[i] += amplitude * sinCycles(lp + k * (li + (k - 1.0f) * ld));
        right[i] += amplitude * sinCycles(rp + k * (ri + (k - 1.0f) * rd));
    }
    const auto n = static_cast<double>(frames);
    for (EarPhase* ear : {&l, &r}) {
        const double p = ear->phase + n * ear->inc + 0.5 * n * (n - 1.0) * ear->dinc;
        ear->phase = p - std::floor(p);
    }
}

std::int64_t frameAt(double sec)
{
    if (std::isinf(sec))
        return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(std::ceil(sec * ProgramPlayer::kSampleRateHz));
}

std::optional<NoiseColour> colourOf(VoiceKind kind)
{
    switch (kind) {
    case VoiceKind::PinkNoise:
    case VoiceKind::Spin:
        return NoiseColour::Pink;
    case VoiceKind::WhiteNoise:
        return NoiseColour::White;
    case VoiceKind::BrownNoise:
        return NoiseColour::Brown;
    default:
        return std::nullopt;
    }
}

}  // namespace

struct ProgramPlayer::Voice {
    const std::vector<Segment>* segments = nullptr;
    std::size_t cursor = 0;  // the first segment not yet over
    double phaseLeft = 0.0;  // cycles, in [0, 1)
    double phaseRight = 0.0;
    double spinPhase = 0.0;
    std::array<std::unique_ptr<NoiseGenerator>, 3> noise;  // by NoiseColour, made if used
    std::vector<float> spinLine;
    std::size_t spinWrite = 0;

    const Segment* active(std::int64_t frame)
    {
        while (cursor < segments->size() && frameAt((*segments)[cursor].endSec) <= frame)
            ++cursor;
        if (cursor < segments->size() && frameAt((*segments)[cursor].startSec) <= frame)
            return &(*segments)[cursor];
        return nullptr;
    }
};

struct ProgramPlayer::Bell {
    double phase = 0.0;
    double inc = 0.0;
    float level = 0.0f;
    float decay = 1.0f;
};

ProgramPlayer::ProgramPlayer(Timeline timeline, std::uint64_t noiseSeed)
    : m_timeline(std::move(timeline)), m_gain(m_timeline.gain()), m_bellStrikes(m_timeline.bells())
{
    if (const auto length = m_timeline.lengthSec())
        m_endFrame = frameAt(*length);
    for (std::size_t p = 0; p < m_timeline.positions(); ++p) {
        auto voice = std::make_unique<Voice>();
        voice->segments = &m_timeline.segments(p);
        for (const auto& s : *voice->segments) {
            const auto colour = colourOf(s.from.kind);
            auto& generator = voice->noise[colour ? static_cast<std::size_t>(*colour) : 0];
            if (colour && !generator)
                generator = std::make_unique<NoiseGenerator>(*colour, noiseSeed + 16 * p + static_cast<std::uint64_t>(*colour));
            if (s.from.kind == VoiceKind::Spin && voice->spinLine.empty())
                voice->spinLine.assign(kSpinLineFrames, 0.0f);
        }
        m_voices.push_back(std::move(voice));
    }
    std::stable_sort(m_bellStrikes.begin(), m_bellStrikes.end(),
                     [](const BellStrike& a, const BellStrike& b) { return a.atSec < b.atSec; });
    m_ringing.reserve(kMaxRinging);
    m_scratch.assign(kChunkFrames, 0.0f);
}

ProgramPlayer::~ProgramPlayer() = default;

void ProgramPlayer::seek(double seconds)
{
    double limit = std::numeric_limits<double>::max() / 2;
    if (const auto length = m_timeline.lengthSec())
        limit = *length;
    m_seekRequest.store(std::clamp(std::isnan(seconds) ? 0.0 : seconds, 0.0, limit), std::memory_order_relaxed);
}

void ProgramPlayer::setPaused(bool paused)
{
    m_pauseRequested.store(paused, std::memory_order_relaxed);
}

double ProgramPlayer::positionSec() const
{
    const double seek = m_seekRequest.load(std::memory_order_relaxed);
    if (seek >= 0.0)
        return seek;
    return static_cast<double>(m_position.load(std::memory_order_relaxed)) / kSampleRateHz;
}

void ProgramPlayer::jumpTo(std::int64_t frame)
{
    m_frame = frame;
    for (auto& voice : m_voices) {
        const auto& segs = *voice->segments;
        voice->cursor = static_cast<std::size_t>(
            std::partition_point(segs.begin(), segs.end(), [&](const Segment& s) { return frameAt(s.endSec) <= frame; }) -
            segs.begin());
    }
    m_nextBell = static_cast<std::size_t>(
        std::partition_point(m_bellStrikes.begin(), m_bellStrikes.end(),
                             [&](const BellStrike& b) { return frameAt(b.atSec) < frame; }) -
        m_bellStrikes.begin());
    m_ringing.clear();
    m_ended.store(m_endFrame >= 0 && frame >= m_endFrame, std::memory_order_relaxed);
    m_position.store(frame, std::memory_order_relaxed);
}

std::size_t ProgramPlayer::framesToNextChange(std::size_t limit) const
{
    auto until = static_cast<std::int64_t>(limit);
    const auto consider = [&](std::int64_t frame) {
        if (frame > m_frame)
            until = std::min(until, frame - m_frame);
    };
    for (const auto& voice : m_voices) {
        if (voice->cursor < voice->segments->size()) {
            const Segment& s = (*voice->segments)[voice->cursor];
            consider(frameAt(s.startSec));
            consider(frameAt(s.endSec));
        }
    }
    if (m_nextBell < m_bellStrikes.size())
        consider(frameAt(m_bellStrikes[m_nextBell].atSec));
    if (m_endFrame >= 0)
        consider(m_endFrame);
    return static_cast<std::size_t>(until);
}

void ProgramPlayer::renderVoice(Voice& voice, const Segment& segment, float* left, float* right, std::size_t frames)
{
    const double t = static_cast<double>(m_frame) / kSampleRateHz;
    const VoiceParams p = segment.at(t);
    const double span = segment.endSec - segment.startSec;
    const bool moving = !std::isinf(segment.endSec) && span > 0.0;
    // Changes per frame.
    const double perFrame = moving ? 1.0 / (span * kSampleRateHz) : 0.0;
    const double dCarrier = (segment.to.carrierHz - segment.from.carrierHz) * perFrame;
    const double dBeat = (segment.to.beatHz - segment.from.beatHz) * perFrame;
    const double dLevel = (segment.to.level - segment.from.level) * perFrame;
    const auto a0 = static_cast<float>(p.level * m_gain);
    const auto da = static_cast<float>(dLevel * m_gain);
    switch (p.kind) {
    case VoiceKind::Tone: {
        const double leftHz = p.carrierHz + p.beatHz / 2;
        const double rightHz = p.carrierHz - p.beatHz / 2;
        EarPhase l{voice.phaseLeft, leftHz / kSampleRateHz, (dCarrier + dBeat / 2) / kSampleRateHz};
        EarPhase r{voice.phaseRight, rightHz / kSampleRateHz, (dCarrier - dBeat / 2) / kSampleRateHz};
        addSinePair(left, right, frames, l, r, a0, da);
        voice.phaseLeft = l.phase;
        voice.phaseRight = r.phase;
        return;
    }
    case VoiceKind::PinkNoise:
    case VoiceKind::WhiteNoise:
    case VoiceKind::BrownNoise: {
        float* noise = m_scratch.data();
        voice.noise[static_cast<std::size_t>(*colourOf(p.kind))]->render(noise, frames);
        const auto n0 = static_cast<float>(a0 * kNoiseRmsAtFullLevel);
        const auto dn = static_cast<float>(da * kNoiseRmsAtFullLevel);
        for (std::int32_t i = 0; i < static_cast<std::int32_t>(frames); ++i) {
            const float v = (n0 + dn * static_cast<float>(i)) * noise[i];
            left[i] += v;
            right[i] += v;
        }
        return;
    }
    case VoiceKind::Spin: {
        // Pink noise through a delay line read at centre +- swing * sin: the ears' delays
        // move in opposite directions, by up to widthUs, at the beat.
        float* noise = m_scratch.data();
        voice.noise[static_cast<std::size_t>(NoiseColour::Pink)]->render(noise, frames);
        const double dWidth = (segment.to.widthUs - segment.from.widthUs) * perFrame;
        const auto line = voice.spinLine.data();
        // A four-point Hermite read between samples: flat enough that the swing leaves pink
        // noise's level as it is (a straight-line read loses a quarter of a dB).
        const auto read = [&](double delay) {
            const double pos = static_cast<double>(voice.spinWrite + kSpinLineFrames) - delay;
            const auto base = static_cast<std::size_t>(pos);
            const auto f = static_cast<float>(pos - static_cast<double>(base));
            const float y0 = line[(base - 1) % kSpinLineFrames];
            const float y1 = line[base % kSpinLineFrames];
            const float y2 = line[(base + 1) % kSpinLineFrames];
            const float y3 = line[(base + 2) % kSpinLineFrames];
            const float c1 = 0.5f * (y2 - y0);
            const float c2 = y0 - 2.5f * y1 + 2.0f * y2 - 0.5f * y3;
            const float c3 = 0.5f * (y3 - y0) + 1.5f * (y1 - y2);
            return ((c3 * f + c2) * f + c1) * f + y1;
        };
        for (std::size_t i = 0; i < frames; ++i) {
            const auto k = static_cast<double>(i);
            line[voice.spinWrite] = noise[i];
            const double swing = std::min(kSpinMaxSwingFrames, (p.widthUs + dWidth * k) * 1e-6 * kSampleRateHz) *
                                 static_cast<double>(sinCycles(static_cast<float>(voice.spinPhase)));
            voice.spinPhase += (p.beatHz + dBeat * k) / kSampleRateHz;
            voice.spinPhase -= std::floor(voice.spinPhase);
            const float level = (a0 + da * static_cast<float>(i)) * static_cast<float>(kNoiseRmsAtFullLevel);
            left[i] += level * read(kSpinCentreFrames + swing);
            right[i] += level * read(kSpinCentreFrames - swing);
            voice.spinWrite = (voice.spinWrite + 1) % kSpinLineFrames;
        }
        return;
    }
    case VoiceKind::Bell:
        return;
    }
}

void ProgramPlayer::renderChunk(float* left, float* right, std::size_t frames)
{
    std::fill(left, left + frames, 0.0f);
    std::fill(right, right + frames, 0.0f);
    for (auto& voice : m_voices) {
        if (const Segment* segment = voice->active(m_frame))
            renderVoice(*voice, *segment, left, right, frames);
    }
    while (m_nextBell < m_bellStrikes.size() && frameAt(m_bellStrikes[m_nextBell].atSec) <= m_frame) {
        const BellStrike& strike = m_bellStrikes[m_nextBell++];
        if (m_ringing.size() == kMaxRinging)
            m_ringing.erase(m_ringing.begin());
        m_ringing.push_back({0.0, strike.freqHz / kSampleRateHz, static_cast<float>(strike.level * m_gain),
                             static_cast<float>(std::exp(-1.0 / (kBellDecaySec * kSampleRateHz)))});
    }
    for (auto& bell : m_ringing) {
        for (std::size_t i = 0; i < frames; ++i) {
            const float v = bell.level * sinCycles(static_cast<float>(bell.phase));
            left[i] += v;
            right[i] += v;
            bell.level *= bell.decay;
            bell.phase += bell.inc;
            bell.phase -= std::floor(bell.phase);
        }
    }
    std::erase_if(m_ringing, [](const Bell& b) { return b.level < kBellCutLevel; });
}

void ProgramPlayer::render(float* stereo, std::size_t frames)
{
    constexpr auto kFadeStep = static_cast<float>(1.0 / (kPlayerFadeSec * kSampleRateHz));
    constexpr double kFadeFrames = kPlayerFadeSec * kSampleRateHz;
    std::array<float, kChunkFrames> left{};
    std::array<float, kChunkFrames> right{};
    std::size_t done = 0;
    while (done < frames) {
        double seek = m_seekRequest.load(std::memory_order_relaxed);
        const bool quiet = seek >= 0.0 || m_pauseRequested.load(std::memory_order_relaxed);
        if (quiet && (m_fade <= 0.0f || m_ended.load(std::memory_order_relaxed))) {
            if (seek >= 0.0) {
                m_fade = 0.0f;
                jumpTo(frameAt(seek));
                m_seekRequest.compare_exchange_strong(seek, -1.0, std::memory_order_relaxed);
                continue;
            }
            break;  // paused: silence
        }
        if (m_ended.load(std::memory_order_relaxed))
            break;
        const std::size_t n = framesToNextChange(std::min(frames - done, kChunkFrames));
        renderChunk(left.data(), right.data(), n);
        const float target = quiet ? 0.0f : 1.0f;
        float* out = stereo + 2 * done;
        const bool nearEnd =
            m_endFrame >= 0 && static_cast<double>(m_endFrame - m_frame - static_cast<std::int64_t>(n)) < kFadeFrames + 1;
        if (m_fade == target && target == 1.0f && !nearEnd) {
            for (std::size_t i = 0; i < n; ++i) {
                out[2 * i] = left[i];
                out[2 * i + 1] = right[i];
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                m_fade = m_fade < target ? std::min(target, m_fade + kFadeStep) : std::max(target, m_fade - kFadeStep);
                float gain = m_fade;
                if (nearEnd) {
                    const double remaining =
                        static_cast<double>(m_endFrame - m_frame - static_cast<std::int64_t>(i)) - 1.0;
                    gain *= static_cast<float>(std::clamp(remaining / kFadeFrames, 0.0, 1.0));
                }
                out[2 * i] = left[i] * gain;
                out[2 * i + 1] = right[i] * gain;
            }
        }
        m_frame += static_cast<std::int64_t>(n);
        done += n;
        m_position.store(m_frame, std::memory_order_relaxed);
        if (m_endFrame >= 0 && m_frame >= m_endFrame) {
            m_ended.store(true, std::memory_order_relaxed);
            m_fade = 0.0f;
        }
    }
    std::fill(stereo + 2 * done, stereo + 2 * frames, 0.0f);
}

void toS16(const float* in, std::int16_t* out, std::size_t samples)
{
    constexpr float kMagic = 12582912.0f;  // rounds to nearest, as lrint does, and vectorises
    for (std::size_t i = 0; i < samples; ++i) {
        float v = in[i] * 32767.0f;
        v = v > 32767.0f ? 32767.0f : v;
        v = v < -32767.0f ? -32767.0f : v;
        out[i] = static_cast<std::int16_t>((v + kMagic) - kMagic);
    }
}

}  // namespace quavira::programs
