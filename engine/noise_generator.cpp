// SPDX-License-Identifier: GPL-3.0-or-later
// Noise generation: the random source, the colour filters and the peak knee.
#include "noise_generator.h"

#include <cmath>
#include <numbers>

namespace quavira {

struct NoiseGenerator::Shape {
    // Pink: output = direct * x + sum of residue[k] * y[k], where
    // y[k] = pole[k] * y[k] + x, four filters to a group.
    float direct = 0;
    std::array<Lanes, kPinkGroups> residue{};
    std::array<Lanes, kPinkGroups> pole{};
    // Brown: the integrator's and the DC blocker's pole.
    double brownPole = 0;
    // To an RMS of 1.0.
    double gain = 1;
};

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
constexpr std::array<PoleZero, 13> kPinkPairs{{
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
static_assert(kPinkPairs.size() <= 4 * NoiseGenerator::kPinkGroups);

// The variance of the source, uniform on [-1, 1).
constexpr double kSourceVariance = 1.0 / 3.0;

// A real pole or zero at `hz` mapped to the z-plane (matched z-transform).
double radius(double hz)
{
    return std::exp(-2.0 * std::numbers::pi * hz / NoiseGenerator::kSampleRateHz);
}

// The pink pairs' product, prod (1 - z_j/w) / (1 - p_j/w), as partial
// fractions: direct + sum r_k / (1 - p_k/w). The poles lie an octave apart,
// so the residues are all positive and of like size: floats keep the sum
// within 1e-5 of the product.
void makePink(NoiseGenerator::Shape& shape)
{
    std::array<double, kPinkPairs.size()> pole{};
    std::array<double, kPinkPairs.size()> zero{};
    double direct = 1;
    for (std::size_t k = 0; k < kPinkPairs.size(); ++k) {
        pole[k] = radius(kPinkPairs[k].poleHz);
        zero[k] = radius(kPinkPairs[k].zeroHz);
        direct *= zero[k] / pole[k];
    }
    std::array<double, kPinkPairs.size()> residue{};
    for (std::size_t k = 0; k < pole.size(); ++k) {
        double numerator = 1;
        double denominator = 1;
        for (std::size_t j = 0; j < pole.size(); ++j) {
            numerator *= 1 - zero[j] / pole[k];
            if (j != k)
                denominator *= 1 - pole[j] / pole[k];
        }
        residue[k] = numerator / denominator;
        shape.residue[k / 4][k % 4] = static_cast<float>(residue[k]);
        shape.pole[k / 4][k % 4] = static_cast<float>(pole[k]);
    }
    shape.direct = static_cast<float>(direct);

    // The impulse response's energy: direct^2 + sum over pairs of
    // r_k r_j / (1 - p_k p_j), plus the cross terms of direct with each
    // fraction's first sample (its r_k).
    double energy = direct * direct;
    for (std::size_t k = 0; k < pole.size(); ++k) {
        energy += 2 * direct * residue[k];
        for (std::size_t j = 0; j < pole.size(); ++j)
            energy += residue[k] * residue[j] / (1 - pole[k] * pole[j]);
    }
    shape.gain = 1.0 / std::sqrt(kSourceVariance * energy);
}

// Brown: 1 / (1 - a/w) then (1 - 1/w) / (1 - a/w), that is
// (1 - 1/w) / (1 - a/w)^2, whose impulse response is h[0] = 1 and
// h[n] = (n + 1) a^n - n a^(n-1) = a^(n-1) (a - n (1 - a)); its energy is
// summed until a^n has died away (some 40,000 terms).
void makeBrown(NoiseGenerator::Shape& shape)
{
    const double a = radius(NoiseGenerator::kBrownCornerHz);
    double energy = 1;  // h[0]
    double power = 1;   // a^(n-1)
    for (int n = 1; power > 1e-12; ++n) {
        const double h = power * (a - n * (1 - a));
        energy += h * h;
        power *= a;
    }
    shape.brownPole = a;
    shape.gain = 1.0 / std::sqrt(kSourceVariance * energy);
}

NoiseGenerator::Shape makeShape(NoiseColour colour)
{
    NoiseGenerator::Shape shape;
    switch (colour) {
    case NoiseColour::White:
        shape.gain = 1.0 / std::sqrt(kSourceVariance);
        break;
    case NoiseColour::Pink:
        makePink(shape);
        break;
    case NoiseColour::Brown:
        makeBrown(shape);
        break;
    }
    return shape;
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
    static const std::array<Shape, 3> shapes{makeShape(NoiseColour::White),
                                             makeShape(NoiseColour::Pink),
                                             makeShape(NoiseColour::Brown)};
    m_shape = &shapes[static_cast<std::size_t>(colour)];
    for (auto& word : m_state)
        word = splitMix(seed);
    // Filters started at rest would play their first tenth of a second up
    // to 1 dB low (their slowest modes lie near 5 Hz): run them into their
    // steady state first.
    if (colour != NoiseColour::White) {
        std::array<float, 512> scratch;
        for (std::size_t frames = 0; frames < kWarmUpFrames; frames += scratch.size())
            render(scratch.data(), scratch.size());
    }
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

void NoiseGenerator::renderWhite(float* out, std::size_t frames)
{
    for (std::size_t i = 0; i < frames; ++i)
        out[i] = static_cast<float>(nextUniform() * m_shape->gain);
}

void NoiseGenerator::renderPink(float* out, std::size_t frames)
{
    const Shape& shape = *m_shape;
    const auto gain = static_cast<float>(shape.gain);
    std::array<Lanes, kPinkGroups> y = m_pink;
    for (std::size_t i = 0; i < frames; ++i) {
        const auto x = static_cast<float>(nextUniform());
        Lanes sum{};
        for (std::size_t g = 0; g < kPinkGroups; ++g) {
            y[g] = shape.pole[g] * y[g] + x;
            sum += shape.residue[g] * y[g];
        }
        const float v = shape.direct * x + ((sum[0] + sum[1]) + (sum[2] + sum[3]));
        out[i] = bendPeak(v * gain);
    }
    m_pink = y;
}

void NoiseGenerator::renderBrown(float* out, std::size_t frames)
{
    const double a = m_shape->brownPole;
    const double gain = m_shape->gain;
    double integrated = m_integrated;
    double blocked = m_blocked;
    for (std::size_t i = 0; i < frames; ++i) {
        const double last = integrated;
        integrated = a * integrated + nextUniform();
        blocked = a * blocked + integrated - last;
        out[i] = bendPeak(static_cast<float>(blocked * gain));
    }
    m_integrated = integrated;
    m_blocked = blocked;
}

void NoiseGenerator::render(float* out, std::size_t frames)
{
    switch (m_colour) {
    case NoiseColour::White:
        renderWhite(out, frames);
        return;
    case NoiseColour::Pink:
        renderPink(out, frames);
        return;
    case NoiseColour::Brown:
        renderBrown(out, frames);
        return;
    }
}

}  // namespace quavira
