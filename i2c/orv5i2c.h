#pragma once

#include "i2c/orvi2c.h"

#include <string>
#include <vector>

// The Orvane5: 50, 100 and 400 kbit/s, reads of up to 256
// bytes, switchable pull-ups. It can not send an address-only write, so its
// probe reads one byte instead.
class COrv5i2c : public COrvI2c {
public:
    COrv5i2c();

    // Serial numbers of the attached Orvane5 adapters, sorted, each once.
    // False when the HID enumeration failed.
    static bool EnumerateDevices(std::vector<std::wstring>& serialNumbers);

    // Refuses a one-byte write with start and stop ("Address-only write is
    // not supported by the Orvane5") without sending anything.
    bool Write(const std::vector<uint8_t>& data, SI2cWriteResult& result, bool generateStart,
               bool generateStop) override;
    // True when a one-byte read from the address succeeds.
    bool Probe(uint8_t address) override;
    std::wstring GetTypeName() const override;
    bool IsSpeedSupported(EI2cSpeed speed) const override;
    size_t GetMaxReadCount() const override;
    bool HasPullUpSwitch() const override;
    bool IsAddressOnlyWriteSupported() const override;
    // Stores the choice; while connected it is applied at once, and a failed
    // reconfiguration restores the previous choice.
    bool SetPullUpsEnabled(bool enabled) override;
    bool GetPullUpsEnabled() const override;

protected:
    uint8_t GetEnableFlags(EI2cSpeed speed) const override;
    void FillReadRequest(std::vector<uint8_t>& report, uint8_t address,
                         size_t count) const override;
    // Leaves I2C mode and enters it again with the new flags.
    bool ApplyConfiguration(EI2cSpeed speed) override;
};
