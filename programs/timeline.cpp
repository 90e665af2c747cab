// SPDX-License-Identifier: GPL-3.0-or-later
// Timelines: time lines resolved into transitions and steady stretches per voice position.
#include "timeline.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quavira::programs {
namespace {

constexpr double kDaySec = 86400.0;

double lerp(double a, double b, double f) { return a + (b - a) * f; }

VoiceParams silenced(VoiceParams p)
{
    p.level = 0.0;
    return p;
}

bool sameSound(const VoiceSpec& a, const VoiceSpec& b)
{
    return a.kind == b.kind && a.carrierHz == b.carrierHz && a.beatHz == b.beatHz && a.widthUs == b.widthUs;
}

// Bells ring at their period's start; they take no part in transitions.
std::optional<VoiceSpec> voiceAt(const ToneSet& set, std::size_t position)
{
    if (position >= set.voices.size() || !set.voices[position] || set.voices[position]->kind == VoiceKind::Bell)
        return std::nullopt;
    return set.voices[position];
}

struct Window {
    double startSec = 0.0;
    double endSec = 0.0;
};

class Resolver {
public:
    Resolver(const SbgProgram& program, double endSec) : m_program(program), m_endSec(endSec) {}

    std::vector<Window> windows() const;
    void position(std::size_t p, const std::vector<Window>& windows, Timeline& timeline) const;

private:
    void addClipped(Timeline& timeline, std::size_t p, Segment s) const;
    double periodSec(std::size_t i) const
    {
        const auto& lines = m_program.lines;
        return i + 1 < lines.size() ? lines[i + 1].offsetSec - lines[i].offsetSec : kDaySec - lines[i].offsetSec;
    }

    const SbgProgram& m_program;
    double m_endSec;
};

// Window j is the transition into line j from the line before it (the last, for the first).
std::vector<Window> Resolver::windows() const
{
    const auto& lines = m_program.lines;
    const std::size_t n = lines.size();
    const double fade = m_program.fadeSec;
    std::vector<Window> out(n);
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t prev = (j + n - 1) % n;
        const double at = lines[j].offsetSec;
        const double prevAt = j == 0 ? lines[prev].offsetSec - kDaySec : lines[prev].offsetSec;
        const double left = std::min(fade / 2, periodSec(prev));
        const double right = std::min(fade / 2, periodSec(j));
        Window w{at - left, at + right};
        if (lines[prev].slideToNext) {
            w = {prevAt, at};
            if (at - prevAt < fade)
                w.endSec = at + std::min(right, fade - (at - prevAt));
        }
        // Transitions do not overlap: a `->` period is the transition from its line's own time,
        // cutting short the one into that line; otherwise one starts when the one before ends.
        if (j > 0 && lines[prev].slideToNext)
            out[j - 1].endSec = std::max(out[j - 1].startSec, std::min(out[j - 1].endSec, w.startSec));
        if (j > 0)
            w.startSec = std::max(w.startSec, out[j - 1].endSec);
        w.endSec = std::max(w.endSec, w.startSec);
        out[j] = w;
    }
    return out;
}

void Resolver::addClipped(Timeline& timeline, std::size_t p, Segment s) const
{
    const double lo = 0.0;
    const double hi = m_endSec;
    if (s.endSec <= lo || s.startSec >= hi || s.endSec <= s.startSec)
        return;
    if (s.from.level == 0.0 && s.to.level == 0.0)
        return;
    const Segment whole = s;
    if (s.startSec < lo) {
        s.from = whole.at(lo);
        s.startSec = lo;
    }
    if (s.endSec > hi) {
        s.to = whole.at(hi);
        s.endSec = hi;
    }
    timeline.add(p, s);
}

void Resolver::position(std::size_t p, const std::vector<Window>& windows, Timeline& timeline) const
{
    const auto& lines = m_program.lines;
    const auto& sets = m_program.sets;
    const std::size_t n = lines.size();
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t prev = (j + n - 1) % n;
        const auto from = voiceAt(sets[lines[prev].set], p);
        const auto to = voiceAt(sets[lines[j].set], p);
        const Window w = windows[j];
        const bool forced = lines[prev].slideToNext;
        if (from || to) {
            bool through = lines[prev].fadeOut == '>' || lines[j].fadeIn == '<' || (from && to && from->kind != to->kind);
            if (!through && (!from || !to))
                through = !forced;
            else if (!through && !forced)
                through = !(lines[prev].fadeOut == '=' && lines[j].fadeIn == '=') && !sameSound(*from, *to);
            if (through) {
                // The old voice falls to silence at the midpoint, the new one rises after it.
                const double mid = (w.startSec + w.endSec) / 2;
                if (from)
                    addClipped(timeline, p, {w.startSec, mid, *from, silenced(*from)});
                if (to)
                    addClipped(timeline, p, {mid, w.endSec, silenced(*to), *to});
            } else {
                const VoiceParams a = from ? *from : silenced(*to);
                const VoiceParams b = to ? *to : silenced(*from);
                addClipped(timeline, p, {w.startSec, w.endSec, a, b});
            }
        }
        if (to) {
            const double until = j + 1 < n ? windows[j + 1].startSec : std::numeric_limits<double>::infinity();
            const double steadyEnd = std::isinf(until) && std::isinf(m_endSec) ? until : std::min(until, m_endSec);
            if (std::isinf(steadyEnd)) {
                if (w.endSec < steadyEnd)
                    timeline.add(p, {std::max(w.endSec, 0.0), steadyEnd, *to, *to});
            } else {
                addClipped(timeline, p, {w.endSec, steadyEnd, *to, *to});
            }
        }
    }
}

}  // namespace

