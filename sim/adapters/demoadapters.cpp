#include "sim/adapters/demoadapters.h"

#include "sim/adapters/simbh1750.h"
#include "sim/adapters/simlm75.h"

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <numbers>

namespace {
constexpr auto DRIFT_STEP = std::chrono::milliseconds(50);
} // namespace

std::vector<std::shared_ptr<CSimOrvAdapter>> PlugDemoAdapters()
{
    // The bus devices are each adapter's default ones.
    return {
        CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"OR3-100042"),
        CSimOrvAdapter::Plug(ESimOrvModel::Orv5, L"OR5-200107"),
        CSimOrvAdapter::Plug(ESimOrvModel::Orv7, L"OR7-300311"),
    };
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
                if (auto thermometer = adapter->DeviceAs<CSimLm75>(CSimLm75::DEFAULT_ADDRESS))
                    thermometer->SetTemperature(TemperatureAt(elapsed));
            }
            wake.wait_for(lock, stop, DRIFT_STEP, [] { return false; });
        }
    });
}

CDemoDrift::~CDemoDrift()
{
    m_thread.request_stop();
}
