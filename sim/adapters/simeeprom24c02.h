#pragma once

#include "sim/adapters/simi2cdevice.h"

#include <array>
#include <mutex>
#include <vector>

// A 24C02-style EEPROM: 256 bytes behind a one-byte address pointer. A write
// sets the pointer with its first byte; further bytes go into the 8-byte page
// of the pointer, wrapping inside that page, and are stored at the stop
// condition (a repeated start drops them). Reads run on from the pointer and
// wrap at 256. A fresh device holds 0xFF everywhere.
class CSimEeprom24c02 : public CSimI2cDevice {
public:
    static constexpr uint8_t DEFAULT_ADDRESS = 0x50;
    static constexpr size_t SIZE = 256;
    static constexpr size_t PAGE_SIZE = 8;

    CSimEeprom24c02();

    std::array<uint8_t, SIZE> Contents() const;
    void SetContents(const std::array<uint8_t, SIZE>& contents);
    uint8_t AddressPointer() const;

    bool Start(bool read) override;
    size_t Write(std::span<const uint8_t> bytes) override;
    void Read(std::span<uint8_t> out) override;
    void Stop() override;

private:
    mutable std::mutex m_mutex;
    std::array<uint8_t, SIZE> m_memory;
    uint8_t m_pointer = 0;
    bool m_writing = false;
    bool m_pointerSet = false;
    // Bytes of the current page write, stored at the stop.
    std::vector<std::pair<uint8_t, uint8_t>> m_pending;
};
