// SPDX-License-Identifier: GPL-3.0-or-later
// A program ready to play: its name, description, notes for the listener and its timeline.
#pragma once

#include "read_result.h"
#include "timeline.h"

#include <string>
#include <string_view>
#include <vector>

namespace quavira::programs {

struct Program {
    std::string name;
    std::string description;
    // What the file asks for that is not played, each a short sentence; shown in one note.
    std::vector<std::string> notes;
    Timeline timeline;
};

// A sequence file's text as a program: its own time lines, or the program its -p names.
ReadResult<Program> programFromSbg(std::string_view bytes, std::string name);
// The same from a file; the program is named after the file (without .sbg).
ReadResult<Program> programFromSbgFile(const std::string& path);

}  // namespace quavira::programs
