#include "transactions/i2cnumber.h"

std::optional<uint32_t> ParseI2cNumber(const QString& text, uint32_t max)
{
    QStringView digits = QStringView(text).trimmed();
    int base = 10;
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        base = 16;
        digits = digits.mid(2);
    } else if (digits.size() > 1 && digits.front() == u'0') {
        base = 8;
        digits = digits.mid(1);
    }
    if (digits.isEmpty())
        return std::nullopt;

    uint64_t value = 0;
    for (QChar c : digits) {
        const int digit = QStringLiteral("0123456789abcdef").indexOf(c.toLower());
        if (digit < 0 || digit >= base)
            return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > max)
            return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}
