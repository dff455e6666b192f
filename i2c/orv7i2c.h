#pragma once

#include "i2c/orv3i2c.h"

#include <string>
#include <vector>

// The Orvane7: the Orvane3's protocol under its own product ID and name.
class COrv7i2c : public COrv3i2c {
public:
    COrv7i2c();

    // Serial numbers of the attached Orvane7 adapters, sorted, each once.
    // False when the HID enumeration failed.
    static bool EnumerateDevices(std::vector<std::wstring>& serialNumbers);

    std::wstring GetTypeName() const override;
};
