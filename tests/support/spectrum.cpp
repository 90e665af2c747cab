// SPDX-License-Identifier: GPL-3.0-or-later
// Welch spectra over a plain radix-2 FFT, two real segments per transform.
#include "spectrum.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace quavira::testing {

namespace {

// In place, iterative, size a power of two; `twiddle` holds
// e^(-2 pi i k / n) for k < n / 2. Plain doubles rather than std::complex,
// so that unoptimised (sanitizer) builds stay quick.
void fft(std::vector<double>& re, std::vector<double>& im, const std::vector<double>& twiddleRe,
         const std::vector<double>& twiddleIm)
{
    const std::size_t n = re.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::size_t half = len / 2;
        const std::size_t stride = n / len;
        for (std::size_t start = 0; start < n; start += len) {
            for (std::size_t k = 0; k < half; ++k) {
                const double wr = twiddleRe[k * stride];
                const double wi = twiddleIm[k * stride];
                const std::size_t a = start + k;
                const std::size_t b = a + half;
                const double oddRe = wr * re[b] - wi * im[b];
                const double oddIm = wr * im[b] + wi * re[b];
                re[b] = re[a] - oddRe;
                im[b] = im[a] - oddIm;
                re[a] += oddRe;
                im[a] += oddIm;
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
    std::vector<double> twiddleRe(segment / 2);
    std::vector<double> twiddleIm(segment / 2);
    for (std::size_t k = 0; k < segment / 2; ++k) {
        const double angle = -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(segment);
        twiddleRe[k] = std::cos(angle);
        twiddleIm[k] = std::sin(angle);
    }
    std::vector<std::size_t> starts;
    for (std::size_t start = 0; start + segment <= samples.size(); start += segment / 2)
        starts.push_back(start);

    // Two real segments per transform, one as the real part and one as the
    // imaginary part: X[k] = (Z[k] + conj Z[n-k]) / 2 and
    // Y[k] = (Z[k] - conj Z[n-k]) / 2i, so |X|^2 + |Y|^2 is
    // (|Z[k]|^2 + |Z[n-k]|^2) / 2.
    std::vector<double> psd(segment / 2 + 1, 0.0);
    std::vector<double> re(segment);
    std::vector<double> im(segment);
    for (std::size_t s = 0; s < starts.size(); s += 2) {
        const bool pair = s + 1 < starts.size();
        for (std::size_t i = 0; i < segment; ++i) {
            re[i] = window[i] * samples[starts[s] + i];
            im[i] = pair ? window[i] * samples[starts[s + 1] + i] : 0.0;
        }
        fft(re, im, twiddleRe, twiddleIm);
        for (std::size_t k = 0; k < psd.size(); ++k) {
            const std::size_t mirror = (segment - k) % segment;
            const double sumRe = re[k] + re[mirror];
            const double sumIm = im[k] - im[mirror];
            const double diffRe = re[k] - re[mirror];
            const double diffIm = im[k] + im[mirror];
            // |X|^2 = |Z[k] + conj Z[n-k]|^2 / 4; |Y|^2 = |Z[k] - conj Z[n-k]|^2 / 4.
            psd[k] += (sumRe * sumRe + sumIm * sumIm) / 4;
            if (pair)
                psd[k] += (diffRe * diffRe + diffIm * diffIm) / 4;
        }
    }
    for (std::size_t k = 0; k < psd.size(); ++k) {
        const double oneSided = k == 0 || k == segment / 2 ? 1.0 : 2.0;
        psd[k] *= oneSided / (static_cast<double>(starts.size()) * sampleRateHz * windowPower);
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
