#include "transactions/i2caddress.h"

#include "transactions/hexlines.h"

QString FormatI2cAddress(uint8_t address, bool eightBit)
{
    const uint8_t shown = eightBit ? static_cast<uint8_t>(address << 1) : address;
    return QStringLiteral("0x") + HexByte(shown);
}

std::optional<uint8_t> ParseI2cAddress(const QString& text, bool eightBit)
{
    QString digits = text.trimmed();
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits.remove(0, 2);
    if (digits.isEmpty())
        return std::nullopt;

    uint64_t value = 0;
    for (QChar c : digits) {
        const int digit = QStringLiteral("0123456789abcdef").indexOf(c.toLower());
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
    }

    if (eightBit)
        return value <= 0xFF ? std::optional<uint8_t>(static_cast<uint8_t>(value >> 1))
                             : std::nullopt;
    return value <= 0x7F ? std::optional<uint8_t>(static_cast<uint8_t>(value)) : std::nullopt;
}
