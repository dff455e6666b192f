// The output table over a long bench session: appending must not get
// slower as rows pile up, and re-formatting must stay interactive.
//
// Run: QT_QPA_PLATFORM=offscreen build/bench/app/bench_outputtable

#include "app/mainwindow.h"
#include "bench/app/benchmain.h"
#include "tests/support/mainwindowprobe.h"

#include <QApplication>
#include <QTableWidget>

#include <benchmark/benchmark.h>

#include <memory>
#include <numeric>
#include <vector>

namespace {

std::vector<uint8_t> bytes(size_t count)
{
    std::vector<uint8_t> data(count);
    std::iota(data.begin(), data.end(), 0);
    return data;
}

struct SWindow {
    MainWindow window;
    MainWindowProbe probe{window};
    SWindow()
    {
        window.show();
        QApplication::processEvents();
    }
};

// One append into a table that holds `rows` rows like it already,
// including the layout and paint it causes.
void appendRows(benchmark::State& state, size_t size, const QString& perLine)
{
    SWindow w;
    QTableWidget* table = w.probe.ui()->table_data;
    w.probe.ui()->cmb_bytes_per_line->setCurrentText(perLine);
    const std::vector<uint8_t> data = bytes(size);
    for (int i = 0; i < state.range(0); ++i)
        w.probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x00"), data, false);
    QApplication::processEvents();

    for (auto _ : state) {
        w.probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x00"), data, false);
        QApplication::processEvents();
        state.PauseTiming();
        table->removeRow(table->rowCount() - 1);
        QApplication::processEvents();
        state.ResumeTiming();
    }
}

// A read of 32 bytes: two lines at 16 per line.
void BM_AppendRow(benchmark::State& state)
{
    appendRows(state, 32, QStringLiteral("16"));
}
BENCHMARK(BM_AppendRow)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

// A read of 256 bytes on one line, many times wider than the view, which
// scrolls sideways.
void BM_AppendWideRow(benchmark::State& state)
{
    appendRows(state, 256, QStringLiteral("Full"));
}
BENCHMARK(BM_AppendWideRow)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_FormatHexLines(benchmark::State& state)
{
    const std::vector<uint8_t> data = bytes(65535);
    const QByteArray raw(reinterpret_cast<const char*>(data.data()),
                         static_cast<qsizetype>(data.size()));
    for (auto _ : state)
        benchmark::DoNotOptimize(MainWindow::formatHexLines(raw, 16, false));
}
BENCHMARK(BM_FormatHexLines)->Unit(benchmark::kMicrosecond);

// Switching the bytes per line re-wraps 1,000 rows of 256 bytes.
void BM_RewrapRows(benchmark::State& state)
{
    SWindow w;
    QComboBox* box = w.probe.ui()->cmb_bytes_per_line;
    box->setCurrentText(QStringLiteral("16"));
    const std::vector<uint8_t> data = bytes(256);
    for (int i = 0; i < 1000; ++i)
        w.probe.addTableRow(QStringLiteral("Read 0x50"), QStringLiteral("0x00"), data, false);
    QApplication::processEvents();

    int choice = 0;
    for (auto _ : state) {
        box->setCurrentText(choice++ % 2 ? QStringLiteral("16") : QStringLiteral("8"));
        QApplication::processEvents();
    }
}
BENCHMARK(BM_RewrapRows)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    return runWindowBenchmarks(argc, argv);
}
