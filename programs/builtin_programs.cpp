// SPDX-License-Identifier: GPL-3.0-or-later
// The built-in programs: most written as sequence files and read by our own reader.
#include "builtin_programs.h"

#include "generated_programs.h"

#include <stdexcept>

namespace quavira::programs {
namespace {

struct Source {
    const char* name;
    const char* sbg;
};

// Each file's ## lines are the program's description: its purpose, length and curve.
constexpr Source kSources[] = {
    {"Sleep", R"(## Falling asleep: the beat drifts from alpha down into delta, then holds there.
## 60 min 10 s. Carrier 205 -> 200 Hz over 60 min; beat 10 -> 2.5 Hz, falling smoothly
## (exponentially) over 30 min, then 2.5 Hz for 30 min; level 50; a 10-s fade at the end.
-p drop 00ds+)"},
    {"Deep sleep", R"(## A long descent to the slowest delta for a full night's first cycle.
## 90 min 10 s. Carrier 200 -> 195 Hz over 90 min; beat 10 -> 0.3 Hz in fifteen 3-minute
## steps (each 0.778 of the one before, joined by 10-s slides), then 0.3 Hz for 45 min;
## level 40; a 10-s fade at the end.
-p drop t45,45,0 02.5ls+/40)"},
    {"Power nap", R"(## A short nap that brings you back: down to delta, then up to alpha to wake.
## 23 min 10 s. Carrier 205 -> 200 Hz over 20 min; beat 10 -> 1.5 Hz in twenty 1-minute
## steps (each 0.905 of the one before, 10-s slides); then 3 min sliding back to 205 Hz and 10 Hz; level 40; a 10-s fade.
-p drop t20,0,3 00fk^/40)"},
    {"Wind down", ""},
    {"Relaxation", R"(## Unwinding: from a waking 12 Hz alpha to a calm 8 Hz, over soft pink noise.
## 30 min. 200 Hz carrier, level 40, pink noise 20. 30-s rise; 12 Hz for 1 min; a straight
## glide 12 -> 8 Hz over 10 min; 8 Hz to the end; a 30-s fade out.
-SE
base: 200+12/40 pink/20
calm: 200+8/40 pink/20
off: -
NOW base
+00:01 == base ->
+00:11 == calm
+00:30 off)"},
    {"Meditation", R"(## Deep meditation in theta: a gentle way down from alpha to 6 Hz, held.
## 40 min. 150 Hz carrier, level 35, pink noise 15. 30-s rise; 10 Hz for 1 min; a glide
## 10 -> 6 Hz over 5 min; 6 Hz to the end; a 30-s fade out.
-SE
alpha: 150+10/35 pink/15
theta: 150+6/35 pink/15
off: -
NOW alpha
+00:01 == alpha ->
+00:06 == theta
+00:40 off)"},
    {"Theta slide", R"(## A theta beat whose pitch sinks: a carrier slide for letting go of thought.
## 30 min 10 s. Beat 6 Hz throughout; the carrier slides straight from 200 Hz down to 3 Hz
## (the lower tone reaches 0 Hz); level 40; a 10-s fade at the end.
-p slide t30 200+6/40)"},
    {"Focus", R"(## Concentrated work: from relaxed alpha up into low beta, over brown noise.
## 25 min. 220 Hz carrier, level 40, brown noise 10. 30-s rise; 10 Hz for 1 min; a glide
## 10 -> 15 Hz over 5 min; 15 Hz to the end; a 30-s fade out.
-SE
relaxed: 220+10/40 brown/10
focused: 220+15/40 brown/10
off: -
NOW relaxed
+00:01 == relaxed ->
+00:06 == focused
+00:25 off)"},
    {"Waking up", R"(## Waking gently: from delta up through theta and alpha into beta.
## 20 min. Level 40. 30-s rise; 180 Hz with a 2 Hz beat and pink noise 15 for 1 min; a
## glide over 14 min to 220 Hz with an 18 Hz beat, the noise easing to 10; held to the end;
## a 30-s fade out.
-SE
deep: 180+2/40 pink/15
awake: 220+18/40 pink/10
off: -
NOW deep
+00:01 == deep ->
+00:15 == awake
+00:20 off)"},
};

constexpr const char* kWindDownDescription =
    "Winding down for sleep along an S-shaped curve: slow at first, quickest halfway, settling gently.\n"
    "40 min 10 s. 180 Hz carrier, level 40, pink noise 15. The beat falls from 12 Hz to 2 Hz along a\n"
    "logistic curve (steepness 10 over the 40 min, so half of the fall comes in the middle 8.6 min);\n"
    "a 10-s fade at the end.";

}  // namespace

std::vector<Program> builtinPrograms()
{
    std::vector<Program> out;
    for (const auto& source : kSources) {
        if (*source.sbg == '\0') {
            out.push_back({source.name, kWindDownDescription, {},
                           sigmoidTimeline({40.0, 180.0, 12.0, 2.0, 0.4, 10.0, 0.15})});
            continue;
        }
        auto program = programFromSbg(source.sbg, source.name);
        // Our own texts: a failure is a fault of this file, caught by the tests.
        if (!program.ok())
            throw std::logic_error("built-in program " + std::string(source.name) + ": " + program.error().text());
        out.push_back(std::move(program).value());
    }
    return out;
}

}  // namespace quavira::programs
