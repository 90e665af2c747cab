// SPDX-License-Identifier: GPL-3.0-or-later
// Noise generation: the random source, the colour filters and the peak knee.
#include "noise_generator.h"

#include <cmath>
#include <numbers>

namespace quavira {

namespace {

struct PoleZero {
    double poleHz;
    double zeroHz;
};

// Pink: a pole and a zero half an octave above it, an octave per pair on
// average, fitted (minimax) against the response of these very sections at
// 44,100 Hz from 35 Hz to 12 kHz: the uneven places at both ends hold the
// slope where the chain begins and where the sections near half the sample
// rate bend. The last zero above half the sample rate still shapes the top.
constexpr std::array<PoleZero, 13> kPinkSections{{
    {4.41, 6.61},
    {10.60, 13.40},
    {19.55, 28.25},
    {38.64, 54.10},
    {77.87, 114.14},
    {156.09, 218.86},
    {327.14, 472.76},
    {691.78, 918.20},
    {1180.03, 1832.00},
    {2732.48, 3474.63},
    {5212.17, 7844.45},
    {9707.58, 15614.37},
    {19988.50, 29472.76},
}};

// A real pole or zero at `hz` mapped to the z-plane (matched z-transform).
double radius(double hz)
{
    return std::exp(-2.0 * std::numbers::pi * hz / NoiseGenerator::kSampleRateHz);
}

std::uint64_t splitMix(std::uint64_t& x)
{
    std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k)
{
    return (x << k) | (x >> (64 - k));
}

// Peaks beyond the knee bend along a tanh towards kMaxPeak: the slope is 1
// at the knee (no kink, so nothing audible is added) and the ceiling is
// never reached.
float bendPeak(float sample)
{
    constexpr float knee = NoiseGenerator::kKneePeak;
    constexpr float room = NoiseGenerator::kMaxPeak - knee;
    const float magnitude = std::fabs(sample);
    if (magnitude <= knee)
        return sample;
    return std::copysign(knee + room * std::tanh((magnitude - knee) / room), sample);
}

}  // namespace

NoiseGenerator::NoiseGenerator(NoiseColour colour, std::uint64_t seed) : m_colour(colour)
{
    for (auto& word : m_state)
        word = splitMix(seed);

    std::size_t count = 0;
    switch (colour) {
    case NoiseColour::White:
        break;
    case NoiseColour::Pink:
        for (const PoleZero& pz : kPinkSections)
            m_sections[count++] = {radius(pz.zeroHz), radius(pz.poleHz)};
        break;
    case NoiseColour::Brown:
        // The leaky integrator (no zero), then the DC blocker (its zero at
        // z = 1).
        m_sections[count++] = {0.0, radius(kBrownCornerHz)};
        m_sections[count++] = {1.0, radius(kBrownCornerHz)};
        break;
    }

    // The power gain of the filters from the energy of their impulse
    // response: the slowest pole (4.4 Hz) decays below 1e-20 within 2^16
    // frames. The source's variance is 1/3.
    std::array<Section, kMaxSections> probe = m_sections;
    double energy = 0;
    for (std::size_t n = 0; n < (count == 0 ? 1 : std::size_t{1} << 16); ++n) {
        double v = n == 0 ? 1.0 : 0.0;
        for (std::size_t k = 0; k < count; ++k) {
            Section& s = probe[k];
            const double y = v - s.zero * s.lastIn + s.pole * s.lastOut;
            s.lastIn = v;
            s.lastOut = y;
            v = y;
        }
        energy += v * v;
    }
    m_gain = 1.0 / std::sqrt(energy / 3.0);
}

double NoiseGenerator::nextUniform()
{
    // xoshiro256+: its upper bits are the strong ones.
    const std::uint64_t result = m_state[0] + m_state[3];
    const std::uint64_t t = m_state[1] << 17;
    m_state[2] ^= m_state[0];
    m_state[3] ^= m_state[1];
    m_state[1] ^= m_state[2];
    m_state[0] ^= m_state[3];
    m_state[2] ^= t;
    m_state[3] = rotl(m_state[3], 45);
    return static_cast<double>(static_cast<std::int32_t>(result >> 32)) * 0x1p-31;
}

template <std::size_t Sections>
void NoiseGenerator::renderShaped(float* out, std::size_t frames)
{
    // The state in locals, so the compiler keeps it in registers.
    std::array<Section, Sections> s;
    for (std::size_t k = 0; k < Sections; ++k)
        s[k] = m_sections[k];
    for (std::size_t i = 0; i < frames; ++i) {
        double v = nextUniform();
        for (std::size_t k = 0; k < Sections; ++k) {
            const double y = v - s[k].zero * s[k].lastIn + s[k].pole * s[k].lastOut;
            s[k].lastIn = v;
            s[k].lastOut = y;
            v = y;
        }
        out[i] = bendPeak(static_cast<float>(v * m_gain));
    }
    for (std::size_t k = 0; k < Sections; ++k)
        m_sections[k] = s[k];
}

void NoiseGenerator::render(float* out, std::size_t frames)
{
    switch (m_colour) {
    case NoiseColour::White:
        for (std::size_t i = 0; i < frames; ++i)
            out[i] = static_cast<float>(nextUniform() * m_gain);
        return;
    case NoiseColour::Pink:
        renderShaped<kPinkSections.size()>(out, frames);
        return;
    case NoiseColour::Brown:
        renderShaped<2>(out, frames);
        return;
    }
}

}  // namespace quavira
