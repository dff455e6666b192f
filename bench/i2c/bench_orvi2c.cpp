// Software time of adapter transactions against the simulated adapter with
// no latency: what the program itself spends per report. Real hardware
// moves one report per 1 ms USB frame; the software should stay at or below
// 10 us per report.

#include "i2c/orv3i2c.h"
#include "i2c/orv5i2c.h"
#include "sim/adapters/simorvadapter.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

constexpr uint8_t EEPROM = 0x50;
constexpr uint8_t FIRST_ADDRESS = 0x08;
constexpr uint8_t LAST_ADDRESS = 0x77;
constexpr size_t SCAN_PROBES = LAST_ADDRESS - FIRST_ADDRESS + 1;
constexpr size_t MAX_READ = 65535;
constexpr size_t READ_REPORTS = (MAX_READ + 61) / 62;

// One simulated adapter of the model, connected at 400 kbit/s.
template <typename Model> struct SBench {
    std::shared_ptr<CSimOrvAdapter> sim;
    Model i2c;

    explicit SBench(ESimOrvModel model)
    {
        CSimHidStack::Instance().Reset();
        sim = CSimOrvAdapter::Plug(model, L"BENCH");
        sim->SetRecording(false);
        i2c.Connect(L"BENCH", EI2cSpeed::Speed400k);
    }
    ~SBench() { CSimHidStack::Instance().Reset(); }
};

// Seconds per report, shown next to the time per iteration.
void CountReports(benchmark::State& state, double reportsPerIteration)
{
    state.counters["per_report"] =
        benchmark::Counter(reportsPerIteration, benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}

void BM_Write62(benchmark::State& state)
{
    SBench<COrv3i2c> bench(ESimOrvModel::Orv3);
    std::vector<uint8_t> data(62, 0x5A);
    data[0] = EEPROM << 1;
    data[1] = 0x00;
    SI2cWriteResult result;
    for (auto _ : state) {
        if (!bench.i2c.Write(data, result, true, true))
            state.SkipWithError(bench.i2c.GetLastError().c_str());
    }
    CountReports(state, 2); // write report and acknowledge
}
BENCHMARK(BM_Write62);

void BM_Read65535(benchmark::State& state)
{
    SBench<COrv3i2c> bench(ESimOrvModel::Orv3);
    SI2cReadResult result;
    for (auto _ : state) {
        if (!bench.i2c.Read(EEPROM, MAX_READ, result))
            state.SkipWithError(bench.i2c.GetLastError().c_str());
        benchmark::DoNotOptimize(result.data.data());
    }
    CountReports(state, 1 + READ_REPORTS); // request and read data reports
}
BENCHMARK(BM_Read65535)->Unit(benchmark::kMillisecond);

template <typename Model> void Scan(benchmark::State& state, ESimOrvModel model)
{
    SBench<Model> bench(model);
    for (auto _ : state) {
        int found = 0;
        for (uint8_t address = FIRST_ADDRESS; address <= LAST_ADDRESS; ++address)
            found += bench.i2c.Probe(address) ? 1 : 0;
        if (found != 3)
            state.SkipWithError("the scan did not find the three default devices");
    }
    CountReports(state, 2 * SCAN_PROBES); // request and answer per probe
}

void BM_ScanWriteProbeOrv3(benchmark::State& state)
{
    Scan<COrv3i2c>(state, ESimOrvModel::Orv3);
}
BENCHMARK(BM_ScanWriteProbeOrv3)->Unit(benchmark::kMillisecond);

void BM_ScanReadProbeOrv5(benchmark::State& state)
{
    Scan<COrv5i2c>(state, ESimOrvModel::Orv5);
}
BENCHMARK(BM_ScanReadProbeOrv5)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
