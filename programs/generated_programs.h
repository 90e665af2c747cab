// SPDX-License-Identifier: GPL-3.0-or-later
// Programs generated from a few parameters: the drop and slide families and a sigmoid descent.
#pragma once

#include "read_result.h"
#include "sbg_program.h"
#include "timeline.h"

#include <optional>

namespace quavira::programs {

// Every generated program ends with this fade to silence, after its last change.
inline constexpr double kGeneratedEndFadeSec = 10.0;
// The drop family's level when its spec gives no /amp (a fraction of full scale).
inline constexpr double kDropDefaultLevel = 0.5;
// Smooth curves are followed by straight pieces this long (the error is far below 0.001 Hz).
inline constexpr double kCurveStepSec = 10.0;

// `-p drop ...` or `-p slide ...`; an error names the option line and what is wrong.
ReadResult<Timeline> generatedTimeline(const GeneratedSpec& spec);

// A beat falling from fromBeatHz to toBeatHz along a logistic curve (steepness k over the
// whole descent, normalised to meet both ends exactly) at a fixed carrier, with pink
// noise under it when pinkLevel > 0, then the end fade.
struct SigmoidDescent {
    double minutes = 40.0;
    double carrierHz = 180.0;
    double fromBeatHz = 12.0;
    double toBeatHz = 2.0;
    double level = 0.4;
    double steepness = 10.0;
    double pinkLevel = 0.0;
};
Timeline sigmoidTimeline(const SigmoidDescent& descent);

}  // namespace quavira::programs
