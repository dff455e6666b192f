#include "transactions/valuedecoding.h"

#include "numbers/parsenumber.h"

#include <QCoreApplication>
#include <QLocale>

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

// Blanks around it are refused, as ParseNumber refuses them.
std::optional<double> parseNumber(const QString& text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || text.trimmed().size() != text.size())
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
    if (!texts.shift.isEmpty()) {
        QString reason;
        const auto shift = ParseNumber(texts.shift, ENumberSyntax::I2cTools, INT32_MAX, &reason);
        if (!shift) {
            fail(error, tr("Invalid shift \"%1\": %2. Enter a number of bits, e.g. 7.")
                            .arg(texts.shift, reason));
            return std::nullopt;
        }
        if (*shift >= static_cast<uint64_t>(bits)) {
            fail(error, tr("A shift of %1 bits is past the %2 bits of %3.")
                            .arg(*shift)
                            .arg(bits)
                            .arg(ValueFormatName(rule.format)));
            return std::nullopt;
        }
        rule.shift = static_cast<int>(*shift);
    }
    if (!texts.mask.isEmpty()) {
        QString reason;
        const auto mask = ParseNumber(texts.mask, ENumberSyntax::I2cTools, UINT32_MAX, &reason);
        if (!mask) {
            fail(error, tr("Invalid mask \"%1\": %2. Enter a 32-bit number, e.g. 0x0FFF.")
                            .arg(texts.mask, reason));
            return std::nullopt;
        }
        // Bits past the format would let a sign extension through: an s16 value
        // masked with 0x1FF00 is 17 bits wide.
        if (bits < 32 && (*mask >> bits) != 0) {
            fail(error, tr("The mask %1 has bits past the %2 bits of %3.")
                            .arg(texts.mask)
                            .arg(bits)
                            .arg(ValueFormatName(rule.format)));
            return std::nullopt;
        }
        rule.mask = static_cast<uint32_t>(*mask);
    }
    if (texts.maskSigned) {
        // Its top bit is the sign: the mask must be a run of low bits.
        const uint64_t mask = rule.mask.value_or(0);
        if (mask == 0 || (mask & (mask + 1)) != 0) {
            fail(error, rule.mask ? tr("The mask %1 is not a run of low bits, e.g. 0x1FF, so the "
                                       "value it leaves cannot be signed.")
                                        .arg(texts.mask)
                                  : tr("A signed masked value needs a mask of low bits, e.g. "
                                       "0x1FF."));
            return std::nullopt;
        }
        rule.maskSigned = true;
    }
    if (!texts.scale.isEmpty()) {
        const auto scale = parseScale(texts.scale);
        if (!scale) {
            fail(error, tr("Invalid scale \"%1\". Enter a number or a fraction, e.g. 0.5 or 1/1.2.")
                            .arg(texts.scale));
            return std::nullopt;
        }
        rule.scale = *scale;
    }
    if (!texts.offset.isEmpty()) {
        const auto offset = parseNumber(texts.offset);
        if (!offset) {
            fail(error, tr("Invalid offset \"%1\". Enter a number, e.g. -40.").arg(texts.offset));
            return std::nullopt;
        }
        rule.offset = *offset;
    }
    rule.unit = texts.unit.trimmed();
    // A sample is one line of a log: a line break or tab in the unit would
    // split it or shift its columns.
    if (std::any_of(rule.unit.cbegin(), rule.unit.cend(), [](QChar c) {
            return c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
                   c == QChar::ParagraphSeparator;
        })) {
        fail(error, tr("The unit holds a control character (a line break, a tab or the like), "
                       "which would break the line of a sample. Enter it as plain text, e.g. "
                       "°C."));
        return std::nullopt;
    }
    if (!texts.decimals.isEmpty()) {
        QString reason;
        const auto decimals =
            ParseNumber(texts.decimals, ENumberSyntax::I2cTools, DECODING_DECIMALS_MAX, &reason);
        if (!decimals) {
            fail(error, tr("Invalid number of decimals \"%1\": %2. Enter 0 to %3.")
                            .arg(texts.decimals, reason)
                            .arg(DECODING_DECIMALS_MAX));
            return std::nullopt;
        }
        rule.decimals = static_cast<int>(*decimals);
    }
    return rule;
}

SDecodingTexts DecodingRuleTexts(const SDecodingRule& rule)
{
    const auto number = [](double value) {
        return QString::number(value, 'g', QLocale::FloatingPointShortest);
    };
    SDecodingTexts texts;
    texts.format = ValueFormatName(rule.format);
    if (rule.shift != 0)
        texts.shift = QString::number(rule.shift);
    if (rule.mask)
        texts.mask = QStringLiteral("0x") + QString::number(*rule.mask, 16).toUpper();
    // Decoding ignores the sign of a mask that is not a run of low bits.
    const uint64_t mask = rule.mask.value_or(0);
    texts.maskSigned = rule.maskSigned && mask != 0 && (mask & (mask + 1)) == 0;
    if (rule.scale != 1.0)
        texts.scale = number(rule.scale);
    if (rule.offset != 0.0)
        texts.offset = number(rule.offset);
    texts.unit = rule.unit;
    texts.decimals = QString::number(rule.decimals);
    return texts;
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
    const double decoded = static_cast<double>(value) * rule.scale + rule.offset;
    // A scale or offset near the largest double can overflow to infinity,
    // which is no reading.
    if (!std::isfinite(decoded)) {
        fail(error, tr("%1 x %2 + %3 is beyond the largest number.")
                        .arg(value)
                        .arg(rule.scale)
                        .arg(rule.offset));
        return std::nullopt;
    }
    return decoded;
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
