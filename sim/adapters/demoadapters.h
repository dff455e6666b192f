#pragma once

// The simulated hardware of the demo programs: one adapter of each model,
// Orvane3 OR3-100042, Orvane5 OR5-200107 and Orvane7 OR7-300311, each with
// an MCP9808 temperature sensor at 0x18, a BH1750 light sensor at 0x23, an
// INA219 current monitor at 0x40, an LM75 temperature sensor at 0x48, a
// TMP102 temperature sensor at 0x49 and a 24C02 EEPROM at 0x50 on its bus.
//
// Two environment variables shape them, for script authors and benchmarks:
//   PELLAN_SIM_FAULT=KIND[:AFTER]   KIND bus-error, arbitration-lost,
//       no-answer or unplug (or with underscores: bus_error), once AFTER
//       answer reports (default 0; one per write, one per 62 bytes read)
//       have passed, on every adapter;
//   PELLAN_SIM_REPORT_DELAY_US=N    each answer report takes N microseconds
//       (default 0; 1000 is full-speed USB).

#include "sim/adapters/simorvadapter.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Reads a decimal number of at most max from the text of a variable; none,
// with the reason in why, for anything else. A program that reads numbers
// with a parser of its own gives it, so that these read the same way.
using DemoNumberParser =
    std::function<std::optional<uint64_t>(std::string_view text, uint64_t max, std::string* why)>;

// Plugs the three adapters; they stay plugged while the result is held. One
// whose serial number is plugged already is left out (null).
// A variable that cannot be read is left out of effect and, when error is
// given, described there (empty when both were fine). The numbers are read
// with parseNumber, or as plain decimal digits without one.
std::vector<std::shared_ptr<CSimOrvAdapter>>
PlugDemoAdapters(std::string* error = nullptr, const DemoNumberParser& parseNumber = {});

// Lets the demo's sensors see a changing world while it lives, so that a
// watched value draws a curve: the light of each BH1750 swings between about
// 100 and 400 lx over 20 s, each LM75 warms and cools by three degrees
// around 23.5 over a minute, and the TMP102 and MCP9808 beside it follow
// a little warmer and cooler. Also switches off the recording of reports, which
// would grow for ever in a long session.
class CDemoDrift {
public:
    explicit CDemoDrift(std::vector<std::shared_ptr<CSimOrvAdapter>> adapters);
    ~CDemoDrift();
    CDemoDrift(const CDemoDrift&) = delete;
    CDemoDrift& operator=(const CDemoDrift&) = delete;

    // The sensor values at a time since the start.
    static double IlluminanceAt(std::chrono::duration<double> time);
    static double TemperatureAt(std::chrono::duration<double> time);

private:
    std::vector<std::shared_ptr<CSimOrvAdapter>> m_adapters;
    std::jthread m_thread;
};
