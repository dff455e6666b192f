#pragma once

// Inside of the simulated stack: what a hid_device pointer points to.

#include "sim/simhid.h"

#include <hidapi.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <string>
#include <vector>

struct SSimPendingReport {
    CSimHidDevice::Clock::time_point due;
    std::vector<uint8_t> bytes;
};

struct hid_device_ {
    std::shared_ptr<CSimHidDevice> device;

    // Guarded by the device's mutex; sorted by due time.
    std::deque<SSimPendingReport> queue;
    std::condition_variable inputReady;

    // Touched only by the thread calling on the handle, as in hidapi.
    bool nonBlocking = false;
    std::wstring error;
    std::wstring readError;

    // hid_get_device_info points into these.
    hid_device_info info{};
    std::string path;
    std::wstring serialNumber;
    std::wstring manufacturer;
    std::wstring product;
};
