#include "transactions/registercodec.h"

#include "numbers/parsenumber.h"

#include <algorithm>
#include <cmath>

namespace {

bool Refuse(SMapError* error, EMapErrorKind kind, const QString& text)
{
    if (error)
        *error = {kind, text};
    return false;
}

EValueFormat UnsignedFormat(const SMapRegister& reg)
{
    const bool big = reg.byteOrder == EMapByteOrder::Big;
    switch (reg.bytes) {
    case 1:
        return EValueFormat::U8;
    case 2:
        return big ? EValueFormat::U16Be : EValueFormat::U16Le;
    case 3:
        return big ? EValueFormat::U24Be : EValueFormat::U24Le;
    default:
        return big ? EValueFormat::U32Be : EValueFormat::U32Le;
    }
}

// The field's lowest and highest value of its bits, as whole numbers.
std::pair<int64_t, int64_t> BitsRange(const SMapField& field)
{
    if (field.isSigned) {
        const int64_t half = int64_t{1} << (field.Width() - 1);
        return {-half, half - 1};
    }
    return {0, static_cast<int64_t>(field.ValueMask())};
}

QString NumberText(const SMapField& field, double number)
{
    SDecodingRule rule;
    rule.decimals = field.decimals;
    rule.unit = field.unit;
    // Enough decimals for the number given, if it has more than the field.
    QString text = QString::number(number, 'g', 12);
    const qsizetype point = text.indexOf(QLatin1Char('.'));
    if (point >= 0 && !text.contains(QLatin1Char('e')))
        rule.decimals = std::max(rule.decimals, static_cast<int>(text.size() - point - 1));
    return FormatDecodedValue(rule, number);
}

// The decoded number without the noise of binary fractions (3 x 0.1 gives
// 0.30000000000000004): rounded to the decimals that show every step of the
// scale and offset exactly, where so few do. Not -0 either.
double CleanNumber(const SMapField& field, double number)
{
    if (const std::optional<int> decimals = ExactStepDecimals(field.scale, field.offset)) {
        const double factor = std::pow(10.0, *decimals);
        // Past 2^52 every double is whole already at this factor.
        if (std::abs(number * factor) < 0x1p52)
            number = std::round(number * factor) / factor;
    }
    return number + 0.0;
}

QString Hex(uint64_t value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper();
}

} // namespace

uint32_t RegisterValueFromBytes(const SMapRegister& reg, std::span<const uint8_t> bytes)
{
    uint32_t value = 0;
    const size_t count = static_cast<size_t>(reg.bytes);
    for (size_t i = 0; i < count && i < bytes.size(); ++i) {
        const size_t index = reg.byteOrder == EMapByteOrder::Big ? i : count - 1 - i;
        value = (value << 8) | bytes[index];
    }
    return value;
}

std::vector<uint8_t> RegisterValueBytes(const SMapRegister& reg, uint32_t value)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(reg.bytes));
    for (size_t i = 0; i < bytes.size(); ++i) {
        const size_t shift = 8 * (reg.byteOrder == EMapByteOrder::Big ? bytes.size() - 1 - i : i);
        bytes[i] = static_cast<uint8_t>(value >> shift);
    }
    return bytes;
}

QString RegisterValueText(const SMapRegister& reg, uint32_t value)
{
    return QStringLiteral("0x") + QStringLiteral("%1")
                                      .arg(value & reg.Mask(), 2 * reg.bytes, 16, QLatin1Char('0'))
                                      .toUpper();
}

SDecodingRule FieldDecodingRule(const SMapRegister& reg, const SMapField& field)
{
    SDecodingRule rule;
    rule.format = UnsignedFormat(reg);
    rule.shift = field.lsb;
    rule.mask = field.ValueMask();
    rule.maskSigned = field.isSigned;
    rule.scale = field.scale;
    rule.offset = field.offset;
    rule.unit = field.unit;
    rule.decimals = field.decimals;
    return rule;
}

uint32_t FieldBits(const SMapField& field, uint32_t registerValue)
{
    return (registerValue >> field.lsb) & field.ValueMask();
}

uint32_t WithFieldBits(const SMapField& field, uint32_t registerValue, uint32_t bits)
{
    return (registerValue & ~field.Mask()) | ((bits & field.ValueMask()) << field.lsb);
}

