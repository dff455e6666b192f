// The projects panel over a folder of four device files at the 16 MB limit
// (986,891 address-only writes each) and one small file: the start-up load,
// the memory it keeps, and the reload after the small file was touched,
// which must re-read that file alone. Also the memory of a file of labelled
// commands, which cost more than the bare ones.

#include "bench/projects/benchmain.h"
#include "projects/projectspanel.h"
#include "tests/support/projectsdock.h"
#include "tests/support/projectspanelprobe.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>

#include <benchmark/benchmark.h>

#include <malloc.h>

namespace {

constexpr int BIG_FILES = 4;
constexpr qint64 MAX_FILE_SIZE = 16 * 1024 * 1024;
// The compact command that packs the most commands into a file.
constexpr char COMMAND[] = R"({"type":"write"})";

QString g_folder;
QString g_small;
qint64 g_commands = 0;
// One file at the limit of labelled writes with two data bytes each.
QString g_labelledFolder;
qint64 g_labelledCommands = 0;

// A kilobyte figure of /proc/self/status, such as "VmRSS" or "VmHWM".
double statusKiB(const char* key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key) && line.at(qstrlen(key)) == ':')
            return line.mid(qstrlen(key) + 1).trimmed().split(' ').first().toDouble();
    }
    return 0;
}

// Gives freed memory back first, so that what follows is measured from
// what is in use, then starts a new peak for VmHWM.
void resetPeak()
{
    malloc_trim(0);
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// As many commands as fit into the size limit; labelled ones when numbered.
bool writeBigFile(const QString& path, const QByteArray& name, bool labelled, qint64& commands)
{
    const QByteArray head = R"({"name":")" + name + R"(","address":1,"commands":[)";
    const QByteArray tail = "]}";
    QByteArray text = head;
    text.reserve(MAX_FILE_SIZE);
    for (qint64 i = 0;; ++i) {
        const QByteArray command = labelled
                                       ? R"({"label":"Command )" + QByteArray::number(100000 + i) +
                                             R"(","type":"write","data":"01 A5"})"
                                       : QByteArray(COMMAND);
        if (text.size() + command.size() + 1 + tail.size() > MAX_FILE_SIZE)
            break;
        if (i > 0)
            text += ',';
        text += command;
        ++commands;
    }
    text += tail;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

bool writeSmallFile(int generation)
{
    CI2cDeviceFile device;
    device.SetName(QStringLiteral("Small"));
    device.SetAddress(0x23);
    device.AddCommand({QStringLiteral("Read %1").arg(generation),
                       EI2cCommandType::Read,
                       EI2cStartStop::Auto,
                       {},
                       2});
    return device.SaveAs(g_small);
}

// The start-up over one file of labelled commands: what a command costs
// once loaded, and at the peak while its file is read.
void BM_LoadLabelled(benchmark::State& state)
{
    QSettings().setValue(QStringLiteral("projects/folder"), g_labelledFolder);
    for (auto _ : state) {
        state.PauseTiming();
        resetPeak();
        const double rssBefore = statusKiB("VmRSS");
        state.ResumeTiming();
        testsupport::CProjectsDock dock;
        QApplication::processEvents();
        state.PauseTiming();
        if (CProjectsPanelProbe::deviceCount(*dock.panel) != 1) {
            state.SkipWithError("the file did not load");
            return;
        }
        const double commands = double(g_labelledCommands);
        state.counters["commands"] = commands;
        state.counters["bytes_per_command"] = (statusKiB("VmRSS") - rssBefore) * 1024 / commands;
        state.counters["peak_bytes_per_command"] =
            (statusKiB("VmHWM") - rssBefore) * 1024 / commands;
        state.ResumeTiming();
    }
    QSettings().setValue(QStringLiteral("projects/folder"), g_folder);
}
BENCHMARK(BM_LoadLabelled)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// Argument: 1 = the first big device expanded, 0 = all collapsed. The time
// of one iteration is the reload and the events that lay out and paint the
// tree afterwards.
void BM_ReloadAfterTouch(benchmark::State& state)
{
    const bool expanded = state.range(0) != 0;
    QSettings().setValue(QStringLiteral("projects/expanded"),
                         expanded
                             ? QStringList{QDir(g_folder).filePath(QStringLiteral("big1.i2cdev"))}
                             : QStringList());
    resetPeak();
    const double rssBefore = statusKiB("VmRSS");
    QElapsedTimer startUp;
    startUp.start();
    testsupport::CProjectsDock dock;
    QApplication::processEvents();
    const double startUpMs = double(startUp.elapsed());
    if (CProjectsPanelProbe::deviceCount(*dock.panel) != BIG_FILES + 1) {
        state.SkipWithError("the folder did not load");
        return;
    }
    const double rssLoaded = statusKiB("VmRSS");

    int generation = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!writeSmallFile(++generation)) {
            state.SkipWithError("could not touch the small file");
            return;
        }
        state.ResumeTiming();
        CProjectsPanelProbe::reload(*dock.panel);
        QApplication::processEvents();
    }
    state.counters["startup_ms"] = startUpMs;
    state.counters["commands"] = double(g_commands);
    state.counters["bytes_per_command"] = (rssLoaded - rssBefore) * 1024 / double(g_commands);
    state.counters["peak_bytes_per_command"] =
        (statusKiB("VmHWM") - rssBefore) * 1024 / double(g_commands);
}
BENCHMARK(BM_ReloadAfterTouch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    return runProjectsBenchmarks(argc, argv, [](const QDir& home) {
        g_folder = home.filePath(QStringLiteral("projects"));
        g_small = QDir(g_folder).filePath(QStringLiteral("small.i2cdev"));
        g_labelledFolder = home.filePath(QStringLiteral("labelled"));
        bool written =
            QDir().mkpath(g_folder) && writeSmallFile(0) && QDir().mkpath(g_labelledFolder) &&
            writeBigFile(QDir(g_labelledFolder).filePath(QStringLiteral("labelled.i2cdev")),
                         "Labelled", true, g_labelledCommands);
        for (int i = 1; written && i <= BIG_FILES; ++i)
            written = writeBigFile(QDir(g_folder).filePath(QStringLiteral("big%1.i2cdev").arg(i)),
                                   "Big " + QByteArray::number(i), false, g_commands);
        return written ? g_folder : QString();
    });
}
