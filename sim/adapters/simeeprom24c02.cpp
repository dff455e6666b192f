#include "sim/adapters/simeeprom24c02.h"

CSimEeprom24c02::CSimEeprom24c02()
{
    m_memory.fill(0xFF);
}

std::array<uint8_t, CSimEeprom24c02::SIZE> CSimEeprom24c02::Contents() const
{
    std::lock_guard lock(m_mutex);
    return m_memory;
}

void CSimEeprom24c02::SetContents(const std::array<uint8_t, SIZE>& contents)
{
    std::lock_guard lock(m_mutex);
    m_memory = contents;
}

uint8_t CSimEeprom24c02::AddressPointer() const
{
    std::lock_guard lock(m_mutex);
    return m_pointer;
}

bool CSimEeprom24c02::Start(bool read)
{
    std::lock_guard lock(m_mutex);
    m_pending.clear();
    m_writing = !read;
    m_pointerSet = false;
    return true;
}

size_t CSimEeprom24c02::Write(std::span<const uint8_t> bytes)
{
    std::lock_guard lock(m_mutex);
    for (uint8_t byte : bytes) {
        if (!m_pointerSet) {
            m_pointer = byte;
            m_pointerSet = true;
            continue;
        }
        m_pending.emplace_back(m_pointer, byte);
        const auto page = static_cast<uint8_t>(m_pointer & ~(PAGE_SIZE - 1));
        m_pointer = static_cast<uint8_t>(page | ((m_pointer + 1) & (PAGE_SIZE - 1)));
    }
    return bytes.size();
}

void CSimEeprom24c02::Read(std::span<uint8_t> out)
{
    std::lock_guard lock(m_mutex);
    for (uint8_t& byte : out) {
        byte = m_memory[m_pointer];
        m_pointer = static_cast<uint8_t>(m_pointer + 1);
    }
}

void CSimEeprom24c02::Stop()
{
    std::lock_guard lock(m_mutex);
    if (m_writing) {
        for (const auto& [address, value] : m_pending)
            m_memory[address] = value;
    }
    m_pending.clear();
    m_writing = false;
}
