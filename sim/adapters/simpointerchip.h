#pragma once

#include "sim/adapters/simi2cdevice.h"

#include <mutex>

// A chip of the common kind: a write's first byte selects a register of one
// or two bytes, most significant first; the bytes after it set the register
// once all have come, and reads return it over and over (the pointer does not
// advance). The chip's own registers are its subclass's; their state is
// guarded by m_mutex, which every call here holds.
class CSimPointerChip : public CSimI2cDevice {
public:
    uint8_t Pointer() const;

    bool Start(bool read) override;
    size_t Write(std::span<const uint8_t> bytes) override;
    void Read(std::span<uint8_t> out) override;
    void Stop() override;

protected:
    // Bytes of the register, 1 or 2; 0 when there is none, so that its
    // pointer is not acknowledged.
    virtual int RegisterBytes(uint8_t reg) const = 0;
    // The value a read returns, taken once per read transaction (a read
    // with a side effect has it once).
    virtual uint16_t ReadRegister(uint8_t reg) = 0;
    // Stores a written value; false leaves its last byte unacknowledged
    // (a read-only register).
    virtual bool WriteRegister(uint8_t reg, uint16_t value) = 0;

    mutable std::mutex m_mutex;

private:
    uint8_t m_pointer = 0;
    bool m_pointerSet = false;
    int m_index = 0;
    uint16_t m_pending = 0;
    uint16_t m_latched = 0;
};
