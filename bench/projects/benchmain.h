#pragma once

#include "tests/support/projectsdock.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>

// Runs the benchmarks named on the command line with the settings and the
// documents in a private home; no display needed. writeFolder writes the
// bench files below the home and returns the folder the panel shows, or an
// empty string when it could not write them.
inline int runProjectsBenchmarks(int argc, char** argv,
                                 const std::function<QString(const QDir& home)>& writeFolder)
{
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral(".config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral(".local/share")).toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);

    const QString folder = writeFolder(QDir(home.path()));
    if (folder.isEmpty()) {
        std::fprintf(stderr, "could not write the bench folder\n");
        return 1;
    }
    testsupport::startProjectsSettings(folder);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