SFieldReading DecodeField(const SMapRegister& reg, const SMapField& field, uint32_t registerValue)
{
    SFieldReading reading;
    if (!field.IsReadable()) {
        reading.readable = false;
        reading.text = QStringLiteral("write-only");
        return reading;
    }
    reading.bits = FieldBits(field, registerValue);
    const SDecodingRule rule = FieldDecodingRule(reg, field);
    reading.number = CleanNumber(
        field, DecodeValue(rule, RegisterValueBytes(reg, registerValue), nullptr).value_or(0));
    if (const QString* label = field.LabelOf(reading.bits))
        reading.label = *label;
    reading.text = reading.HasLabel() ? reading.label : FormatDecodedValue(rule, reading.number);
    // Steps finer than the decimals show: a reading that would show as 0
    // takes significant digits instead.
    const double shown = 0.5 * std::pow(10.0, -field.decimals);
    if (!reading.HasLabel() && reading.number != 0 && std::abs(reading.number) < shown &&
        std::abs(field.scale) < shown) {
        reading.text = QString::number(reading.number, 'g', 6);
        if (!field.unit.isEmpty())
            reading.text += QLatin1Char(' ') + field.unit;
    }
    return reading;
}

std::vector<SFieldReading> DecodeFields(const SMapRegister& reg, uint32_t registerValue)
{
    std::vector<SFieldReading> readings;
    readings.reserve(reg.fields.size());
    for (const SMapField& field : reg.fields)
        readings.push_back(DecodeField(reg, field, registerValue));
    return readings;
}

SFieldRange FieldRange(const SMapField& field)
{
    const auto [low, high] = BitsRange(field);
    double first = static_cast<double>(low) * field.scale + field.offset;
    double last = static_cast<double>(high) * field.scale + field.offset;
    if (first > last)
        std::swap(first, last);
    return {first, last, std::abs(field.scale)};
}

QJsonValue FieldReadingValue(const SFieldReading& reading)
{
    if (!reading.readable)
        return QJsonValue(QJsonValue::Null);
    return reading.HasLabel() ? QJsonValue(reading.label) : QJsonValue(reading.number);
}

QJsonObject RegisterReadingJson(const SMapRegister& reg, uint32_t value)
{
    QJsonObject fields;
    for (const SMapField& field : reg.fields) {
        const SFieldReading reading = DecodeField(reg, field, value);
        fields.insert(field.name, QJsonObject{{QStringLiteral("value"), FieldReadingValue(reading)},
                                              {QStringLiteral("text"), reading.text}});
    }
    return QJsonObject{{QStringLiteral("register"), reg.name},
                       {QStringLiteral("address"), static_cast<qint64>(reg.address)},
                       {QStringLiteral("raw"), RegisterValueText(reg, value)},
                       {QStringLiteral("fields"), fields}};
}

std::optional<uint32_t> EncodeFieldNumber(const SMapRegister& reg, const SMapField& field,
                                          double number, SMapError* error)
{
    const QString path = reg.name + QLatin1Char('.') + field.name;
    const double steps = (number - field.offset) / field.scale;
    if (!std::isfinite(number) || !std::isfinite(steps)) {
        Refuse(error, EMapErrorKind::BadValue, QStringLiteral("%1: not a number").arg(path));
        return std::nullopt;
    }
    const double rounded = std::round(steps);
    // Relative to the largest number in the sum, so that a number shown with
    // a large offset and a fine scale still reads back as its step.
    const double tolerance =
        1e-9 * std::max({1.0, std::abs(steps), std::abs(field.offset / field.scale)});
    if (std::abs(steps - rounded) > tolerance) {
        Refuse(error, EMapErrorKind::BadValue,
               QStringLiteral("%1: %2 is not a multiple of its step of %3%4")
                   .arg(path, NumberText(field, number), NumberText(field, field.scale),
                        field.offset == 0
                            ? QString()
                            : QStringLiteral(" from %1").arg(NumberText(field, field.offset))));
        return std::nullopt;
    }
    const auto [low, high] = BitsRange(field);
    if (rounded < static_cast<double>(low) || rounded > static_cast<double>(high)) {
        double first = static_cast<double>(low) * field.scale + field.offset;
        double last = static_cast<double>(high) * field.scale + field.offset;
        if (first > last)
            std::swap(first, last);
        Refuse(error, EMapErrorKind::BadValue,
               QStringLiteral("%1: %2 is outside what its %3 bit(s) hold, %4 to %5")
                   .arg(path, NumberText(field, number))
                   .arg(field.Width())
                   .arg(NumberText(field, first), NumberText(field, last)));
        return std::nullopt;
    }
    return static_cast<uint32_t>(static_cast<int64_t>(rounded)) & field.ValueMask();
}

std::optional<uint32_t> EncodeFieldBits(const SMapRegister& reg, const SMapField& field,
                                        uint64_t bits, SMapError* error)
{
    if (bits > field.ValueMask()) {
        Refuse(error, EMapErrorKind::BadValue,
               QStringLiteral("%1.%2: %3 does not fit its %4 bit(s) (at most %5)")
                   .arg(reg.name, field.name, Hex(bits))
                   .arg(field.Width())
                   .arg(Hex(field.ValueMask())));
        return std::nullopt;
    }
    return static_cast<uint32_t>(bits);
}

