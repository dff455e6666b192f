// Time of one reload of the projects panel over a large folder: list, load
// what changed, sort, update the tree, keep the expansion and the current
// row.

#include "bench/projects/benchmain.h"
#include "projects/projectspanel.h"
#include "tests/support/projectsdock.h"
#include "tests/support/projectspanelprobe.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSettings>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr int DEVICE_COUNT = 1000;
constexpr int COMMAND_COUNT = 20;

// The folder of device files, written once for all benchmarks.
QString g_folder;

bool writeFolder(const QString& folder)
{
    for (int i = 0; i < DEVICE_COUNT; ++i) {
        CI2cDeviceFile device;
        device.SetName(QStringLiteral("Device %1").arg(DEVICE_COUNT - i));
        device.SetAddress(static_cast<uint8_t>(i % 0x80));
        device.SetDescription(QStringLiteral("Bench device %1 with a line of description").arg(i));
        for (int j = 0; j < COMMAND_COUNT; ++j) {
            SI2cCommand command;
            command.label = QStringLiteral("Command %1").arg(j);
            if (j % 4 == 3) {
                command.type = EI2cCommandType::Read;
                command.count = j + 1;
            } else {
                command.mode = static_cast<EI2cStartStop>(j % 4);
                command.data = {uint8_t(j), 0xA5, 0x5A, uint8_t(i)};
            }
            device.AddCommand(command);
        }
        if (!device.SaveAs(QDir(folder).filePath(QStringLiteral("device_%1.i2cdev").arg(i))))
            return false;
    }
    return true;
}

// Arguments: 1 = every device expanded with a command current, 0 = all
// collapsed and nothing current, 2 = as 0 with every file touched before
// each reload, so that all are read again (a reload keeps unchanged ones).
void BM_Reload(benchmark::State& state)
{
    const bool expanded = state.range(0) == 1;
    const bool touched = state.range(0) == 2;
    QStringList paths;
    if (expanded) {
        for (int i = 0; i < DEVICE_COUNT; ++i)
            paths.append(QDir(g_folder).filePath(QStringLiteral("device_%1.i2cdev").arg(i)));
    }
    QSettings().setValue(QStringLiteral("projects/expanded"), paths);

    testsupport::CProjectsDock dock;
    QApplication::processEvents();
    if (CProjectsPanelProbe::deviceCount(*dock.panel) != DEVICE_COUNT) {
        state.SkipWithError("the folder did not load");
        return;
    }
    if (expanded)
        CProjectsPanelProbe::selectItem(*dock.panel, paths.at(DEVICE_COUNT / 2), COMMAND_COUNT / 2);

    qint64 second = 1000000000;
    for (auto _ : state) {
        if (touched) {
            state.PauseTiming();
            const timespec times[2] = {{++second, 0}, {second, 0}};
            for (int i = 0; i < DEVICE_COUNT; ++i)
                utimensat(AT_FDCWD,
                          QFile::encodeName(
                              QDir(g_folder).filePath(QStringLiteral("device_%1.i2cdev").arg(i)))
                              .constData(),
                          times, 0);
            state.ResumeTiming();
        }
        CProjectsPanelProbe::reload(*dock.panel);
        state.PauseTiming();
        QApplication::processEvents();
        state.ResumeTiming();
    }
    state.counters["devices"] = double(CProjectsPanelProbe::deviceCount(*dock.panel));
    state.counters["rows"] = double(DEVICE_COUNT * (COMMAND_COUNT + 1));
}
BENCHMARK(BM_Reload)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    return runProjectsBenchmarks(argc, argv, [](const QDir& home) {
        g_folder = home.filePath(QStringLiteral("projects"));
        return QDir().mkpath(g_folder) && writeFolder(g_folder) ? g_folder : QString();
    });
}
