// Wall time of a full 256-byte register dump of the 24C02 on the simulated
// adapter answering one report per millisecond, as a real adapter does on
// full-speed USB (one report per 1 ms frame). Mode b reads every byte on its
// own, as i2cdump does; mode i reads blocks as large as the model allows.
//
// Goals, checked at the end (exit status 1 when missed):
//   mode i within 1.1x of the frame limit, one frame per answer report;
//   mode i at least 50 times faster than mode b.

#include "i2c/orv3i2c.h"
#include "i2c/orv5i2c.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/simhid.h"
#include "transactions/registerdump.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint8_t EEPROM = 0x50;
constexpr auto REPORT_TIME = std::chrono::milliseconds(1);
constexpr size_t REPORT_DATA = 62;
constexpr double LIMIT_FACTOR = 1.1;
constexpr double SPEED_UP = 50.0;

// The reports the adapter answers a request with: one acknowledge per
// write report, one data report per 62 bytes read.
size_t AnswerReports(const std::vector<CSimOrvAdapter::Report>& requests, ESimOrvModel model)
{
    size_t answers = 0;
    for (const CSimOrvAdapter::Report& report : requests) {
        if (report[0] == 0x02) {
            ++answers;
        } else if (report[0] == 0x03) {
            size_t count = report[1];
            if (model == ESimOrvModel::Orv5)
                count = count == 0 ? 256 : count;
            else
                count |= static_cast<size_t>(report[3]) << 8;
            answers += (count + REPORT_DATA - 1) / REPORT_DATA;
        }
    }
    return answers;
}

template <typename Model>
void Dump(benchmark::State& state, ESimOrvModel model, ERegisterDumpMode mode)
{
    CSimHidStack::Instance().Reset();
    const auto sim = CSimOrvAdapter::Plug(model, L"BENCH");
    sim->SetLatency(REPORT_TIME);
    Model i2c;
    if (!i2c.Connect(L"BENCH", EI2cSpeed::Speed400k)) {
        state.SkipWithError(i2c.GetLastError().c_str());
        return;
    }
    size_t requests = 0;
    size_t answers = 0;
    for (auto _ : state) {
        sim->TakeReceivedReports();
        const SRegisterDump dump = RunRegisterDump(i2c, EEPROM, 0x00, 0xFF, 1, mode);
        if (!dump.ok())
            state.SkipWithError("a byte of the dump failed");
        const std::vector<CSimOrvAdapter::Report> sent = sim->TakeReceivedReports();
        requests = sent.size();
        answers = AnswerReports(sent, model);
    }
    state.counters["requests"] = static_cast<double>(requests);
    state.counters["answers"] = static_cast<double>(answers);
    state.counters["frame_limit_ms"] =
        static_cast<double>(answers) *
        std::chrono::duration<double, std::milli>(REPORT_TIME).count();
    i2c.Disconnect();
    CSimHidStack::Instance().Reset();
}

void Orvane3(benchmark::State& state, ERegisterDumpMode mode)
{
    Dump<COrv3i2c>(state, ESimOrvModel::Orv3, mode);
}

void Orvane5(benchmark::State& state, ERegisterDumpMode mode)
{
    Dump<COrv5i2c>(state, ESimOrvModel::Orv5, mode);
}

// Mode b takes about half a second a dump: a few suffice.
BENCHMARK_CAPTURE(Orvane3, b, ERegisterDumpMode::Byte)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);
BENCHMARK_CAPTURE(Orvane3, i, ERegisterDumpMode::Block)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(Orvane5, b, ERegisterDumpMode::Byte)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);
BENCHMARK_CAPTURE(Orvane5, i, ERegisterDumpMode::Block)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Prints as usual and keeps each run's wall time and frame limit in ms.
class CGoalReporter : public benchmark::ConsoleReporter {
public:
    struct SResult {
        double wallMs = 0;
        double limitMs = 0;
    };

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const auto limit = run.counters.find("frame_limit_ms");
            SResult& result = m_results[run.run_name.function_name];
            result.wallMs = run.GetAdjustedRealTime(); // in ms, the unit above
            result.limitMs = limit != run.counters.end() ? limit->second.value : 0;
        }
    }

    const std::map<std::string, SResult>& Results() const { return m_results; }

private:
    std::map<std::string, SResult> m_results;
};

// Checks the goals of one model; false when one is missed.
bool CheckGoals(const CGoalReporter& reporter, const std::string& model)
{
    const auto& results = reporter.Results();
    const auto byte = results.find("Orvane" + model + "/b");
    const auto block = results.find("Orvane" + model + "/i");
    if (byte == results.end() || block == results.end())
        return true; // filtered out
    const double limitRatio = block->second.wallMs / block->second.limitMs;
    const double speedUp = byte->second.wallMs / block->second.wallMs;
    const bool met = limitRatio <= LIMIT_FACTOR && speedUp >= SPEED_UP;
    std::printf("Orvane%s: mode i %.2f ms for a frame limit of %.0f ms (%.2fx, goal <= %.1fx); "
                "mode b %.0f ms, %.0fx slower (goal >= %.0fx): %s\n",
                model.c_str(), block->second.wallMs, block->second.limitMs, limitRatio,
                LIMIT_FACTOR, byte->second.wallMs, speedUp, SPEED_UP, met ? "met" : "MISSED");
    return met;
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    CGoalReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const bool orv3 = CheckGoals(reporter, "3");
    const bool orv5 = CheckGoals(reporter, "5");
    return orv3 && orv5 ? 0 : 1;
}
