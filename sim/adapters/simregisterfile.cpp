#include "sim/adapters/simregisterfile.h"

CSimRegisterFile::CSimRegisterFile(SSimRegisterFileOptions options) : m_options(options) {}

CSimRegisterFile::Key CSimRegisterFile::KeyOf(uint32_t address) const
{
    if (m_options.bankSelect && address == *m_options.bankSelect)
        return {0, address};
    return {m_bank, address};
}

void CSimRegisterFile::SetRegister(uint32_t address, uint8_t value, uint8_t bank)
{
    std::lock_guard lock(m_mutex);
    m_registers[{bank, address}] = value;
}

uint8_t CSimRegisterFile::Register(uint32_t address, uint8_t bank) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_registers.find({bank, address});
    return it == m_registers.end() ? 0 : it->second;
}

void CSimRegisterFile::SetWriteOneToClear(uint32_t address, uint8_t mask, uint8_t bank)
{
    std::lock_guard lock(m_mutex);
    m_writeOneToClear[{bank, address}] = mask;
}

void CSimRegisterFile::SetReadClears(uint32_t address, uint8_t bank)
{
    std::lock_guard lock(m_mutex);
    m_readClears.insert({bank, address});
}

uint8_t CSimRegisterFile::Bank() const
{
    std::lock_guard lock(m_mutex);
    return m_bank;
}

bool CSimRegisterFile::Start(bool)
{
    std::lock_guard lock(m_mutex);
    m_pointerBytesSeen = 0;
    m_pointerWritten = 0;
    return true;
}

void CSimRegisterFile::Advance()
{
    if (m_increment)
        ++m_pointer;
}

size_t CSimRegisterFile::Write(std::span<const uint8_t> bytes)
{
    std::lock_guard lock(m_mutex);
    size_t accepted = 0;
    for (uint8_t byte : bytes) {
        if (m_pointerBytesSeen < m_options.pointerBytes) {
            m_pointerWritten = (m_pointerWritten << 8) | byte;
            if (++m_pointerBytesSeen == m_options.pointerBytes) {
                const uint32_t flag = m_options.incrementFlag;
                m_pointer = m_pointerWritten & ~flag;
                m_increment = m_options.autoIncrement && (flag == 0 || (m_pointerWritten & flag));
                if (!m_registers.contains(KeyOf(m_pointer)))
                    return accepted;
            }
        } else {
            const Key key = KeyOf(m_pointer);
            const auto it = m_registers.find(key);
            if (it == m_registers.end())
                return accepted;
            const auto w1c = m_writeOneToClear.find(key);
            const uint8_t clears = w1c == m_writeOneToClear.end() ? 0 : w1c->second;
            it->second = static_cast<uint8_t>((byte & ~clears) | (it->second & clears & ~byte));
            if (m_options.bankSelect && m_pointer == *m_options.bankSelect)
                m_bank = byte;
            Advance();
        }
        ++accepted;
    }
    return accepted;
}

void CSimRegisterFile::Read(std::span<uint8_t> out)
{
    std::lock_guard lock(m_mutex);
    for (uint8_t& byte : out) {
        const Key key = KeyOf(m_pointer);
        const auto it = m_registers.find(key);
        byte = it == m_registers.end() ? 0xFF : it->second;
        if (it != m_registers.end() && m_readClears.contains(key))
            it->second = 0;
        Advance();
    }
}

void CSimRegisterFile::Stop() {}
