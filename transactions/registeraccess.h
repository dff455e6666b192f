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

// The byte a masked write stores: the value's bits where the mask has ones,
// the old byte's elsewhere.
uint8_t MaskedValue(uint8_t value, uint8_t mask, uint8_t old);

// The steps of a register write, in their order.
enum class ERegisterSetStep {
    None,     // nothing failed
    OldValue, // the read of the old byte, for a mask: nothing was written
    Write,    // the write itself
    Readback, // the read-back, or the comparison of what it read: written
};

// A register write as i2cset makes it, with the old byte read first for a
// mask and the values read back afterwards when asked.
struct SRegisterSet {
    std::optional<SRegisterRead> old;      // the old byte, for a mask
    std::optional<SI2cTransaction> write;  // none when reading the old byte failed
    std::optional<SRegisterRead> readback; // none when not asked or the write failed
    std::vector<uint8_t> written;          // the values as written, masked
    // The first offset whose byte read back differs from the one written.
    std::optional<size_t> mismatch;

    bool ok() const;
    // The transaction that failed, or null (also for a mismatch).
    const SI2cTransaction* failure() const;
    // The step that failed (a mismatch is the read-back's).
    ERegisterSetStep failedStep() const;
    // Whether the values went to the device.
    bool isWritten() const { return write && write->ok; }
};

// Writes values to register reg. With a mask (for a single value only) the
// old byte is read first and the value masked into it; with readback the
// same number of bytes is read back from reg and compared. Stops at the first
// failure. Counts must be within the adapter's read limit, checked by the
// caller before anything is sent.
SRegisterSet RunRegisterSet(COrvI2c& adapter, uint8_t address, uint32_t reg, int width,
                            const std::vector<uint8_t>& values, std::optional<uint8_t> mask,
                            bool readback);
