// Loading a register map whose one field has many labels (the reader allows
// MAP_LABELS_MAX). Goal: about linear in the labels, so that one such file in
// the maps folder does not hold up every lookup by name; the reported
// complexity should read O(N), and 65,536 labels well under a second.

#include "transactions/registermap.h"

#include <benchmark/benchmark.h>

#include <QByteArray>

namespace {

QByteArray MapWithLabels(int64_t count)
{
    QByteArray text = R"({"version": 1, "device": "LAB", "registers": [{"name": "R",
        "address": 0, "bytes": 4, "fields": [{"name": "F", "bits": "31:0", "values": {)";
    for (int64_t i = 0; i < count; ++i)
        text +=
            (i ? ", \"" : "\"") + QByteArray::number(i) + "\": \"v" + QByteArray::number(i) + '"';
    return text + "}}]}]}";
}

void LoadLabels(benchmark::State& state)
{
    const QByteArray text = MapWithLabels(state.range(0));
    for (auto _ : state) {
        QString error;
        const auto map = ParseRegisterMap(text, &error);
        if (!map)
            state.SkipWithError(qPrintable(error));
        benchmark::DoNotOptimize(map);
    }
    state.SetComplexityN(state.range(0));
}

} // namespace

BENCHMARK(LoadLabels)
    ->RangeMultiplier(4)
    ->Range(1024, MAP_LABELS_MAX)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

BENCHMARK_MAIN();
