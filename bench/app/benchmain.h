#pragma once

#include <QApplication>
#include <QSettings>
#include <QStandardPaths>

#include <benchmark/benchmark.h>

// Runs the benchmarks named on the command line over the main window,
// offscreen, with the settings and files in the test locations, whose
// settings it clears afterwards.
inline int runWindowBenchmarks(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tremwick"));
    QApplication::setApplicationName(QStringLiteral("pellan_i2c_bench"));

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    QSettings().clear();
    return 0;
}
