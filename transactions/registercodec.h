#pragma once

// The one encoder and decoder of register values and their fields: from the
// bytes of a read to numbers, labels and texts, and from what a person types
// (a number in the field's unit, a raw 0x number, a label) to the bits of a
// write. A field decodes by the watch's rules (valuedecoding.h), so a field
// watched and a field read give the same number.

#include "transactions/registermap.h"
#include "transactions/valuedecoding.h"

#include <QJsonObject>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Why a name or a value was refused; nothing has gone to the bus. Python
// raises KeyError for an unknown name and ValueError for the rest.
enum class EMapErrorKind {
    UnknownName,
    BadValue,
    ReadOnly,
    WriteOnly,
};

struct SMapError {
    EMapErrorKind kind = EMapErrorKind::BadValue;
    QString text;
};

// The register's value from the first reg.bytes bytes, in its byte order.
// The bytes must be there.
uint32_t RegisterValueFromBytes(const SMapRegister& reg, std::span<const uint8_t> bytes);
// The bytes that carry a value, in the register's byte order.
std::vector<uint8_t> RegisterValueBytes(const SMapRegister& reg, uint32_t value);
// "0x1780": "0x" and two upper-case hex digits per byte.
QString RegisterValueText(const SMapRegister& reg, uint32_t value);

// The field as a watch rule on the register's bytes: the unsigned format of
// the register's width and byte order, shifted to the field, masked to its
// width, signed, scaled, offset, with its unit and decimals.
SDecodingRule FieldDecodingRule(const SMapRegister& reg, const SMapField& field);
// The field's own bits of a register value, not shifted.
uint32_t FieldBits(const SMapField& field, uint32_t registerValue);
// The register value with the field's bits replaced.
uint32_t WithFieldBits(const SMapField& field, uint32_t registerValue, uint32_t bits);

struct SFieldReading {
    uint32_t bits = 0; // the field's own bits
    double number = 0; // decoded: signed, scaled, offset; 0.3 for 3 x 0.1
    QString label;     // the bits' label; empty when they have none
    QString text;      // the label, or the number with decimals and unit
    // False for a write-only field: its bits are no reading, so it has no
    // number or label and its text is "write-only".
    bool readable = true;
    bool HasLabel() const { return !label.isEmpty(); }
};

SFieldReading DecodeField(const SMapRegister& reg, const SMapField& field, uint32_t registerValue);
// Every field of the register, in its order.
std::vector<SFieldReading> DecodeFields(const SMapRegister& reg, uint32_t registerValue);

// What a number box for the field offers, in its unit: the lowest and
// highest value and the step between two (the scale, positive).
struct SFieldRange {
    double low = 0;
    double high = 0;
    double step = 1;
};
SFieldRange FieldRange(const SMapField& field);

// The "value" of a field in JSON: the label, the number, or null for a
// write-only field.
QJsonValue FieldReadingValue(const SFieldReading& reading);

// A register read as the command-line tool's JSON and Python's dicts give
// it: {"register":"TEMP","address":0,"raw":"0x1780","fields":{"T":{"value":23.5,
// "text":"23.5 °C"}}}, where value is the label of a labelled value.
QJsonObject RegisterReadingJson(const SMapRegister& reg, uint32_t value);

// The field's bits for a number in the field's unit (80 for 80 °C). Refused
// when the number is not a multiple of the scale (after the offset) or lies
// outside what the field holds.
std::optional<uint32_t> EncodeFieldNumber(const SMapRegister& reg, const SMapField& field,
                                          double number, SMapError* error);
// The field's bits for a raw value of them, which must fit.
std::optional<uint32_t> EncodeFieldBits(const SMapRegister& reg, const SMapField& field,
                                        uint64_t bits, SMapError* error);
// The field's bits for a label, matched without regard to case.
std::optional<uint32_t> EncodeFieldLabel(const SMapRegister& reg, const SMapField& field,
                                         QStringView label, SMapError* error);
// The field's bits for a typed value: "0x.." is raw, any other text that
// reads as a number is a number in the field's unit, anything else a label;
// a one-bit field also takes true and false where no label is so named.
// One pair of quotes around the value is taken off.
std::optional<uint32_t> EncodeFieldText(const SMapRegister& reg, const SMapField& field,
                                        QStringView text, SMapError* error);
// A whole register's value for a typed whole number (0x hex or decimal),
// which must fit the register.
std::optional<uint32_t> EncodeRegisterText(const SMapRegister& reg, QStringView text,
                                           SMapError* error);
// A number in text: decimal (with sign, point, exponent); nothing for hex,
// labels and anything not finite.
std::optional<double> MapNumber(QStringView text);
