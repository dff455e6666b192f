#include "sim/adapters/simlm75.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr uint8_t REG_TEMPERATURE = 0;
constexpr uint8_t REG_CONFIGURATION = 1;
constexpr uint8_t REG_HYSTERESIS = 2;
constexpr uint8_t REG_OVER_TEMPERATURE = 3;
} // namespace

CSimLm75::CSimLm75(double celsius) : m_celsius(celsius) {}

void CSimLm75::SetTemperature(double celsius)
{
    std::lock_guard lock(m_mutex);
    m_celsius = std::clamp(celsius, -55.0, 125.0);
}

uint8_t CSimLm75::Configuration() const
{
    std::lock_guard lock(m_mutex);
    return m_configuration;
}

uint8_t CSimLm75::Pointer() const
{
    std::lock_guard lock(m_mutex);
    return m_pointer;
}

bool CSimLm75::Start(bool)
{
    std::lock_guard lock(m_mutex);
    m_pointerSet = false;
    m_byteIndex = 0;
    return true;
}

size_t CSimLm75::Write(std::span<const uint8_t> bytes)
{
    std::lock_guard lock(m_mutex);
    size_t accepted = 0;
    for (uint8_t byte : bytes) {
        if (!m_pointerSet) {
            if (byte > REG_OVER_TEMPERATURE)
                return accepted;
            m_pointer = byte;
            m_pointerSet = true;
        } else if (m_pointer == REG_CONFIGURATION) {
            if (m_byteIndex > 0)
                return accepted;
            m_configuration = byte;
            ++m_byteIndex;
        } else if (m_pointer == REG_HYSTERESIS || m_pointer == REG_OVER_TEMPERATURE) {
            if (m_byteIndex > 1)
                return accepted;
            uint16_t& value = m_pointer == REG_HYSTERESIS ? m_hysteresis : m_overTemperature;
            value = m_byteIndex == 0 ? static_cast<uint16_t>(byte << 8)
                                     : static_cast<uint16_t>((value & 0xFF00) | (byte & 0x80));
            ++m_byteIndex;
        } else {
            // The temperature register is read only.
            return accepted;
        }
        ++accepted;
    }
    return accepted;
}

void CSimLm75::Read(std::span<uint8_t> out)
{
    std::lock_guard lock(m_mutex);
    const uint16_t value = RegisterValue(m_pointer);
    const size_t width = m_pointer == REG_CONFIGURATION ? 1 : 2;
    for (uint8_t& byte : out) {
        const size_t index = m_byteIndex++ % width;
        byte = width == 1 ? static_cast<uint8_t>(value)
                          : static_cast<uint8_t>(index == 0 ? value >> 8 : value & 0xFF);
    }
}

void CSimLm75::Stop() {}

uint16_t CSimLm75::RegisterValue(uint8_t reg) const
{
    switch (reg) {
    case REG_TEMPERATURE: {
        const long halves = std::lround(m_celsius * 2);
        return static_cast<uint16_t>(static_cast<uint16_t>(halves) << 7);
    }
    case REG_CONFIGURATION:
        return m_configuration;
    case REG_HYSTERESIS:
        return m_hysteresis;
    default:
        return m_overTemperature;
    }
}
