// SPDX-License-Identifier: GPL-3.0-or-later
// The program's stream at the test server, as `pactl list sink-inputs`
// shows it: the mixer's view of its volume.
#pragma once

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace quavira::sound {

struct SinkInput {
    int index = -1;             // -1: the server shows no stream of ours
    std::vector<int> percents;  // each channel's volume, as the mixer rounds it
};

inline SinkInput ourSinkInput()
{
    std::string listing;
    if (FILE* pactl = ::popen("LC_ALL=C pactl list sink-inputs 2>/dev/null", "r")) {
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pactl)) > 0;)
            listing.append(chunk, n);
        ::pclose(pactl);
    }
    const std::string heading = "Sink Input #";
    for (std::size_t at = listing.find(heading); at != std::string::npos;) {
        const std::size_t next = listing.find(heading, at + 1);
        const std::string block = listing.substr(at, next - at);
        at = next;
        if (block.find("application.name = \"Quavira\"") == std::string::npos)
            continue;
        SinkInput input;
        input.index = std::stoi(block.substr(heading.size()));
        std::smatch volume;
        if (std::regex_search(block, volume, std::regex("\n\\s*Volume:([^\n]*)"))) {
            const std::string channels = volume[1];
            const std::regex percent("(\\d+)%");
            for (auto it = std::sregex_iterator(channels.begin(), channels.end(), percent); it != std::sregex_iterator();
                 ++it)
                input.percents.push_back(std::stoi((*it)[1]));
        }
        return input;
    }
    return {};
}

// Our stream once its channels show `percents`, or as it stands after a
// few seconds: the server applies a change in its own time.
template <typename Wait>
SinkInput ourSinkInputAt(const std::vector<int>& percents, Wait wait)
{
    SinkInput input = ourSinkInput();
    for (int tries = 0; tries < 250 && input.percents != percents; ++tries) {
        wait(std::chrono::milliseconds(20));
        input = ourSinkInput();
    }
    return input;
}

inline SinkInput ourSinkInputAt(const std::vector<int>& percents)
{
    return ourSinkInputAt(percents, [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); });
}

}  // namespace quavira::sound
