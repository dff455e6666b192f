#pragma once

#include "sim/adapters/simpointerchip.h"

// An INA219 current and power monitor: configuration (0, reset 0x399F),
// shunt voltage (1, 10 µV steps), bus voltage (2, 4 mV steps in 15:3 with
// the conversion-ready and overflow bits), power (3), current (4) and
// calibration (5, bit 0 always 0), two bytes each. Current is shunt voltage
// x calibration / 4096 and power current x bus voltage / 5000, both 0 until
// a calibration is written. Reading power clears conversion-ready, writing
// the configuration (a new conversion) sets it, and its reset bit resets
// every register.
class CSimIna219 : public CSimPointerChip {
public:
    // A1 and A0 to ground.
    static constexpr uint8_t DEFAULT_ADDRESS = 0x40;
    static constexpr uint16_t CONFIGURATION_RESET = 0x399F;

    // 5 V on the bus, 25 mA through a 0.1 ohm shunt.
    CSimIna219();

    void SetBusVoltage(double volts);
    void SetShuntVoltage(double millivolts);
    uint16_t Configuration() const;
    uint16_t Calibration() const;

protected:
    int RegisterBytes(uint8_t reg) const override;
    uint16_t ReadRegister(uint8_t reg) override;
    bool WriteRegister(uint8_t reg, uint16_t value) override;

private:
    int ShuntSteps() const;
    int CurrentSteps() const;

    double m_busVolts = 5.0;
    double m_shuntMillivolts = 2.5;
    uint16_t m_configuration = CONFIGURATION_RESET;
    uint16_t m_calibration = 0;
    bool m_ready = true;
};
