// SPDX-License-Identifier: GPL-3.0-or-later
// Power spectra of recorded or generated sound for tests: Welch's method,
// third-octave bands and the slope of a spectrum in dB per octave.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quavira::testing {

// The one-sided power spectral density of `samples` (units^2 per Hz, so
// its sum times the bin width is the variance): Hann-windowed segments of
// `segment` frames (a power of two), half overlapping, averaged.
std::vector<double> welchPsd(std::span<const float> samples, std::size_t segment,
                             double sampleRateHz);

struct Band {
    double centreHz;
    double db;  // 10 log10 of the mean density in the band
};

// Third-octave bands of `psd` (from welchPsd with `segment`), centred on
// 1 kHz * 2^(k/3), for centres from `loHz` to `hiHz`.
std::vector<Band> thirdOctaveBands(const std::vector<double>& psd, std::size_t segment,
                                   double sampleRateHz, double loHz, double hiHz);

struct Slope {
    double dbPerOctave;
    double worstResidualDb;  // the largest distance of a band from the fitted line
};

// The least-squares line through the bands' levels against octaves.
Slope fitSlope(const std::vector<Band>& bands);

}  // namespace quavira::testing
