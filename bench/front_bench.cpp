// SPDX-License-Identifier: GPL-3.0-or-later
// Front window benchmarks, offscreen: one offset-slider notification (one
// channel refilled) and one base change (both channels refilled), each a
// full ApplyBinaural with the panel's fills and waveform redraws.
#include "fake_wave_out.h"
#include "loop_buffer.h"
#include "offscreen_bench_main.h"
#include "tform1.h"
#include "tmform.h"

#include <QLineEdit>
#include <QSlider>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

struct Windows {
    Windows()
    {
        form.setGeneratorPanel(&panel);
        form.setClock([] { return 1'700'000'000; });
        form.show();
        QApplication::processEvents();
    }
    quavira::LoopBuffer engine{std::make_unique<quavira::testing::FakeWaveOut>()};
    SilentMessages messages;
    TMForm panel{engine, messages};
    TForm1 form;
};

void BM_OffsetSliderNotification(benchmark::State& state)
{
    Windows windows;
    auto* slider = windows.form.findChild<QSlider*>(QStringLiteral("freqtrack"));
    windows.form.findChild<QLineEdit*>(QStringLiteral("LBiEdit"))->setText(QStringLiteral("440"));
    int offset = 0;
    for (auto _ : state) {
        slider->setValue(offset);  // freqtrackChange -> ApplyBinaural
        offset = offset == 100 ? 0 : offset + 1;
    }
}
BENCHMARK(BM_OffsetSliderNotification)->Unit(benchmark::kMicrosecond);

void BM_BaseChangeBothChannels(benchmark::State& state)
{
    Windows windows;
    auto* edit = windows.form.findChild<QLineEdit*>(QStringLiteral("LBiEdit"));
    const QString bases[] = {QStringLiteral("440"), QStringLiteral("441")};
    int i = 0;
    for (auto _ : state) {
        edit->setText(bases[i]);  // LBiEditChange -> ApplyBinaural, two fills
        i ^= 1;
    }
}
BENCHMARK(BM_BaseChangeBothChannels)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    return runOffscreenBenchmarks(argc, argv);
}
