#pragma once

#include "i2c/orvi2c.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// An adapter model of the Orvane family.
enum class EOrvType : int32_t {
    Orv3 = 0,
    Orv5 = 1,
    Orv7 = 2,
};

// One attached adapter.
struct SOrvDeviceEntry {
    EOrvType type = EOrvType::Orv3;
    std::wstring serialNumber;
};

// The one place that knows the adapter models.
class COrvDeviceFactory {
public:
    // Every attached adapter: all Orvane3 by serial number, then all
    // Orvane5, then all Orvane7. Opens no device.
    static std::vector<SOrvDeviceEntry> EnumerateDevices();
    // A new, unconnected adapter object of that model; empty for an
    // unknown model.
    static std::unique_ptr<COrvI2c> Create(EOrvType type);
};
