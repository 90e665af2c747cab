// SPDX-License-Identifier: GPL-3.0-or-later
// Records the test sink's monitor for the whole-program figures
// (bench/user_figures.py), with no short-latency reader to pull the sink
// quick: PulseAudio through a 250-ms libpulse recorder whose frames are
// placed in time by its timing info, PipeWire through pw-record at 2048
// frames, placed by arrival. Prints "live" once frames arrive, then, when
// the recording is complete, writes it (raw u8 stereo, 44,100 Hz) and the
// steady-clock time of every 441st frame, in nanoseconds, one per line.
//
// Usage: timed_recording <seconds> <recording file> <times file>
#include "monitor_recording.h"
#include "timed_monitor.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

namespace {

using namespace quavira::sound;

template <class Recorder>
int record(Recorder& recorder, double seconds, const char* recordingPath, const char* timesPath)
{
    if (!recorder.waitLive()) {
        std::fprintf(stderr, "timed_recording: the monitor records nothing\n");
        return 1;
    }
    std::printf("live\n");
    std::fflush(stdout);
    // finish() waits a while for what is still to come, not the whole length.
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const Bytes& bytes = recorder.finish();
    std::ofstream(recordingPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::ofstream times(timesPath);
    for (std::size_t frame = 0; frame < bytes.size() / 2; frame += 441)
        times << std::chrono::duration_cast<std::chrono::nanoseconds>(recorder.timeOf(frame).time_since_epoch()).count()
              << '\n';
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: timed_recording <seconds> <recording file> <times file>\n");
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    if (serverIsPipeWire()) {
        MonitorRecording recorder(seconds, "pw-record --target " + sinkName() +
                                               " -P stream.capture.sink=true --format u8 --rate 44100 --channels 2 --latency 2048 -");
        return record(recorder, seconds, argv[2], argv[3]);
    }
    TimedMonitor recorder(seconds, std::chrono::milliseconds(250));
    return record(recorder, seconds, argv[2], argv[3]);
}
