#include "transactions/valuedecoding.h"

#include <QCoreApplication>

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("ValueDecoding", text);
}

struct SFormatInfo {
    const char* name;
    int bytes;
    bool isSigned;
    bool bigEndian;
};

// In the order of EValueFormat.
constexpr SFormatInfo FORMATS[] = {
    {"u8", 1, false, true},     {"s8", 1, true, true},      {"u16be", 2, false, true},
    {"u16le", 2, false, false}, {"s16be", 2, true, true},   {"s16le", 2, true, false},
    {"u24be", 3, false, true},  {"u24le", 3, false, false}, {"u32be", 4, false, true},
    {"u32le", 4, false, false}, {"s32be", 4, true, true},   {"s32le", 4, true, false},
};

const SFormatInfo& infoOf(EValueFormat format)
{
    return FORMATS[static_cast<int>(format)];
}

std::optional<double> parseNumber(const QString& text)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// A number, or a fraction of two numbers such as 1/1.2.
std::optional<double> parseScale(const QString& text)
{
    const qsizetype slash = text.indexOf(QLatin1Char('/'));
    if (slash < 0)
        return parseNumber(text);
    const auto numerator = parseNumber(text.left(slash));
    const auto denominator = parseNumber(text.mid(slash + 1));
    if (!numerator || !denominator || *denominator == 0)
        return std::nullopt;
    const double value = *numerator / *denominator;
    return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

std::optional<uint32_t> parseMask(const QString& text)
{
    QString digits = text.trimmed();
    int base = 10;
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        digits = digits.mid(2);
        base = 16;
    }
    bool ok = false;
    const qulonglong value = digits.toULongLong(&ok, base);
    if (!ok || value > UINT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::optional<int> parseInt(const QString& text, int min, int max)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

QStringList ValueFormatNames()
{
    QStringList names;
    for (const SFormatInfo& info : FORMATS)
        names.append(QLatin1String(info.name));
    return names;
}

QString ValueFormatName(EValueFormat format)
{
    return QLatin1String(infoOf(format).name);
}

std::optional<EValueFormat> ParseValueFormat(const QString& name)
{
    const QString wanted = name.trimmed().toLower();
    for (int i = 0; i < static_cast<int>(std::size(FORMATS)); ++i) {
        if (wanted == QLatin1String(FORMATS[i].name))
            return static_cast<EValueFormat>(i);
    }
    return std::nullopt;
}

int ValueFormatBytes(EValueFormat format)
{
    return infoOf(format).bytes;
}

bool IsValueFormatSigned(EValueFormat format)
{
    return infoOf(format).isSigned;
}

std::optional<SDecodingRule> ParseDecodingRule(const SDecodingTexts& texts, QString* error)
{
    SDecodingRule rule;
    rule.format = EValueFormat::U16Be;
    if (!texts.format.trimmed().isEmpty()) {
        const auto format = ParseValueFormat(texts.format);
        if (!format) {
            fail(error,
                 tr("Unknown format \"%1\". Use one of %2.")
                     .arg(texts.format.trimmed(), ValueFormatNames().join(QLatin1String(", "))));
            return std::nullopt;
        }
        rule.format = *format;
    }
    const int bits = 8 * ValueFormatBytes(rule.format);
    if (!texts.shift.trimmed().isEmpty()) {
        const auto shift = parseInt(texts.shift, 0, INT32_MAX);
        if (!shift) {
            fail(error, tr("Invalid shift \"%1\". Enter a number of bits, e.g. 7.")
                            .arg(texts.shift.trimmed()));
            return std::nullopt;
        }
        if (*shift >= bits) {
            fail(error, tr("A shift of %1 bits is past the %2 bits of %3.")
                            .arg(*shift)
                            .arg(bits)
                            .arg(ValueFormatName(rule.format)));
            return std::nullopt;
        }
        rule.shift = *shift;
    }
    if (!texts.mask.trimmed().isEmpty()) {
        rule.mask = parseMask(texts.mask);
        if (!rule.mask) {
            fail(error, tr("Invalid mask \"%1\". Enter a 32-bit number, e.g. 0x0FFF.")
                            .arg(texts.mask.trimmed()));
            return std::nullopt;
        }
    }
    if (!texts.scale.trimmed().isEmpty()) {
        const auto scale = parseScale(texts.scale);
        if (!scale) {
            fail(error, tr("Invalid scale \"%1\". Enter a number or a fraction, e.g. 0.5 or 1/1.2.")
                            .arg(texts.scale.trimmed()));
            return std::nullopt;
        }
        rule.scale = *scale;
    }
    if (!texts.offset.trimmed().isEmpty()) {
        const auto offset = parseNumber(texts.offset);
        if (!offset) {
            fail(
                error,
                tr("Invalid offset \"%1\". Enter a number, e.g. -40.").arg(texts.offset.trimmed()));
            return std::nullopt;
        }
        rule.offset = *offset;
    }
    rule.unit = texts.unit.trimmed();
    if (!texts.decimals.trimmed().isEmpty()) {
        const auto decimals = parseInt(texts.decimals, 0, DECODING_DECIMALS_MAX);
        if (!decimals) {
            fail(error, tr("Invalid number of decimals \"%1\". Enter 0 to %2.")
                            .arg(texts.decimals.trimmed())
                            .arg(DECODING_DECIMALS_MAX));
            return std::nullopt;
        }
        rule.decimals = *decimals;
    }
    return rule;
}

std::optional<double> DecodeValue(const SDecodingRule& rule, const std::vector<uint8_t>& data,
                                  QString* error)
{
    const SFormatInfo& info = infoOf(rule.format);
    if (data.size() < static_cast<size_t>(info.bytes)) {
        const QString name = QLatin1String(info.name);
        fail(error, info.bytes == 1
                        ? tr("%1 needs 1 byte but the read gave %2.").arg(name).arg(data.size())
                        : tr("%1 needs %2 bytes but the read gave %3.")
                              .arg(name)
                              .arg(info.bytes)
                              .arg(data.size()));
        return std::nullopt;
    }
    const int bits = 8 * info.bytes;
    if (rule.shift < 0 || rule.shift >= bits) {
        fail(error, tr("A shift of %1 bits is past the %2 bits of %3.")
                        .arg(rule.shift)
                        .arg(bits)
                        .arg(QLatin1String(info.name)));
        return std::nullopt;
    }

    uint32_t bitsValue = 0;
    for (int i = 0; i < info.bytes; ++i) {
        const uint8_t byte = data[static_cast<size_t>(info.bigEndian ? i : info.bytes - 1 - i)];
        bitsValue = (bitsValue << 8) | byte;
    }
    int64_t value = bitsValue;
    if (info.isSigned && (bitsValue >> (bits - 1)) & 1)
        value -= int64_t{1} << bits;
    // Right shift of a negative value is arithmetic in C++20.
    value >>= rule.shift;
    if (rule.mask) {
        value = static_cast<int64_t>(static_cast<uint64_t>(value) & *rule.mask);
        const int width = static_cast<int>(std::bit_width(*rule.mask));
        const bool lowBits = (uint64_t{*rule.mask} & (uint64_t{*rule.mask} + 1)) == 0;
        if (rule.maskSigned && lowBits && width > 0 && (value >> (width - 1)) & 1)
            value -= int64_t{1} << width;
    }
    return static_cast<double>(value) * rule.scale + rule.offset;
}

QString FormatDecodedNumber(const SDecodingRule& rule, double value)
{
    QString text = QString::number(value, 'f', rule.decimals);
    // A value that rounds to zero shows no sign.
    if (text.startsWith(QLatin1Char('-')) && std::none_of(text.cbegin(), text.cend(), [](QChar c) {
            return c >= QLatin1Char('1') && c <= QLatin1Char('9');
        }))
        text.remove(0, 1);
    return text;
}

QString FormatDecodedValue(const SDecodingRule& rule, double value)
{
    const QString number = FormatDecodedNumber(rule, value);
    return rule.unit.isEmpty() ? number : number + QLatin1Char(' ') + rule.unit;
}
