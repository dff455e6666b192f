#pragma once

#include "i2c/orvi2c.h"

#include <string>
#include <vector>

// The Orvane3: all five speeds, reads of up to 65535 bytes, fixed pull-ups.
class COrv3i2c : public COrvI2c {
public:
    COrv3i2c();

    // Serial numbers of the attached Orvane3 adapters, sorted, each once.
    // False when the HID enumeration failed.
    static bool EnumerateDevices(std::vector<std::wstring>& serialNumbers);

    std::wstring GetTypeName() const override;
    bool IsSpeedSupported(EI2cSpeed speed) const override;
    size_t GetMaxReadCount() const override;

protected:
    // For models that share the Orvane3's protocol under another identity.
    COrv3i2c(uint16_t productId, int interfaceNumber);

    uint8_t GetEnableFlags(EI2cSpeed speed) const override;
    void FillReadRequest(std::vector<uint8_t>& report, uint8_t address,
                         size_t count) const override;
};
