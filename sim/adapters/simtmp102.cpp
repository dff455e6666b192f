#include "sim/adapters/simtmp102.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr uint8_t REG_TEMPERATURE = 0;
constexpr uint8_t REG_CONFIGURATION = 1;
constexpr uint8_t REG_LOW = 2;
constexpr uint8_t REG_HIGH = 3;

constexpr uint16_t BIT_OS = 0x8000;
constexpr uint16_t BIT_POL = 0x0400;
constexpr uint16_t BIT_AL = 0x0020;
constexpr uint16_t BIT_EM = 0x0010;
// R1 R0, AL and the low nibble cannot be written; OS only starts a conversion.
constexpr uint16_t WRITABLE = 0x1FD0;
} // namespace

CSimTmp102::CSimTmp102(double celsius) : m_celsius(celsius)
{
    UpdateAlert();
}

void CSimTmp102::SetTemperature(double celsius)
{
    std::lock_guard lock(m_mutex);
    m_celsius = std::clamp(celsius, -55.0, 150.0);
    UpdateAlert();
}

uint16_t CSimTmp102::Configuration() const
{
    std::lock_guard lock(m_mutex);
    return m_configuration;
}

int CSimTmp102::RegisterBytes(uint8_t reg) const
{
    return reg <= REG_HIGH ? 2 : 0;
}

uint16_t CSimTmp102::ReadRegister(uint8_t reg)
{
    switch (reg) {
    case REG_TEMPERATURE: {
        // Normal mode tops out at 128 degrees less a step.
        const int max = Extended() ? 4095 : 2047;
        const int steps = std::clamp(static_cast<int>(std::lround(m_celsius * 16)), -max - 1, max);
        return static_cast<uint16_t>(Encode(steps) | (Extended() ? 1 : 0));
    }
    case REG_CONFIGURATION:
        return m_configuration;
    case REG_LOW:
        return Encode(m_low);
    default:
        return Encode(m_high);
    }
}

bool CSimTmp102::WriteRegister(uint8_t reg, uint16_t value)
{
    const int shift = Extended() ? 3 : 4;
    switch (reg) {
    case REG_TEMPERATURE:
        return false;
    case REG_CONFIGURATION:
        // A one-shot conversion ends at once here, and OS reads 0 again.
        m_configuration =
            static_cast<uint16_t>((m_configuration & ~WRITABLE) | (value & WRITABLE & ~BIT_OS));
        break;
    case REG_LOW:
        m_low = static_cast<int16_t>(value) >> shift;
        break;
    default:
        m_high = static_cast<int16_t>(value) >> shift;
        break;
    }
    UpdateAlert();
    return true;
}

bool CSimTmp102::Extended() const
{
    return (m_configuration & BIT_EM) != 0;
}

uint16_t CSimTmp102::Encode(int steps) const
{
    return static_cast<uint16_t>(static_cast<uint16_t>(steps) << (Extended() ? 3 : 4));
}

void CSimTmp102::UpdateAlert()
{
    const int steps = static_cast<int>(std::lround(m_celsius * 16));
    if (steps >= m_high)
        m_alert = true;
    else if (steps < m_low)
        m_alert = false;
    const bool activeHigh = (m_configuration & BIT_POL) != 0;
    const bool level = m_alert == activeHigh;
    m_configuration =
        static_cast<uint16_t>(level ? m_configuration | BIT_AL : m_configuration & ~BIT_AL);
}
