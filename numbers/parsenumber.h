#pragma once

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

// How a number is written.
enum class ENumberSyntax {
    // As the i2c-tools take registers, values, masks and lengths (strtol with
    // base 0): hex after "0x" or "0X", octal after a leading 0, decimal
    // otherwise. "0x10", "16" and "020" are the same.
    I2cTools,
    // Hex digits with or without "0x": addresses and the hex-only fields.
    Hex,
    // Decimal digits alone; a leading 0 is no octal prefix.
    Decimal,
};

// The value of text in the syntax, 0 to maximum. Nothing, with the reason in
// error (a clause such as "\"g\" is not a hex digit"), for an empty text,
// blanks around or inside it, a sign, a character that is no digit of the
// base, and a value above maximum (an overflow included).
std::optional<uint64_t> ParseNumber(QStringView text, ENumberSyntax syntax, uint64_t maximum,
                                    QString* error = nullptr);

// The largest value as the reasons show it: "255 (0xff)", "0xff" or "255".
QString FormatNumberLimit(uint64_t maximum, ENumberSyntax syntax);
