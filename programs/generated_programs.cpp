// SPDX-License-Identifier: GPL-3.0-or-later
// The drop and slide families and the sigmoid descent, as timelines of straight pieces.
#include "generated_programs.h"

#include "sbg_reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace quavira::programs {
namespace {

constexpr std::array<double, 12> kDropTargetsHz{4.4, 3.7, 3.1, 2.5, 2.0, 1.5, 1.2, 0.9, 0.7, 0.5, 0.4, 0.3};
constexpr double kDropStartBeatHz = 10.0;
// The slide joining two steps of a stepped drop, centred on the step's change.
constexpr double kDropStepSlideSec = 10.0;

double lerp(double a, double b, double f) { return a + (b - a) * f; }

// Samples `curve` at `times` (sorted) into straight segments, then fades the last values out.
void addCurve(Timeline& timeline, std::size_t position, const std::vector<double>& times,
              const std::function<VoiceParams(double)>& curve)
{
    for (std::size_t i = 0; i + 1 < times.size(); ++i) {
        if (times[i + 1] > times[i])
            timeline.add(position, {times[i], times[i + 1], curve(times[i]), curve(times[i + 1])});
    }
    const double end = times.back();
    VoiceParams last = curve(end);
    VoiceParams silent = last;
    silent.level = 0.0;
    timeline.add(position, {end, end + kGeneratedEndFadeSec, last, silent});
    timeline.setLength(end + kGeneratedEndFadeSec);
}

std::vector<double> grid(double from, double to, double step)
{
    std::vector<double> out;
    const auto n = static_cast<std::size_t>(std::ceil((to - from) / step - 1e-9));
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(from + static_cast<double>(i) * step);
    out.push_back(to);
    return out;
}

struct DropSpec {
    double dropSec = 30 * 60.0;
    double holdSec = 30 * 60.0;
    double wakeSec = 3 * 60.0;
    double levelDigits = 0.0;  // LL[.d]
    double targetHz = 0.0;
    bool smooth = false;
    bool oneMinuteSteps = false;
    bool hold = false;
    bool wake = false;
    double level = kDropDefaultLevel;
};

std::optional<std::string> readDropTimes(std::string_view word, DropSpec& spec)
{
    std::array<double*, 3> fields{&spec.dropSec, &spec.holdSec, &spec.wakeSec};
    std::size_t field = 0;
    std::string_view rest = word.substr(1);
    while (true) {
        const auto comma = rest.find(',');
        const auto minutes = readDecimal(rest.substr(0, comma));
        if (field == fields.size() || !minutes || *minutes > 24 * 60.0)
            return "times are t<drop>,<hold>,<wake> in minutes, not \"" + std::string(word) + "\"";
        *fields[field++] = *minutes * 60.0;
        if (comma == std::string_view::npos)
            break;
        rest = rest.substr(comma + 1);
    }
    if (spec.dropSec <= 0.0)
        return std::string("the drop must last some time");
    return std::nullopt;
}

// LL[.d]<a-l>[s|k][+][^][/amp]
std::optional<std::string> readDropSpec(std::string_view word, DropSpec& spec)
{
    const std::string bad = "\"" + std::string(word.substr(0, 40)) + "\" is not a drop (like 00ds+ or 10ek^/40)";
    const auto letter = word.find_first_of("abcdefghijkl");
    if (letter == std::string_view::npos)
        return bad;
    const std::string_view digits = word.substr(0, letter);
    const bool digitsOk = digits.size() == 2 || (digits.size() == 4 && digits[2] == '.');
    const auto ll = readDecimal(digits);
    if (!digitsOk || !ll)
        return bad;
    spec.levelDigits = *ll;
    spec.targetHz = kDropTargetsHz[static_cast<std::size_t>(word[letter] - 'a')];
    std::string_view flags = word.substr(letter + 1);
    const auto slash = flags.find('/');
    if (slash != std::string_view::npos) {
        const auto amp = readDecimal(flags.substr(slash + 1));
        if (!amp || *amp > 100.0)
            return bad;
        spec.level = *amp / 100.0;
        flags = flags.substr(0, slash);
    }
    std::string seen;
    for (char c : flags) {
        if (std::string_view("sk+^").find(c) == std::string_view::npos || seen.find(c) != std::string::npos)
            return bad;
        seen += c;
    }
    spec.smooth = seen.find('s') != std::string::npos;
    spec.oneMinuteSteps = seen.find('k') != std::string::npos;
    spec.hold = seen.find('+') != std::string::npos;
    spec.wake = seen.find('^') != std::string::npos;
    if (spec.smooth && spec.oneMinuteSteps)
        return bad;
    return std::nullopt;
}

Timeline dropTimeline(const DropSpec& spec)
{
    const double c0 = 205.0 - 2.0 * spec.levelDigits;
    const double c1 = 200.0 - 2.0 * spec.levelDigits;
    const double drop = spec.dropSec;
    const double hold = spec.hold ? spec.holdSec : 0.0;
    const double wake = spec.wake ? spec.wakeSec : 0.0;
    const double target = spec.targetHz;
    const double stepSec = spec.oneMinuteSteps ? 60.0 : 180.0;
    const auto steps = std::max<std::size_t>(1, static_cast<std::size_t>(std::llround(drop / stepSec)));
    const double step = drop / static_cast<double>(steps);
    const double slide = std::min(kDropStepSlideSec, step / 2);
    // Step k plays 10 * (target / 10)^(k / (steps - 1)): the first at 10 Hz, the last at the target.
    const auto stepBeat = [&](std::size_t k) {
        return steps == 1 ? target
                          : kDropStartBeatHz * std::pow(target / kDropStartBeatHz,
                                                        static_cast<double>(k) / static_cast<double>(steps - 1));
    };
    const auto beat = [&](double t) {
        if (t >= drop)
            return target;
        if (spec.smooth)
            return kDropStartBeatHz * std::pow(target / kDropStartBeatHz, t / drop);
        const auto k = std::min(steps - 1, static_cast<std::size_t>(t / step));
        // Within a slide around the change at (k + 1) * step or k * step.
        const double next = static_cast<double>(k + 1) * step;
        const double prev = static_cast<double>(k) * step;
        if (k + 1 < steps && t > next - slide / 2)
            return lerp(stepBeat(k), stepBeat(k + 1), (t - (next - slide / 2)) / slide);
        if (k > 0 && t < prev + slide / 2)
            return lerp(stepBeat(k - 1), stepBeat(k), (t - (prev - slide / 2)) / slide);
        return stepBeat(k);
    };
    const auto curve = [&](double t) {
        VoiceParams p{VoiceKind::Tone, 0.0, 0.0, 0.0, spec.level};
        if (t <= drop + hold) {
            p.carrierHz = lerp(c0, c1, t / (drop + hold));
            p.beatHz = beat(t);
        } else {
            const double f = std::min(1.0, (t - drop - hold) / wake);
            p.carrierHz = lerp(c1, c0, f);
            p.beatHz = lerp(target, kDropStartBeatHz, f);
        }
        return p;
    };
    std::vector<double> times;
    if (spec.smooth) {
        times = grid(0.0, drop, kCurveStepSec);
    } else {
        times.push_back(0.0);
        for (std::size_t k = 1; k < steps; ++k) {
            times.push_back(static_cast<double>(k) * step - slide / 2);
            times.push_back(static_cast<double>(k) * step + slide / 2);
        }
        times.push_back(drop);
    }
    if (hold > 0.0)
        times.push_back(drop + hold);
    if (wake > 0.0)
        times.push_back(drop + hold + wake);
    Timeline timeline(1);
    addCurve(timeline, 0, times, curve);
    return timeline;
}

ReadResult<Timeline> drop(const GeneratedSpec& spec)
{
    DropSpec drop;
    std::vector<std::string_view> rest(spec.words.begin(), spec.words.end());
    if (!rest.empty() && rest.front().starts_with('t')) {
        if (auto error = readDropTimes(rest.front(), drop))
            return ReadError{spec.line, "-p drop: " + *error};
        rest.erase(rest.begin());
    }
    if (rest.size() != 1)
        return ReadError{spec.line, "-p drop needs one drop spec (like 00ds+), after its times if any"};
    if (auto error = readDropSpec(rest.front(), drop))
        return ReadError{spec.line, "-p drop: " + *error};
    return dropTimeline(drop);
}

ReadResult<Timeline> slide(const GeneratedSpec& spec)
{
    double minutes = 30.0;
    std::vector<std::string_view> rest(spec.words.begin(), spec.words.end());
    if (!rest.empty() && rest.front().starts_with('t')) {
        const auto m = readDecimal(rest.front().substr(1));
        if (!m || *m <= 0.0 || *m > 24 * 60.0)
            return ReadError{spec.line, "-p slide: the time is t<minutes>, like t30"};
        minutes = *m;
        rest.erase(rest.begin());
    }
    const auto tone = rest.size() == 1 ? readVoice(rest.front()) : std::nullopt;
    if (!tone || tone->kind != VoiceKind::Tone)
        return ReadError{spec.line, "-p slide needs one binaural tone (like 200+10/40)"};
    // The beat holds while the carrier slides down to half the beat: the lower tone reaches 0 Hz.
    const double endCarrier = std::abs(tone->beatHz) / 2;
    const double lengthSec = minutes * 60.0;
    Timeline timeline(1);
    addCurve(timeline, 0, {0.0, lengthSec}, [&](double t) {
        return VoiceParams{VoiceKind::Tone, lerp(tone->carrierHz, endCarrier, t / lengthSec), tone->beatHz, 0.0,
                           tone->level};
    });
    return timeline;
}

}  // namespace

