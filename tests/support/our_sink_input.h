// SPDX-License-Identifier: GPL-3.0-or-later
// The program's stream at the test server as the mixer sees it, through
// `pactl list sink-inputs`.
#pragma once

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quavira::sound {

struct SinkInput {
    int index = -1;             // -1: the server shows no stream of ours
    std::vector<int> percents;  // each channel's volume, as the mixer rounds it
};

// Once its channels show `percents`, or as it stands after a few seconds
// (the server applies a change in its own time).
inline SinkInput ourSinkInput(const std::vector<int>& percents = {})
{
    // "index percent percent ..." for the block naming the program.
    const char* command = "LC_ALL=C pactl list sink-inputs 2>/dev/null | awk '/^Sink Input #/ { i = substr($3, 2) } "
                          "/^\\tVolume:/ { v = \"\"; for (f = 1; f <= NF; ++f) if ($f ~ /%$/) v = v \" \" $f + 0 } "
                          "/application.name = \"Quavira\"/ { print i v }'";
    SinkInput input;
    for (int tries = 0; tries < 250; ++tries) {
        input = {};
        char line[256] = {};
        if (FILE* pactl = ::popen(command, "r")) {
            if (std::fgets(line, sizeof line, pactl)) {
                std::istringstream fields(line);
                fields >> input.index;
                for (int percent; fields >> percent;)
                    input.percents.push_back(percent);
            }
            ::pclose(pactl);
        }
        if (percents.empty() || input.percents == percents)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return input;
}

}  // namespace quavira::sound