std::optional<uint32_t> EncodeFieldLabel(const SMapRegister& reg, const SMapField& field,
                                         QStringView label, SMapError* error)
{
    if (const SMapLabel* found = field.FindLabel(label))
        return found->value;
    const QString path = reg.name + QLatin1Char('.') + field.name;
    if (field.labels.empty()) {
        Refuse(error, EMapErrorKind::BadValue,
               QStringLiteral("%1: \"%2\" is not a number, and the field has no labels")
                   .arg(path, label.toString()));
        return std::nullopt;
    }
    QStringList texts;
    for (const SMapLabel& known : field.labels)
        texts << QLatin1Char('"') + known.text + QLatin1Char('"');
    if (texts.size() > 12) {
        QStringList names;
        for (const SMapLabel& known : field.labels)
            names << known.text;
        texts.clear();
        for (const QString& near : NearNames(names, label, 5))
            texts << QLatin1Char('"') + near + QLatin1Char('"');
    }
    Refuse(error, EMapErrorKind::BadValue,
           QStringLiteral("%1: \"%2\" is no label of the field%3")
               .arg(path, label.toString(),
                    texts.isEmpty() ? QString()
                                    : QStringLiteral("; give a number or one of ") +
                                          texts.join(QStringLiteral(", "))));
    return std::nullopt;
}

std::optional<double> MapNumber(QStringView text)
{
    text = text.trimmed();
    if (text.isEmpty() || text.startsWith(u"0x", Qt::CaseInsensitive))
        return std::nullopt;
    // Only the characters of a decimal number: "inf", "nan" and the like are
    // left to the labels.
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (!((u >= u'0' && u <= u'9') || u == u'.' || u == u'-' || u == u'+' || u == u'e' ||
              u == u'E'))
            return std::nullopt;
    }
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

namespace {

std::optional<uint64_t> HexNumber(QStringView text)
{
    text = text.trimmed();
    if (!text.startsWith(u"0x", Qt::CaseInsensitive))
        return std::nullopt;
    return ParseNumber(text, ENumberSyntax::Hex, UINT64_MAX);
}

} // namespace

std::optional<uint32_t> EncodeFieldText(const SMapRegister& reg, const SMapField& field,
                                        QStringView text, SMapError* error)
{
    // A label quoted one time too many ("active high" with its quotes).
    text = text.trimmed();
    if (text.size() >= 2 && (text.front() == u'"' || text.front() == u'\'') &&
        text.back() == text.front())
        text = text.mid(1, text.size() - 2);
    if (text.trimmed().startsWith(u"0x", Qt::CaseInsensitive)) {
        if (const std::optional<uint64_t> bits = HexNumber(text))
            return EncodeFieldBits(reg, field, *bits, error);
        Refuse(error, EMapErrorKind::BadValue,
               QStringLiteral("%1.%2: \"%3\" is not a hex number")
                   .arg(reg.name, field.name, text.toString()));
        return std::nullopt;
    }
    if (const std::optional<double> number = MapNumber(text))
        return EncodeFieldNumber(reg, field, *number, error);
    // A bit takes true and false, as Python's True and False, unless its
    // labels say otherwise.
    if (field.Width() == 1 && !field.FindLabel(text)) {
        if (text.compare(u"true", Qt::CaseInsensitive) == 0)
            return 1;
        if (text.compare(u"false", Qt::CaseInsensitive) == 0)
            return 0;
    }
    return EncodeFieldLabel(reg, field, text, error);
}

std::optional<uint32_t> EncodeRegisterText(const SMapRegister& reg, QStringView text,
                                           SMapError* error)
{
    std::optional<uint64_t> value = HexNumber(text);
    if (!value) {
        const std::optional<double> number = MapNumber(text);
        if (number && *number >= 0 && *number == std::floor(*number) && *number < 1e19)
            value = static_cast<uint64_t>(*number);
    }
    if (!value) {
        Refuse(error, EMapErrorKind::BadValue,
               QStringLiteral("%1: \"%2\" is not a whole number; give hex with 0x or decimal")
                   .arg(reg.name, text.toString()));
        return std::nullopt;
    }
    if (*value > reg.Mask()) {
        Refuse(error, EMapErrorKind::BadValue,
               QStringLiteral("%1: %2 does not fit its %3 byte(s) (at most %4)")
                   .arg(reg.name, Hex(*value))
                   .arg(reg.bytes)
                   .arg(Hex(reg.Mask())));
        return std::nullopt;
    }
    return static_cast<uint32_t>(*value);
}
