#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// A number as the i2c-tools take registers, values and masks: hex after
// "0x" or "0X", octal after a leading 0, decimal otherwise; blanks around it
// allowed, no sign. Empty for anything else and above max.
std::optional<uint32_t> ParseI2cNumber(const QString& text, uint32_t max = UINT32_MAX);
