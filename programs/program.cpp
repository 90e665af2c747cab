// SPDX-License-Identifier: GPL-3.0-or-later
// Sequence files to programs: the reader, then the timeline of its lines or of its generated program.
#include "program.h"

#include "generated_programs.h"
#include "sbg_reader.h"

namespace quavira::programs {
namespace {

ReadResult<Program> fromRead(ReadResult<SbgProgram> read, std::string name)
{
    if (!read.ok())
        return read.error();
    const SbgProgram& sbg = read.value();
    auto timeline = sbg.generated ? generatedTimeline(*sbg.generated) : timelineFromSbg(sbg);
    if (!timeline.ok())
        return timeline.error();
    return Program{std::move(name), sbg.description, sbg.notes, std::move(timeline).value()};
}

}  // namespace

ReadResult<Program> programFromSbg(std::string_view bytes, std::string name)
{
    return fromRead(readSbg(bytes), std::move(name));
}

ReadResult<Program> programFromSbgFile(const std::string& path)
{
    std::string name = path.substr(path.find_last_of('/') + 1);
    if (name.size() > 4 && name.ends_with(".sbg"))
        name.resize(name.size() - 4);
    return fromRead(readSbgFile(path), std::move(name));
}

}  // namespace quavira::programs
