// SPDX-License-Identifier: GPL-3.0-or-later
// A program resolved over time: each voice position's linear segments, the bells, the length.
#pragma once

#include "read_result.h"
#include "sbg_program.h"

#include <cstddef>
#include <optional>
#include <vector>

namespace quavira::programs {

// What one position plays at an instant: a voice as a tone set writes it.
using VoiceParams = VoiceSpec;

// Every field moves linearly from `from` at startSec to `to` at endSec (kinds are equal).
// endSec may be infinite: the voice then holds `from` for ever.
struct Segment {
    double startSec = 0.0;
    double endSec = 0.0;
    VoiceParams from;
    VoiceParams to;
    VoiceParams at(double tSec) const;
};

struct BellStrike {
    double atSec = 0.0;
    double freqHz = 0.0;
    double level = 0.0;
};

struct VoiceState {
    std::size_t position = 0;
    VoiceParams params;
};

// The main voice's tone for the front window: the loudest tone playing.
struct MainTone {
    double carrierHz = 0.0;
    double beatHz = 0.0;  // the beat heard, never negative
};

// Built once (by the reader's resolution or a generated program), then only read: any
// thread may read a Timeline that no one is changing.
class Timeline {
public:
    Timeline() = default;
    explicit Timeline(std::size_t positions) : m_segments(positions) {}

    // Segments of one position are added in time order, not overlapping.
    void add(std::size_t position, const Segment& segment);
    // Bells are added in time order.
    void addBell(const BellStrike& bell) { m_bells.push_back(bell); }
    // std::nullopt: the program plays on after its last change until stopped.
    void setLength(std::optional<double> lengthSec) { m_lengthSec = lengthSec; }

    std::size_t positions() const { return m_segments.size(); }
    const std::vector<Segment>& segments(std::size_t position) const { return m_segments[position]; }
    const std::vector<BellStrike>& bells() const { return m_bells; }
    std::optional<double> lengthSec() const { return m_lengthSec; }

    // The voices sounding (level above 0) at tSec, for the picture and for seeking.
    std::vector<VoiceState> at(double tSec) const;
    std::optional<MainTone> mainTone(double tSec) const;
    // The largest sum of levels at any instant (bells at their strike included).
    double peakSum() const;
    // The constant gain that keeps the program within full scale: 1, or 1 / peakSum().
    double gain() const;

private:
    std::optional<VoiceParams> atPosition(std::size_t position, double tSec) const;

    std::vector<std::vector<Segment>> m_segments;
    std::vector<BellStrike> m_bells;
    std::optional<double> m_lengthSec;
};

// The file's time lines as the voices' segments, transitions as the format defines them.
ReadResult<Timeline> timelineFromSbg(const SbgProgram& program);

}  // namespace quavira::programs
