// SPDX-License-Identifier: GPL-3.0-or-later
// A sequence file as read: its options, tone sets and time lines, before any timing is resolved.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quavira::programs {

// The most voices one tone set (and so one program) may hold.
inline constexpr std::size_t kMaxVoices = 16;

enum class VoiceKind { Tone, PinkNoise, WhiteNoise, BrownNoise, Spin, Bell };

// One voice of a tone set. A tone's two ears play carrierHz + beatHz / 2 (left) and
// carrierHz - beatHz / 2 (right), so a negative beat gives the right ear the higher tone;
// a plain tone has beat 0. A spin swings pink noise's delay by up to widthUs microseconds
// at beatHz. A bell pings at carrierHz. level is the peak per ear as a fraction of full
// scale (the file's amplitude / 100); for noise and spin it scales the noise's level.
struct VoiceSpec {
    VoiceKind kind = VoiceKind::Tone;
    double carrierHz = 0.0;
    double beatHz = 0.0;
    double widthUs = 0.0;
    double level = 0.0;
    bool operator==(const VoiceSpec&) const = default;
};

// A named set of up to kMaxVoices positions; an empty position is std::nullopt.
struct ToneSet {
    std::string name;
    std::vector<std::optional<VoiceSpec>> voices;
    int line = 0;
    bool silent() const;
};

// One time line once blocks are expanded: when its set starts (seconds after the first
// line, so the first is 0), the transition characters, and whether the whole period up to
// the next line is a transition (`->`).
struct TimeLine {
    double offsetSec = 0.0;
    char fadeIn = '-';   // '<', '-' or '='
    char fadeOut = '-';  // '>', '-' or '='
    bool slideToNext = false;
    std::size_t set = 0;  // index into SbgProgram::sets
    int line = 0;         // the file's line that produced it (the block's use for a block's lines)
};

// The options of a generated program (`-p drop ...`, `-p slide ...`): its name and words.
struct GeneratedSpec {
    std::string name;
    std::vector<std::string> words;
    int line = 0;
};

struct SbgProgram {
    std::string description;          // the `##` lines, one per line, UTF-8
    std::vector<std::string> notes;   // what the file asks for that is not played, for the listener
    double fadeSec = 60.0;            // -F, the transition window
    bool endAtLastLine = false;       // -E
    std::optional<GeneratedSpec> generated;
    std::vector<ToneSet> sets;
    std::vector<TimeLine> lines;      // in time order
};

}  // namespace quavira::programs
