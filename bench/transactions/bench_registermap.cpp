// Wall time of Read All over a 64-register map on a simulated adapter that
// answers one report per millisecond, as a real adapter does on full-speed
// USB. With auto_increment the 64 two-byte registers are one run: one
// pointer write and one 128-byte read, 4 answer reports. Without it each
// register is a pointer write and a read of its own, 128 answer reports.
//
// Goal, checked at the end on the median of ten rounds (exit status 1 when
// missed): Read All with auto_increment within 1.2x of the reports it needs,
// one 1 ms frame each.
//
// The simulator delivers a delayed report with a timed wait of the reading
// thread, which the kernel lets end up to the thread's timer slack late (50
// us by default); a real adapter's reports arrive by USB interrupt. So the
// benchmark runs with a timer slack of 1 ns (--slack=default keeps it).

#include "i2c/orv3i2c.h"
#include "i2c/orv5i2c.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/adapters/simregisterfile.h"
#include "sim/simhid.h"
#include "transactions/registermapaccess.h"

#include <benchmark/benchmark.h>

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/prctl.h>

namespace {

constexpr uint8_t CHIP = 0x30;
constexpr int REGISTERS = 64;
constexpr auto REPORT_TIME = std::chrono::milliseconds(1);
constexpr size_t REPORT_DATA = 62;
constexpr double LIMIT_FACTOR = 1.2;

SRegisterMap BenchMap(bool autoIncrement)
{
    QByteArray text = R"({"device": "BENCH", "auto_increment": )" +
                      QByteArray(autoIncrement ? "true" : "false") + R"(, "registers": [)";
    for (int i = 0; i < REGISTERS; ++i) {
        text += (i ? "," : "") + QByteArray(R"({"name": "R)") + QByteArray::number(i) +
                R"(", "address": )" + QByteArray::number(2 * i) +
                R"(, "bytes": 2, "fields": [{"name": "HI", "bits": "15:8"},
                   {"name": "V", "bits": "7:0", "signed": true, "scale": 0.5, "unit": "°C"}]})";
    }
    text += "]}";
    QString error;
    return ParseRegisterMap(text, &error).value_or(SRegisterMap());
}

// The reports the adapter answers the requests with: one acknowledge per
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
void ReadAll(benchmark::State& state, ESimOrvModel model, bool autoIncrement)
{
    CSimHidStack::Instance().Reset();
    const auto sim = CSimOrvAdapter::Plug(model, L"BENCH");
    sim->SetLatency(REPORT_TIME);
    auto chip = std::make_shared<CSimRegisterFile>();
    for (uint32_t address = 0; address < 2 * REGISTERS; ++address)
        chip->SetRegister(address, static_cast<uint8_t>(address));
    sim->AddDevice(CHIP, chip);
    const SRegisterMap map = BenchMap(autoIncrement);
    Model i2c;
    if (map.registers.size() != REGISTERS || !i2c.Connect(L"BENCH", EI2cSpeed::Speed400k)) {
        state.SkipWithError("no map or no connection");
        return;
    }
    size_t answers = 0;
    for (auto _ : state) {
        sim->TakeReceivedReports();
        const SMapRead read = RunMapReadAll(i2c, CHIP, map);
        // What a view does with the values: decode every field.
        for (const SMapRegisterRead& r : read.registers) {
            if (r.value)
                benchmark::DoNotOptimize(
                    DecodeFields(map.registers[static_cast<size_t>(r.reg)], *r.value));
        }
        if (!read.ok())
            state.SkipWithError("a register failed");
        answers = AnswerReports(sim->TakeReceivedReports(), model);
    }
    state.counters["answers"] = static_cast<double>(answers);
    state.counters["frame_limit_ms"] =
        static_cast<double>(answers) *
        std::chrono::duration<double, std::milli>(REPORT_TIME).count();
    i2c.Disconnect();
    CSimHidStack::Instance().Reset();
}

void Orvane3(benchmark::State& state, bool autoIncrement)
{
    ReadAll<COrv3i2c>(state, ESimOrvModel::Orv3, autoIncrement);
}

void Orvane5(benchmark::State& state, bool autoIncrement)
{
    ReadAll<COrv5i2c>(state, ESimOrvModel::Orv5, autoIncrement);
}

BENCHMARK_CAPTURE(Orvane3, auto_increment, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(Orvane5, auto_increment, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);
// 128 ms a run: a few suffice.
BENCHMARK_CAPTURE(Orvane3, one_by_one, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

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
            // The median of repeated runs, or the one run.
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if ((run.run_type != Run::RT_Iteration && !median) || run.error_occurred)
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

bool CheckGoal(const CGoalReporter& reporter, const std::string& name)
{
    const auto found = reporter.Results().find(name + "/auto_increment");
    if (found == reporter.Results().end())
        return true; // filtered out
    const double ratio = found->second.wallMs / found->second.limitMs;
    const bool met = ratio <= LIMIT_FACTOR;
    std::printf("%s: Read All of %d registers %.2f ms for a frame limit of %.0f ms (%.2fx, goal "
                "<= %.1fx): %s\n",
                name.c_str(), REGISTERS, found->second.wallMs, found->second.limitMs, ratio,
                LIMIT_FACTOR, met ? "met" : "MISSED");
    return met;
}

} // namespace

int main(int argc, char** argv)
{
    bool defaultSlack = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--slack=default") {
            defaultSlack = true;
            std::copy(argv + i + 1, argv + argc, argv + i);
            --argc;
            --i;
        }
    }
    if (!defaultSlack && prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) != 0)
        std::perror("bench_registermap: could not set the timer slack");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    CGoalReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const bool orv3 = CheckGoal(reporter, "Orvane3");
    const bool orv5 = CheckGoal(reporter, "Orvane5");
    return orv3 && orv5 ? 0 : 1;
}
