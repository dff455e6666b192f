#include "sim/adapters/simpointerchip.h"

#include <algorithm>

uint8_t CSimPointerChip::Pointer() const
{
    std::lock_guard lock(m_mutex);
    return m_pointer;
}

bool CSimPointerChip::Start(bool)
{
    std::lock_guard lock(m_mutex);
    m_pointerSet = false;
    m_index = 0;
    m_pending = 0;
    return true;
}

size_t CSimPointerChip::Write(std::span<const uint8_t> bytes)
{
    std::lock_guard lock(m_mutex);
    size_t accepted = 0;
    for (uint8_t byte : bytes) {
        if (!m_pointerSet) {
            if (RegisterBytes(byte) == 0)
                return accepted;
            m_pointer = byte;
            m_pointerSet = true;
        } else {
            const int width = RegisterBytes(m_pointer);
            if (m_index >= width)
                return accepted;
            m_pending = static_cast<uint16_t>((m_pending << 8) | byte);
            if (++m_index == width && !WriteRegister(m_pointer, m_pending))
                return accepted;
        }
        ++accepted;
    }
    return accepted;
}

void CSimPointerChip::Read(std::span<uint8_t> out)
{
    std::lock_guard lock(m_mutex);
    const int width = std::max(RegisterBytes(m_pointer), 1);
    if (m_index == 0)
        m_latched = ReadRegister(m_pointer);
    for (uint8_t& byte : out) {
        const int index = m_index++ % width;
        byte = static_cast<uint8_t>(width == 2 && index == 0 ? m_latched >> 8 : m_latched & 0xFF);
    }
}

void CSimPointerChip::Stop() {}
