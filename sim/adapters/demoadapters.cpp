#include "sim/adapters/demoadapters.h"

#include "sim/adapters/simbh1750.h"
#include "sim/adapters/simina219.h"
#include "sim/adapters/simlm75.h"
#include "sim/adapters/simmcp9808.h"
#include "sim/adapters/simtmp102.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <numbers>
#include <optional>
#include <string_view>
#include <utility>

namespace {

constexpr auto DRIFT_STEP = std::chrono::milliseconds(50);

constexpr const char* FAULT_VARIABLE = "PELLAN_SIM_FAULT";
constexpr const char* DELAY_VARIABLE = "PELLAN_SIM_REPORT_DELAY_US";
// Ten seconds: beyond it every answer is long overdue anyway.
constexpr uint64_t MAX_DELAY_US = 10'000'000;

constexpr std::array<std::pair<std::string_view, ESimOrvFault>, 4> FAULT_KINDS{{
    {"bus-error", ESimOrvFault::BusError},
    {"arbitration-lost", ESimOrvFault::ArbitrationLost},
    {"no-answer", ESimOrvFault::NoAnswer},
    {"unplug", ESimOrvFault::Unplug},
}};

// Decimal digits alone, up to max.
std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t max, std::string*)
{
    if (text.empty() || text.size() > 12)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value <= max ? std::optional<uint64_t>(value) : std::nullopt;
}

// " (the reason)" when there is one.
std::string Because(const std::string& why)
{
    return why.empty() ? std::string() : " (" + why + ")";
}

struct SFault {
    ESimOrvFault kind = ESimOrvFault::None;
    int after = 0;
};

std::optional<SFault> ParseFault(std::string_view text, const DemoNumberParser& parseNumber,
                                 std::string* why)
{
    const size_t colon = text.find(':');
    // Python's set_fault spells the kinds with underscores; both work.
    std::string kind(text.substr(0, colon));
    std::replace(kind.begin(), kind.end(), '_', '-');
    SFault fault;
    for (const auto& [name, value] : FAULT_KINDS) {
        if (kind == name)
            fault.kind = value;
    }
    if (fault.kind == ESimOrvFault::None)
        return std::nullopt;
    if (colon != std::string_view::npos) {
        const std::optional<uint64_t> after =
            parseNumber(text.substr(colon + 1), 1'000'000'000, why);
        if (!after)
            return std::nullopt;
        fault.after = static_cast<int>(*after);
    }
    return fault;
}

std::string_view Variable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string_view(value) : std::string_view();
}

} // namespace

std::vector<std::shared_ptr<CSimOrvAdapter>> PlugDemoAdapters(std::string* error,
                                                              const DemoNumberParser& parseNumber)
{
    const DemoNumberParser& parse = parseNumber ? parseNumber : DemoNumberParser(&ParseDecimal);
    // Each adapter's default bus devices, and the sensors of the register
    // maps that ship.
    std::vector<std::shared_ptr<CSimOrvAdapter>> adapters = {
        CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"OR3-100042"),
        CSimOrvAdapter::Plug(ESimOrvModel::Orv5, L"OR5-200107"),
        CSimOrvAdapter::Plug(ESimOrvModel::Orv7, L"OR7-300311"),
    };
    for (const auto& adapter : adapters) {
        if (!adapter)
            continue;
        adapter->AddDevice(CSimMcp9808::DEFAULT_ADDRESS, std::make_shared<CSimMcp9808>());
        adapter->AddDevice(CSimIna219::DEFAULT_ADDRESS, std::make_shared<CSimIna219>());
        adapter->AddDevice(CSimTmp102::DEFAULT_ADDRESS, std::make_shared<CSimTmp102>());
    }
    std::string problems;

    const std::string_view faultText = Variable(FAULT_VARIABLE);
    std::string faultWhy;
    const std::optional<SFault> fault = ParseFault(faultText, parse, &faultWhy);
    if (fault) {
        for (const auto& adapter : adapters) {
            if (adapter)
                adapter->SetFault(fault->kind, -1, fault->after);
        }
    } else if (!faultText.empty()) {
        problems += std::string(FAULT_VARIABLE) + "=\"" + std::string(faultText) +
                    "\" is not KIND[:AFTER]: give bus-error, arbitration-lost, no-answer or "
                    "unplug, and optionally the number of answer reports that pass before "
                    "the fault, e.g. bus-error:3" +
                    Because(faultWhy);
    }

    const std::string_view delayText = Variable(DELAY_VARIABLE);
    std::string delayWhy;
    const std::optional<uint64_t> delay = parse(delayText, MAX_DELAY_US, &delayWhy);
    if (delay) {
        for (const auto& adapter : adapters) {
            if (adapter)
                adapter->SetLatency(std::chrono::microseconds(static_cast<long long>(*delay)));
        }
    } else if (!delayText.empty()) {
        if (!problems.empty())
            problems += "; ";
        problems += std::string(DELAY_VARIABLE) + "=\"" + std::string(delayText) +
                    "\" is not a number of microseconds from 0 to " + std::to_string(MAX_DELAY_US) +
                    ", e.g. 1000" + Because(delayWhy);
    }

    if (error)
        *error = problems;
    return adapters;
}

double CDemoDrift::IlluminanceAt(std::chrono::duration<double> time)
{
    const double t = time.count();
    // A slow swing with a faster ripple, as a hand moving over the sensor.
    return 250.0 + 140.0 * std::sin(2 * std::numbers::pi * t / 20.0) +
           12.0 * std::sin(2 * std::numbers::pi * t / 1.7);
}

double CDemoDrift::TemperatureAt(std::chrono::duration<double> time)
{
    return 23.5 + 3.0 * std::sin(2 * std::numbers::pi * time.count() / 60.0);
}

CDemoDrift::CDemoDrift(std::vector<std::shared_ptr<CSimOrvAdapter>> adapters)
    : m_adapters(std::move(adapters))
{
    for (const auto& adapter : m_adapters)
        adapter->SetRecording(false);
    m_thread = std::jthread([this](std::stop_token stop) {
        const auto start = std::chrono::steady_clock::now();
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        while (!stop.stop_requested()) {
            const auto elapsed = std::chrono::steady_clock::now() - start;
            for (const auto& adapter : m_adapters) {
                if (auto light = adapter->DeviceAs<CSimBh1750>(CSimBh1750::DEFAULT_ADDRESS))
                    light->SetIlluminance(IlluminanceAt(elapsed));
                const double celsius = TemperatureAt(elapsed);
                if (auto thermometer = adapter->DeviceAs<CSimLm75>(CSimLm75::DEFAULT_ADDRESS))
                    thermometer->SetTemperature(celsius);
                if (auto thermometer = adapter->DeviceAs<CSimTmp102>(CSimTmp102::DEFAULT_ADDRESS))
                    thermometer->SetTemperature(celsius + 0.5);
                if (auto thermometer = adapter->DeviceAs<CSimMcp9808>(CSimMcp9808::DEFAULT_ADDRESS))
                    thermometer->SetTemperature(celsius - 1.0);
            }
            wake.wait_for(lock, stop, DRIFT_STEP, [] { return false; });
        }
    });
}

CDemoDrift::~CDemoDrift()
{
    m_thread.request_stop();
}