ReadResult<Timeline> generatedTimeline(const GeneratedSpec& spec)
{
    if (spec.name == "drop")
        return drop(spec);
    if (spec.name == "slide")
        return slide(spec);
    return ReadError{spec.line, "-p " + spec.name.substr(0, 40) + ": the programs that can be generated are drop and slide"};
}

Timeline sigmoidTimeline(const SigmoidDescent& d)
{
    const double lengthSec = d.minutes * 60.0;
    const auto logistic = [&](double u) { return 1.0 / (1.0 + std::exp(-d.steepness * (u - 0.5))); };
    const double low = logistic(0.0);
    const double high = logistic(1.0);
    const auto times = grid(0.0, lengthSec, kCurveStepSec);
    Timeline timeline(d.pinkLevel > 0.0 ? 2 : 1);
    addCurve(timeline, 0, times, [&](double t) {
        const double s = (logistic(t / lengthSec) - low) / (high - low);
        return VoiceParams{VoiceKind::Tone, d.carrierHz, lerp(d.fromBeatHz, d.toBeatHz, s), 0.0, d.level};
    });
    if (d.pinkLevel > 0.0) {
        const VoiceParams pink{VoiceKind::PinkNoise, 0.0, 0.0, 0.0, d.pinkLevel};
        addCurve(timeline, 1, {0.0, lengthSec}, [&](double) { return pink; });
    }
    return timeline;
}

}  // namespace quavira::programs
