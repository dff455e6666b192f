#include "sim/adapters/simbh1750.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr uint8_t POWER_DOWN = 0x00;
constexpr uint8_t POWER_ON = 0x01;
constexpr uint8_t RESET = 0x07;
constexpr uint8_t CONTINUOUS_H = 0x10;
constexpr uint8_t CONTINUOUS_H2 = 0x11;
constexpr uint8_t CONTINUOUS_L = 0x13;
constexpr uint8_t ONE_TIME_H = 0x20;
constexpr uint8_t ONE_TIME_H2 = 0x21;
constexpr uint8_t ONE_TIME_L = 0x23;
constexpr uint8_t MTREG_HIGH = 0x40; // 01000 hhh
constexpr uint8_t MTREG_LOW = 0x60;  // 011 lllll
constexpr uint8_t DEFAULT_MTREG = 69;
constexpr double COUNTS_PER_LUX = 1.2;
} // namespace

CSimBh1750::CSimBh1750(double lux) : m_lux(lux) {}

void CSimBh1750::SetIlluminance(double lux)
{
    std::lock_guard lock(m_mutex);
    m_lux = std::max(0.0, lux);
}

bool CSimBh1750::IsPoweredOn() const
{
    std::lock_guard lock(m_mutex);
    return m_poweredOn;
}

uint16_t CSimBh1750::DataRegister() const
{
    std::lock_guard lock(m_mutex);
    return m_continuous ? Measure(m_mode) : m_data;
}

bool CSimBh1750::Start(bool)
{
    std::lock_guard lock(m_mutex);
    m_readIndex = 0;
    if (m_continuous)
        m_data = Measure(m_mode);
    return true;
}

size_t CSimBh1750::Write(std::span<const uint8_t> bytes)
{
    std::lock_guard lock(m_mutex);
    for (uint8_t byte : bytes)
        Command(byte);
    return bytes.size();
}

void CSimBh1750::Read(std::span<uint8_t> out)
{
    std::lock_guard lock(m_mutex);
    for (uint8_t& byte : out) {
        if (m_readIndex == 0)
            byte = static_cast<uint8_t>(m_data >> 8);
        else if (m_readIndex == 1)
            byte = static_cast<uint8_t>(m_data & 0xFF);
        else
            byte = 0xFF;
        ++m_readIndex;
    }
}

void CSimBh1750::Stop() {}

void CSimBh1750::Command(uint8_t command)
{
    if ((command & 0xF8) == MTREG_HIGH) {
        m_measurementTime =
            static_cast<uint8_t>((m_measurementTime & 0x1F) | (command & 0x07) << 5);
        return;
    }
    if ((command & 0xE0) == MTREG_LOW) {
        m_measurementTime = static_cast<uint8_t>((m_measurementTime & 0xE0) | (command & 0x1F));
        return;
    }
    switch (command) {
    case POWER_DOWN:
        m_poweredOn = false;
        m_continuous = false;
        break;
    case POWER_ON:
        m_poweredOn = true;
        break;
    case RESET:
        // Only clears the measurement, and only while powered on.
        if (m_poweredOn)
            m_data = 0;
        break;
    case CONTINUOUS_H:
    case CONTINUOUS_H2:
    case CONTINUOUS_L:
        m_mode = command == CONTINUOUS_H    ? EMode::HighRes
                 : command == CONTINUOUS_H2 ? EMode::HighRes2
                                            : EMode::LowRes;
        m_poweredOn = true;
        m_continuous = true;
        m_data = Measure(m_mode);
        break;
    case ONE_TIME_H:
    case ONE_TIME_H2:
    case ONE_TIME_L:
        m_mode = command == ONE_TIME_H    ? EMode::HighRes
                 : command == ONE_TIME_H2 ? EMode::HighRes2
                                          : EMode::LowRes;
        m_data = Measure(m_mode);
        m_poweredOn = false;
        m_continuous = false;
        break;
    default:
        // Unknown opcodes are ignored, as by the chip.
        break;
    }
}

uint16_t CSimBh1750::Measure(EMode mode) const
{
    const double scale = COUNTS_PER_LUX * m_measurementTime / DEFAULT_MTREG;
    double counts = 0;
    switch (mode) {
    case EMode::None:
        return m_data;
    case EMode::HighRes:
        counts = m_lux * scale;
        break;
    case EMode::HighRes2:
        counts = m_lux * scale * 2;
        break;
    case EMode::LowRes:
        // 4 lx steps.
        counts = std::floor(m_lux / 4) * 4 * scale;
        break;
    }
    return static_cast<uint16_t>(std::clamp(std::lround(counts), 0L, 65535L));
}
