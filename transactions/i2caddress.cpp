#include "transactions/i2caddress.h"

#include "numbers/parsenumber.h"
#include "transactions/hexlines.h"

QString FormatI2cAddress(uint8_t address, bool eightBit)
{
    const uint8_t shown = eightBit ? static_cast<uint8_t>(address << 1) : address;
    return QStringLiteral("0x") + HexByte(shown);
}

std::optional<uint8_t> ParseI2cAddress(const QString& text, bool eightBit, QString* error)
{
    const std::optional<uint64_t> value =
        ParseNumber(text, ENumberSyntax::Hex, eightBit ? 0xFF : 0x7F, error);
    if (!value)
        return std::nullopt;
    return static_cast<uint8_t>(eightBit ? *value >> 1 : *value);
}
