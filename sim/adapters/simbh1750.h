#pragma once

#include "sim/adapters/simi2cdevice.h"

#include <mutex>

// The BH1750 ambient light sensor: power on 0x01, power down 0x00, reset
// 0x07, continuous measurement 0x10 / 0x11 / 0x13, one-time measurement
// 0x20 / 0x21 / 0x23 (then powered down again), and the measurement time
// register (0x40-0x47 high bits, 0x60-0x7F low bits). A read gives the
// measurement big-endian, lux = value / 1.2 in the H-resolution modes.
// Measurements complete at once.
class CSimBh1750 : public CSimI2cDevice {
public:
    static constexpr uint8_t DEFAULT_ADDRESS = 0x23;

    explicit CSimBh1750(double lux = 250.0);

    // The light the sensor sees from now on.
    void SetIlluminance(double lux);
    bool IsPoweredOn() const;
    // The measurement a read returns now.
    uint16_t DataRegister() const;

    bool Start(bool read) override;
    size_t Write(std::span<const uint8_t> bytes) override;
    void Read(std::span<uint8_t> out) override;
    void Stop() override;

private:
    enum class EMode { None, HighRes, HighRes2, LowRes };

    void Command(uint8_t command);
    uint16_t Measure(EMode mode) const;

    mutable std::mutex m_mutex;
    double m_lux;
    bool m_poweredOn = false;
    bool m_continuous = false;
    EMode m_mode = EMode::None;
    uint8_t m_measurementTime = 69;
    uint16_t m_data = 0;
    size_t m_readIndex = 0;
};
