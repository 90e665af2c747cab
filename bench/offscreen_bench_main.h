// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the window benchmarks: a message box that shows nothing, and a
// main that runs the benchmarks inside an offscreen QApplication.
#pragma once

#include "message_box.h"

#include <QApplication>

#include <benchmark/benchmark.h>

class SilentMessages final : public MessageBox {
public:
    void inform(const QString&) override {}
    void error(const QString&) override {}
};

inline int runOffscreenBenchmarks(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
