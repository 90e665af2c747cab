// SPDX-License-Identifier: GPL-3.0-or-later
// The programs that come with Quavira, each named and described with its exact parameters.
#pragma once

#include "program.h"

#include <vector>

namespace quavira::programs {

// All of them, in menu order: sleep, deep sleep, a nap, a sigmoid wind-down, relaxation,
// meditation, a carrier slide, focus, waking up. Built anew on each call (a few hundred
// segments each). Any thread.
std::vector<Program> builtinPrograms();

}  // namespace quavira::programs
