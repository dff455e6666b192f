#pragma once

#include "sim/adapters/simpointerchip.h"

// An MCP9808 temperature sensor: configuration (1), upper, lower and
// critical limits (2 to 4, 0.25 °C steps in bits 12:2), ambient temperature
// (5: comparison flags in 15:13, 0.0625 °C steps in 12:0), manufacturer ID
// 0x0054 (6), device ID 0x04 with revision 0x00 (7), two bytes each, and the
// one-byte resolution register (8, reset 0x03). Register 0 is reserved and
// reads 0. The lock bits of the configuration cannot be cleared and keep the
// limits they lock, the hysteresis and the shutdown bit as they are; the
// interrupt clear bit reads 0, the alert status bit cannot be written.
class CSimMcp9808 : public CSimPointerChip {
public:
    // A2..A0 to ground.
    static constexpr uint8_t DEFAULT_ADDRESS = 0x18;
    static constexpr uint16_t MANUFACTURER_ID = 0x0054;
    static constexpr uint16_t DEVICE_ID = 0x0400;

    explicit CSimMcp9808(double celsius = 22.5);

    void SetTemperature(double celsius);
    uint16_t Configuration() const;

protected:
    int RegisterBytes(uint8_t reg) const override;
    uint16_t ReadRegister(uint8_t reg) override;
    bool WriteRegister(uint8_t reg, uint16_t value) override;

private:
    double m_celsius;
    uint16_t m_configuration = 0;
    uint16_t m_upper = 0;
    uint16_t m_lower = 0;
    uint16_t m_critical = 0;
    uint8_t m_resolution = 0x03;
};
