// SPDX-License-Identifier: GPL-3.0-or-later
// Welch spectra over a plain radix-2 FFT.
#include "spectrum.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace quavira::testing {

namespace {

// In place, iterative, size a power of two.
void fft(std::vector<std::complex<double>>& a)
{
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> step =
            std::polar(1.0, -2.0 * std::numbers::pi / static_cast<double>(len));
        for (std::size_t start = 0; start < n; start += len) {
            std::complex<double> w = 1;
            for (std::size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> odd = w * a[start + k + len / 2];
                a[start + k + len / 2] = a[start + k] - odd;
                a[start + k] += odd;
                w *= step;
            }
        }
    }
}

}  // namespace

std::vector<double> welchPsd(std::span<const float> samples, std::size_t segment,
                             double sampleRateHz)
{
    std::vector<double> window(segment);
    double windowPower = 0;
    for (std::size_t i = 0; i < segment; ++i) {
        const double s = std::sin(std::numbers::pi * static_cast<double>(i) / static_cast<double>(segment));
        window[i] = s * s;
        windowPower += window[i] * window[i];
    }
    std::vector<double> psd(segment / 2 + 1, 0.0);
    std::vector<std::complex<double>> buffer(segment);
    std::size_t count = 0;
    for (std::size_t start = 0; start + segment <= samples.size(); start += segment / 2) {
        for (std::size_t i = 0; i < segment; ++i)
            buffer[i] = window[i] * samples[start + i];
        fft(buffer);
        for (std::size_t k = 0; k < psd.size(); ++k)
            psd[k] += std::norm(buffer[k]);
        ++count;
    }
    for (std::size_t k = 0; k < psd.size(); ++k) {
        const double oneSided = k == 0 || k == segment / 2 ? 1.0 : 2.0;
        psd[k] *= oneSided / (static_cast<double>(count) * sampleRateHz * windowPower);
    }
    return psd;
}

std::vector<Band> thirdOctaveBands(const std::vector<double>& psd, std::size_t segment,
                                   double sampleRateHz, double loHz, double hiHz)
{
    const double binHz = sampleRateHz / static_cast<double>(segment);
    std::vector<Band> bands;
    for (int k = -30; k <= 14; ++k) {
        const double centre = 1000.0 * std::pow(2.0, k / 3.0);
        if (centre < loHz * 0.99 || centre > hiHz * 1.01)
            continue;
        const auto first = static_cast<std::size_t>(std::ceil(centre * std::pow(2.0, -1.0 / 6) / binHz));
        const auto last = std::min(psd.size() - 1,
                                   static_cast<std::size_t>(std::floor(centre * std::pow(2.0, 1.0 / 6) / binHz)));
        double sum = 0;
        for (std::size_t b = first; b <= last; ++b)
            sum += psd[b];
        bands.push_back({centre, 10.0 * std::log10(sum / static_cast<double>(last - first + 1))});
    }
    return bands;
}

Slope fitSlope(const std::vector<Band>& bands)
{
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const Band& b : bands) {
        const double x = std::log2(b.centreHz);
        sx += x;
        sy += b.db;
        sxx += x * x;
        sxy += x * b.db;
    }
    const auto n = static_cast<double>(bands.size());
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    const double intercept = (sy - slope * sx) / n;
    double worst = 0;
    for (const Band& b : bands)
        worst = std::max(worst, std::abs(b.db - (intercept + slope * std::log2(b.centreHz))));
    return {slope, worst};
}

}  // namespace quavira::testing
