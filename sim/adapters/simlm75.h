#pragma once

#include "sim/adapters/simi2cdevice.h"

#include <mutex>

// An LM75 temperature sensor: a pointer byte selects temperature (0, read
// only), configuration (1, one byte), hysteresis (2) or overtemperature (3)
// (two bytes each, MSB first, 0.5 degree steps in bits 15-7). Bytes written
// after the pointer go to the selected register; reads repeat the register.
class CSimLm75 : public CSimI2cDevice {
public:
    static constexpr uint8_t DEFAULT_ADDRESS = 0x48;

    explicit CSimLm75(double celsius = 23.5);

    void SetTemperature(double celsius);
    uint8_t Configuration() const;
    uint8_t Pointer() const;

    bool Start(bool read) override;
    size_t Write(std::span<const uint8_t> bytes) override;
    void Read(std::span<uint8_t> out) override;
    void Stop() override;

private:
    uint16_t RegisterValue(uint8_t reg) const;

    mutable std::mutex m_mutex;
    double m_celsius;
    uint8_t m_pointer = 0;
    uint8_t m_configuration = 0;
    uint16_t m_hysteresis = 0x4B00;      // 75 degrees
    uint16_t m_overTemperature = 0x5000; // 80 degrees
    bool m_pointerSet = false;
    size_t m_byteIndex = 0;
};
