#pragma once

// A register map read from a device and laid out as i2cdump lays out its
// byte mode.

#include "transactions/i2ctransaction.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class COrvI2c;

enum class ERegisterDumpMode {
    // Every byte its own register read, for devices whose pointer does not
    // increment.
    Byte,
    // One register read per block, as large as the adapter reads, for
    // devices whose pointer increments.
    Block,
    // One pointer write, then one-byte reads without a pointer.
    Consecutive,
};

// The most registers one dump covers: a 64 KiB memory behind a two-byte
// pointer.
inline constexpr uint32_t REGISTER_DUMP_MAX_COUNT = 65536;

// A byte of the map that could not be read.
inline constexpr int REGISTER_FAILED = -1;

struct SRegisterDump {
    uint32_t first = 0;
    uint32_t last = 0;
    // From first to last: the byte read, or REGISTER_FAILED.
    std::vector<int> values;
    size_t failed = 0; // entries that are REGISTER_FAILED
    // The transaction that ended the dump, or else the first that failed,
    // and the register it was for.
    std::optional<SI2cTransaction> failure;
    uint32_t failureRegister = 0;
    // The dump ended at failureRegister because the adapter stopped
    // answering (a timeout) or went away; the registers after it count as
    // failed without a try.
    bool stopped = false;

    bool ok() const { return failed == 0; }
};

// After each read of a dump: the dump so far, whose first done values are
// final (read or failed), so that they can be shown before it ends.
using RegisterDumpProgress = std::function<void(const SRegisterDump& dump, size_t done)>;

// Reads registers first to last (at most REGISTER_DUMP_MAX_COUNT of them,
// each fitting a pointer of width bytes, as the caller checks) from the
// device at address. A failed byte leaves REGISTER_FAILED and the dump goes
// on, except after a timeout or with the adapter gone.
SRegisterDump RunRegisterDump(COrvI2c& adapter, uint8_t address, uint32_t first, uint32_t last,
                              int width, ERegisterDumpMode mode,
                              const RegisterDumpProgress& progress = {});

// i2cdump's byte-mode grid of the registers first to last (values as in
// SRegisterDump): a header, then one row per 16 registers that holds one of
// them, prefixed with the row's first register in as many hex digits as last
// needs (at least two). A cell is "%02x " for a byte, "XX " for a failed one
// and three blanks outside the range; after three blanks the text column:
// "." for 0x00 and 0xFF, "?" for other bytes below 0x20 or from 0x7F, the
// character otherwise, "X" for a failed byte, a blank before the range and
// nothing after it. Every line ends with a newline.
QString FormatRegisterDump(uint32_t first, uint32_t last, const std::vector<int>& values);
// The same grid in parts, for a dump shown as it is read: the header line,
// and the row that begins at register row (a multiple of 16 from first's
// row to last's).
QString FormatRegisterDumpHeader(uint32_t last);
QString FormatRegisterDumpRow(uint32_t first, uint32_t last, const std::vector<int>& values,
                              uint32_t row);
