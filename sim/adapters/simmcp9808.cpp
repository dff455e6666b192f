#include "sim/adapters/simmcp9808.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr uint8_t REG_RESERVED = 0;
constexpr uint8_t REG_CONFIG = 1;
constexpr uint8_t REG_UPPER = 2;
constexpr uint8_t REG_LOWER = 3;
constexpr uint8_t REG_CRITICAL = 4;
constexpr uint8_t REG_AMBIENT = 5;
constexpr uint8_t REG_MANUFACTURER = 6;
constexpr uint8_t REG_DEVICE = 7;
constexpr uint8_t REG_RESOLUTION = 8;

constexpr uint16_t LIMIT_BITS = 0x1FFC;
constexpr uint16_t HYSTERESIS_AND_SHUTDOWN = 0x0700;
constexpr uint16_t CRIT_LOCK = 0x0080;
constexpr uint16_t WIN_LOCK = 0x0040;
constexpr uint16_t INT_CLEAR = 0x0020;
constexpr uint16_t ALERT_STAT = 0x0010;
constexpr uint16_t ALERT_BITS = 0x000F;

// A limit register's value as a temperature in 1/16 degree.
int LimitSteps(uint16_t value)
{
    // Bits 12:2 hold a signed count of quarter degrees.
    int quarters = (value >> 2) & 0x7FF;
    if (quarters & 0x400)
        quarters -= 0x800;
    return quarters * 4;
}
} // namespace

CSimMcp9808::CSimMcp9808(double celsius) : m_celsius(celsius) {}

void CSimMcp9808::SetTemperature(double celsius)
{
    std::lock_guard lock(m_mutex);
    m_celsius = std::clamp(celsius, -40.0, 125.0);
}

uint16_t CSimMcp9808::Configuration() const
{
    std::lock_guard lock(m_mutex);
    return m_configuration;
}

int CSimMcp9808::RegisterBytes(uint8_t reg) const
{
    if (reg == REG_RESOLUTION)
        return 1;
    return reg < REG_RESOLUTION ? 2 : 0;
}

uint16_t CSimMcp9808::ReadRegister(uint8_t reg)
{
    switch (reg) {
    case REG_CONFIG:
        return m_configuration;
    case REG_UPPER:
        return m_upper;
    case REG_LOWER:
        return m_lower;
    case REG_CRITICAL:
        return m_critical;
    case REG_AMBIENT: {
        // Coarser resolutions leave the low bits 0.
        const int dropped = 3 - (m_resolution & 0x03);
        int steps = static_cast<int>(std::lround(m_celsius * 16 / (1 << dropped))) * (1 << dropped);
        steps = std::clamp(steps, -4096, 4095);
        uint16_t value = static_cast<uint16_t>(steps) & 0x1FFF;
        if (steps >= LimitSteps(m_critical))
            value |= 0x8000;
        if (steps > LimitSteps(m_upper))
            value |= 0x4000;
        if (steps < LimitSteps(m_lower))
            value |= 0x2000;
        return value;
    }
    case REG_MANUFACTURER:
        return MANUFACTURER_ID;
    case REG_DEVICE:
        return DEVICE_ID;
    case REG_RESOLUTION:
        return m_resolution;
    case REG_RESERVED:
    default:
        return 0;
    }
}

bool CSimMcp9808::WriteRegister(uint8_t reg, uint16_t value)
{
    const bool critLocked = (m_configuration & CRIT_LOCK) != 0;
    const bool winLocked = (m_configuration & WIN_LOCK) != 0;
    switch (reg) {
    case REG_CONFIG: {
        uint16_t next = m_configuration & ALERT_STAT;
        next |= value & ALERT_BITS;
        // The locks only ever set; while one is set, hysteresis and shutdown stay.
        next |= (m_configuration | value) & (CRIT_LOCK | WIN_LOCK);
        next |= ((critLocked || winLocked) ? m_configuration : value) & HYSTERESIS_AND_SHUTDOWN;
        if (value & INT_CLEAR)
            next &= ~ALERT_STAT;
        m_configuration = next;
        return true;
    }
    case REG_UPPER:
    case REG_LOWER:
        if (!winLocked)
            (reg == REG_UPPER ? m_upper : m_lower) = value & LIMIT_BITS;
        return true;
    case REG_CRITICAL:
        if (!critLocked)
            m_critical = value & LIMIT_BITS;
        return true;
    case REG_RESOLUTION:
        m_resolution = static_cast<uint8_t>(value & 0x03);
        return true;
    default:
        // Ambient temperature and the IDs are read only.
        return false;
    }
}
