#pragma once

#include "sim/adapters/simpointerchip.h"

// A TMP102 temperature sensor: temperature (0, read only), configuration
// (1, reset 0x60A0), low limit (2, reset 75 °C) and high limit (3, reset
// 80 °C), two bytes each. Temperatures have 12 bits in 15:4, 0.0625 °C a
// step; in extended mode (configuration bit EM) 13 bits in 15:3, and bit 0 of
// the temperature reads 1. The resolution bits R1 R0 and the alert bit AL
// are read only; AL follows the limits in comparator mode (low while the
// temperature has reached the high limit and not yet fallen below the low
// one, with POL = 0).
class CSimTmp102 : public CSimPointerChip {
public:
    // ADD0 to V+ (0x48 with ADD0 to ground).
    static constexpr uint8_t DEFAULT_ADDRESS = 0x49;
    static constexpr uint16_t CONFIGURATION_RESET = 0x60A0;

    explicit CSimTmp102(double celsius = 24.0);

    void SetTemperature(double celsius);
    uint16_t Configuration() const;

protected:
    int RegisterBytes(uint8_t reg) const override;
    uint16_t ReadRegister(uint8_t reg) override;
    bool WriteRegister(uint8_t reg, uint16_t value) override;

private:
    bool Extended() const;
    // A temperature in steps of 1/16 degree as the register holds it.
    uint16_t Encode(int steps) const;
    void UpdateAlert();

    double m_celsius;
    uint16_t m_configuration = CONFIGURATION_RESET;
    int m_low = 75 * 16; // in 1/16 degree
    int m_high = 80 * 16;
    bool m_alert = false;
};
