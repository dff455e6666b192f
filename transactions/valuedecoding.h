#pragma once

// A value decoded from the bytes of a read: an integer of a format, then an
// optional right shift and bit mask, then value x scale + offset, shown with a
// unit and a number of decimals. The window's watch and the command-line tool
// share these rules, so a rule gives the same number in both.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

enum class EValueFormat {
    U8,
    S8,
    U16Be,
    U16Le,
    S16Be,
    S16Le,
    U24Be,
    U24Le,
    U32Be,
    U32Le,
    S32Be,
    S32Le,
};

struct SDecodingRule {
    EValueFormat format = EValueFormat::U8;
    // Signed formats shift arithmetically, so the sign stays.
    int shift = 0;
    // Applied after the shift to the value's two's-complement bits: a masked
    // value is never negative.
    std::optional<uint32_t> mask;
    // With a mask of the low N bits: the masked value is an N-bit two's
    // complement number, as a signed field inside a register is.
    bool maskSigned = false;
    double scale = 1.0;
    double offset = 0.0;
    QString unit;
    int decimals = 2;
};

// The rule as a person writes it: option values of the command-line tool,
// the fields of the window's watch, the remembered settings. Empty texts
// take the defaults (u16be, no shift, no mask, scale 1, offset 0, no unit,
// 2 decimals). Shift, mask and decimals are numbers as ParseNumber takes
// them in the i2c-tools syntax; no number may have blanks around it.
struct SDecodingTexts {
    QString format;
    QString shift;
    QString mask;
    QString scale;
    QString offset;
    QString unit;
    QString decimals;
    // The masked value is a two's-complement number as wide as the mask, as
    // a signed field inside a register is; it needs a mask of low bits.
    bool maskSigned = false;
};

// Enough for a register map's finest steps (2^-12, 1e-12) to show exactly.
inline constexpr int DECODING_DECIMALS_MAX = 12;

// "u8", "s16be", ... in the order of EValueFormat.
QStringList ValueFormatNames();
QString ValueFormatName(EValueFormat format);
// A name of ValueFormatNames, in any letter case.
std::optional<EValueFormat> ParseValueFormat(const QString& name);
// Bytes the format takes from the start of the data: 1 to 4.
int ValueFormatBytes(EValueFormat format);
bool IsValueFormatSigned(EValueFormat format);

// The rule the texts describe, or nothing with the reason in error: an
// unknown format, a shift that is not 0 to width-1 bits of the format, a
// mask that is not a number (0x hex, 0 octal or decimal) within the format's
// width, a scale or offset that is not a finite number (the scale may be a
// fraction such as 1/1.2), decimals outside 0 to 12, a unit with a control
// character (a line break, a tab).
std::optional<SDecodingRule> ParseDecodingRule(const SDecodingTexts& texts, QString* error);
// Texts that ParseDecodingRule reads back into the same rule, for a rule made
// in code (a register map's field) that a person may then edit: defaults
// left empty, the mask in hex, numbers in the fewest digits that give them
// back.
SDecodingTexts DecodingRuleTexts(const SDecodingRule& rule);

// The value of the first bytes of data under the rule, or nothing with the
// reason in error when there are fewer bytes than the format takes or the
// result overflows. Bytes past the format's width are ignored.
std::optional<double> DecodeValue(const SDecodingRule& rule, const std::vector<uint8_t>& data,
                                  QString* error);

// The number with the rule's decimals and a point, never "-0.00".
QString FormatDecodedNumber(const SDecodingRule& rule, double value);
// The number, a space and the unit (the number alone without a unit).
QString FormatDecodedValue(const SDecodingRule& rule, double value);
