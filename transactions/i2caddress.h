#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// Address texts of a 7-bit I2C address, in the 7-bit form (0x23) or the
// 8-bit write form, the address shifted left by one (0x46).

// "0x" and two upper-case hex digits of the address in the chosen form.
QString FormatI2cAddress(uint8_t address, bool eightBit);

// The 7-bit address a text names: hex with or without "0x" (the one place
// where a number without 0x is hex), 0x00 to 0x7F in the 7-bit form, 0x00 to
// 0xFF in the 8-bit form (the read/write bit is dropped). Empty for anything
// else, with ParseNumber's reason in error.
std::optional<uint8_t> ParseI2cAddress(const QString& text, bool eightBit,
                                       QString* error = nullptr);
