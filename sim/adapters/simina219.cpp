#include "sim/adapters/simina219.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr uint8_t REG_CONFIG = 0;
constexpr uint8_t REG_SHUNT = 1;
constexpr uint8_t REG_BUS = 2;
constexpr uint8_t REG_POWER = 3;
constexpr uint8_t REG_CURRENT = 4;
constexpr uint8_t REG_CALIBRATION = 5;

constexpr uint16_t BIT_RESET = 0x8000;
constexpr uint16_t CONFIG_BITS = 0x3FFF;
constexpr uint16_t BIT_READY = 0x0002;
constexpr uint16_t BIT_OVERFLOW = 0x0001;
} // namespace

CSimIna219::CSimIna219() = default;

void CSimIna219::SetBusVoltage(double volts)
{
    std::lock_guard lock(m_mutex);
    m_busVolts = std::clamp(volts, 0.0, 32.0);
}

void CSimIna219::SetShuntVoltage(double millivolts)
{
    std::lock_guard lock(m_mutex);
    m_shuntMillivolts = std::clamp(millivolts, -320.0, 320.0);
}

uint16_t CSimIna219::Configuration() const
{
    std::lock_guard lock(m_mutex);
    return m_configuration;
}

uint16_t CSimIna219::Calibration() const
{
    std::lock_guard lock(m_mutex);
    return m_calibration;
}

int CSimIna219::RegisterBytes(uint8_t reg) const
{
    return reg <= REG_CALIBRATION ? 2 : 0;
}

int CSimIna219::ShuntSteps() const
{
    // The gain's range: 40 mV at /1 up to 320 mV at /8.
    const int range = 4000 << ((m_configuration >> 11) & 0x03);
    return std::clamp(static_cast<int>(std::lround(m_shuntMillivolts * 100)), -range, range);
}

int CSimIna219::CurrentSteps() const
{
    return std::clamp(ShuntSteps() * static_cast<int>(m_calibration) / 4096, -32768, 32767);
}

uint16_t CSimIna219::ReadRegister(uint8_t reg)
{
    const int bus = std::clamp(static_cast<int>(std::lround(m_busVolts * 250)), 0, 8191);
    const long power = std::labs(static_cast<long>(CurrentSteps()) * bus / 5000);
    switch (reg) {
    case REG_CONFIG:
        return m_configuration;
    case REG_SHUNT:
        return static_cast<uint16_t>(ShuntSteps());
    case REG_BUS:
        return static_cast<uint16_t>(bus << 3 | (m_ready ? BIT_READY : 0) |
                                     (power > 0xFFFF ? BIT_OVERFLOW : 0));
    case REG_POWER:
        m_ready = false;
        return static_cast<uint16_t>(std::min(power, 0xFFFFL));
    case REG_CURRENT:
        return static_cast<uint16_t>(CurrentSteps());
    default:
        return m_calibration;
    }
}

bool CSimIna219::WriteRegister(uint8_t reg, uint16_t value)
{
    switch (reg) {
    case REG_CONFIG:
        if (value & BIT_RESET) {
            m_configuration = CONFIGURATION_RESET;
            m_calibration = 0;
        } else {
            m_configuration = value & CONFIG_BITS;
        }
        m_ready = true;
        return true;
    case REG_CALIBRATION:
        m_calibration = value & 0xFFFE;
        return true;
    default:
        // The measurements are read only.
        return false;
    }
}
