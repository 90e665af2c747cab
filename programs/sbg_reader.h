// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the text of a sequence file (.sbg) into an SbgProgram, or says what is wrong.
#pragma once

#include "read_result.h"
#include "sbg_program.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quavira::programs {

// Larger files are refused unread: published ones are a few kilobytes.
inline constexpr std::size_t kMaxSbgBytes = 1 << 20;
// Blocks using blocks may multiply lines; beyond this a file is refused.
inline constexpr std::size_t kMaxTimeLines = 100000;

// Any bytes: an error names the line and what is wrong, it never throws or crashes.
// Any thread; no state is kept between calls.
ReadResult<SbgProgram> readSbg(std::string_view bytes);

// A plain decimal (digits, an optional fraction), as the file's numbers are written.
std::optional<double> readDecimal(std::string_view text);
// One voice as a tone set writes it (200+10/20, 150/30, pink/40 ...); std::nullopt if it is not one.
std::optional<VoiceSpec> readVoice(std::string_view text);

// Reads at most kMaxSbgBytes + 1 bytes of the file at `path` and then readSbg.
ReadResult<SbgProgram> readSbgFile(const std::string& path);

}  // namespace quavira::programs
