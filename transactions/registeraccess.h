#pragma once

// Register access as most I2C devices offer it: a register pointer of one to
// four bytes, sent most significant byte first, then data. A register read
// writes the pointer with a start and no stop, then reads after a repeated
// start; a register write sends the pointer and the values in one write with
// a start and a stop.

#include "transactions/i2ctransaction.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class COrvI2c;

inline constexpr int REGISTER_WIDTH_MIN = 1;
inline constexpr int REGISTER_WIDTH_MAX = 4;

bool IsRegisterWidthValid(int width);
// The largest register a pointer of this width can name.
uint32_t MaxRegister(int width);
// The register fits a pointer of this width (and the width is valid).
bool RegisterFits(uint32_t reg, int width);
// The pointer bytes, most significant first. The register must fit.
std::vector<uint8_t> RegisterPointerBytes(uint32_t reg, int width);

// The transactions of one register read, in the order they went to the bus.
struct SRegisterRead {
    // The pointer write, mode Start; none when the read went to the
    // device's current pointer.
    std::optional<SI2cTransaction> pointer;
    // The read after the repeated start; none when the pointer write failed
    // and nothing was read.
    std::optional<SI2cTransaction> read;

    bool ok() const { return (!pointer || pointer->ok) && read && read->ok; }
    // The bytes read; empty unless ok.
    std::vector<uint8_t> data() const;
    // The transaction that failed, or null when ok.
    const SI2cTransaction* failure() const;
};

// Reads count bytes from register reg. The count must be within the
// adapter's read limit, which the caller checks before anything is sent.
SRegisterRead RunRegisterRead(COrvI2c& adapter, uint8_t address, uint32_t reg, int width,
                              size_t count);
// Reads count bytes at the device's current pointer (no pointer write).
SRegisterRead RunCurrentRead(COrvI2c& adapter, uint8_t address, size_t count);
// Writes values to register reg: one write, mode Auto, of the pointer bytes
// then the values. The transaction's data holds the pointer and the values.
SI2cTransaction RunRegisterWrite(COrvI2c& adapter, uint8_t address, uint32_t reg, int width,
                                 const std::vector<uint8_t>& values);
