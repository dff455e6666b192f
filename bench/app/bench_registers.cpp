// The Registers view after a Read All of a large map: taking in the values of
// 1,000 registers and repainting the tree must fit in a frame (16 ms), with
// the registers collapsed and with every field shown.
//
// Run: QT_QPA_PLATFORM=offscreen build/bench/app/bench_registers

#include "app/mainwindow.h"
#include "app/registersdock.h"
#include "app/registertreemodel.h"
#include "bench/app/benchmain.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTreeView>

#include <benchmark/benchmark.h>

namespace {

constexpr int REGISTERS = 1000;

// Two-byte registers of three fields each: a signed scaled number, labelled
// values and a bit, as in temperature sensors.
QByteArray largeMap()
{
    QByteArray text = R"({"version": 1, "device": "LARGE", "pointer_bytes": 2,
        "auto_increment": true, "registers": [)";
    for (int reg = 0; reg < REGISTERS; ++reg) {
        if (reg > 0)
            text += ',';
        text += QStringLiteral(R"({"name": "R%1", "address": %1, "bytes": 2,
            "description": "Register %1 of the large map", "fields": [
            {"name": "T", "bits": "15:4", "signed": true, "scale": 0.0625, "unit": "°C",
             "decimals": 2},
            {"name": "MODE", "bits": "3:2", "values": {"0": "off", "1": "one shot",
             "2": "continuous", "3": "burst"}},
            {"name": "EN", "bits": "0"}]})")
                    .arg(reg)
                    .toUtf8();
    }
    return text + "]}";
}

// Every register read; each round changes half of the values, so that the
// changed marks come and go.
SMapRead readAll(uint32_t round)
{
    SMapRead read;
    for (int reg = 0; reg < REGISTERS; ++reg) {
        const uint32_t change = (static_cast<uint32_t>(reg) + round) % 2 ? 0x0150u : 0;
        read.registers.push_back({reg, 0x1780u + static_cast<uint32_t>(reg) + change, {}});
    }
    return read;
}

void BM_ReadAllRefresh(benchmark::State& state)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("large.i2cmap"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(largeMap()) < 0) {
        state.SkipWithError("cannot write the map");
        return;
    }
    file.close();

    MainWindow window;
    window.show();
    auto* dock = window.findChild<RegistersDock*>();
    // At the size of the README's screenshot of the view.
    dock->setFloating(true);
    dock->resize(700, 320);
    dock->show();
    if (!dock->openMap(path)) {
        state.SkipWithError("the map does not load");
        return;
    }
    QTreeView* tree = dock->tree();
    if (state.range(0) != 0)
        tree->expandAll();
    tree->setCurrentIndex(dock->model()->indexOf(0, 1));
    QApplication::processEvents();

    uint32_t round = 0;
    for (auto _ : state) {
        dock->model()->applyRead(readAll(round++));
        tree->viewport()->repaint();
    }
    state.counters["rows"] = dock->model()->rowCount() * (state.range(0) != 0 ? 4 : 1);
}
BENCHMARK(BM_ReadAllRefresh)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    return runWindowBenchmarks(argc, argv);
}