VoiceParams Segment::at(double tSec) const
{
    if (std::isinf(endSec) || endSec <= startSec)
        return from;
    const double f = std::clamp((tSec - startSec) / (endSec - startSec), 0.0, 1.0);
    return {from.kind, lerp(from.carrierHz, to.carrierHz, f), lerp(from.beatHz, to.beatHz, f),
            lerp(from.widthUs, to.widthUs, f), lerp(from.level, to.level, f)};
}

void Timeline::add(std::size_t position, const Segment& segment)
{
    if (position >= m_segments.size())
        m_segments.resize(position + 1);
    m_segments[position].push_back(segment);
}

std::optional<VoiceParams> Timeline::atPosition(std::size_t position, double tSec) const
{
    const auto& segs = m_segments[position];
    auto it = std::upper_bound(segs.begin(), segs.end(), tSec,
                               [](double t, const Segment& s) { return t < s.startSec; });
    if (it == segs.begin())
        return std::nullopt;
    --it;
    if (tSec > it->endSec)
        return std::nullopt;
    return it->at(tSec);
}

std::vector<VoiceState> Timeline::at(double tSec) const
{
    std::vector<VoiceState> out;
    for (std::size_t p = 0; p < m_segments.size(); ++p) {
        const auto v = atPosition(p, tSec);
        if (v && v->level > 0.0)
            out.push_back({p, *v});
    }
    return out;
}

std::optional<MainTone> Timeline::mainTone(double tSec) const
{
    std::optional<MainTone> best;
    double bestLevel = 0.0;
    for (const auto& v : at(tSec)) {
        if (v.params.kind == VoiceKind::Tone && v.params.level > bestLevel) {
            bestLevel = v.params.level;
            best = MainTone{v.params.carrierHz, std::abs(v.params.beatHz)};
        }
    }
    return best;
}

double Timeline::peakSum() const
{
    // Levels are piecewise linear, so their sum peaks where some segment starts or ends.
    std::vector<double> times;
    for (const auto& segs : m_segments) {
        for (const auto& s : segs) {
            times.push_back(s.startSec);
            if (!std::isinf(s.endSec))
                times.push_back(s.endSec);
        }
    }
    // Where two segments meet at t, the larger of their levels there counts.
    const auto sumAt = [&](double t) {
        double sum = 0.0;
        for (const auto& segs : m_segments) {
            auto it = std::upper_bound(segs.begin(), segs.end(), t,
                                       [](double x, const Segment& s) { return x < s.startSec; });
            double level = 0.0;
            for (int back = 0; back < 2 && it != segs.begin(); ++back) {
                --it;
                if (t <= it->endSec)
                    level = std::max(level, it->at(t).level);
            }
            sum += level;
        }
        return sum;
    };
    double peak = 0.0;
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    for (double t : times)
        peak = std::max(peak, sumAt(t));
    // Bells striking together add up; they are stored in time order.
    for (std::size_t i = 0; i < m_bells.size();) {
        double bells = 0.0;
        std::size_t k = i;
        for (; k < m_bells.size() && m_bells[k].atSec == m_bells[i].atSec; ++k)
            bells += m_bells[k].level;
        peak = std::max(peak, sumAt(m_bells[i].atSec) + bells);
        i = k;
    }
    return peak;
}

double Timeline::gain() const
{
    const double peak = peakSum();
    return peak > 1.0 ? 1.0 / peak : 1.0;
}

ReadResult<Timeline> timelineFromSbg(const SbgProgram& program)
{
    const auto& lines = program.lines;
    if (lines.empty())
        return ReadError{0, "the file has no time lines: nothing to play"};
    // A file ends at its last line when it says -E or its last set is silence; one line plays on.
    const bool ends = lines.size() > 1 && (program.endAtLastLine || program.sets[lines.back().set].silent());
    const double endSec = ends ? lines.back().offsetSec : std::numeric_limits<double>::infinity();
    if (ends && endSec <= 0.0)
        return ReadError{lines.back().line, "the time lines span no time: nothing to play"};

    std::size_t positions = 0;
    for (const auto& line : lines)
        positions = std::max(positions, program.sets[line.set].voices.size());
    Timeline timeline(positions);
    const Resolver resolver(program, endSec);
    const auto windows = resolver.windows();
    for (std::size_t p = 0; p < positions; ++p)
        resolver.position(p, windows, timeline);
    for (const auto& line : lines) {
        if (line.offsetSec >= endSec)
            continue;
        for (const auto& v : program.sets[line.set].voices) {
            if (v && v->kind == VoiceKind::Bell)
                timeline.addBell({line.offsetSec, v->carrierHz, v->level});
        }
    }
    if (ends)
        timeline.setLength(endSec);
    return timeline;
}

}  // namespace quavira::programs
