#pragma once

#include "sim/adapters/simi2cdevice.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

// A chip made to order for tests and benchmarks: byte registers behind a
// pointer of one to four bytes (most significant first), in banks that a bank
// select register chooses, with status bits that a written 1 clears and
// registers whose read clears them. A write's first bytes set the pointer,
// the rest are stored from it on; reads run from the pointer. The pointer
// advances by one a byte where the chip auto-increments, and with an
// increment flag only when the flag was in the pointer written (without the
// flag a multi-byte read repeats one register). Registers not set are
// missing: their pointer is not acknowledged.
struct SSimRegisterFileOptions {
    int pointerBytes = 1;
    bool autoIncrement = true;
    uint32_t incrementFlag = 0;
    // The register whose value selects the bank of all others; it is in
    // every bank.
    std::optional<uint32_t> bankSelect;
};

class CSimRegisterFile : public CSimI2cDevice {
public:
    explicit CSimRegisterFile(SSimRegisterFileOptions options = {});

    // Makes the register exist in the bank, with a value.
    void SetRegister(uint32_t address, uint8_t value, uint8_t bank = 0);
    uint8_t Register(uint32_t address, uint8_t bank = 0) const;
    // Written ones clear these bits of the register instead of setting them.
    void SetWriteOneToClear(uint32_t address, uint8_t mask, uint8_t bank = 0);
    // A read of the register clears it.
    void SetReadClears(uint32_t address, uint8_t bank = 0);
    uint8_t Bank() const;

    bool Start(bool read) override;
    size_t Write(std::span<const uint8_t> bytes) override;
    void Read(std::span<uint8_t> out) override;
    void Stop() override;

private:
    using Key = std::pair<uint8_t, uint32_t>; // bank, address
    Key KeyOf(uint32_t address) const;
    void Advance();

    const SSimRegisterFileOptions m_options;
    mutable std::mutex m_mutex;
    std::map<Key, uint8_t> m_registers;
    std::map<Key, uint8_t> m_writeOneToClear;
    std::set<Key> m_readClears;
    uint8_t m_bank = 0;
    uint32_t m_pointer = 0;
    bool m_increment = false;
    int m_pointerBytesSeen = 0;
    uint32_t m_pointerWritten = 0;
};
