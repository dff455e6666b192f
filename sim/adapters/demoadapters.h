#pragma once

// The simulated hardware of the demo programs: one adapter of each model,
// Orvane3 OR3-100042, Orvane5 OR5-200107 and Orvane7 OR7-300311, each with a
// BH1750 light sensor at 0x23, an LM75 temperature sensor at 0x48 and a
// 24C02 EEPROM at 0x50 on its bus.

#include "sim/adapters/simorvadapter.h"

#include <memory>
#include <vector>

// Plugs the three adapters; they stay plugged while the result is held.
std::vector<std::shared_ptr<CSimOrvAdapter>> PlugDemoAdapters();
