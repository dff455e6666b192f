#pragma once

#include <cstdint>
#include <string>

// Converts a zero-terminated wide text from the HID library to UTF-8.
//
// With 16-bit code units the text is UTF-16: a high surrogate directly
// followed by a low surrogate forms one code point of four bytes, every other
// unit (an unpaired surrogate included) is encoded on its own.
// With 32-bit code units (wchar_t on Linux) every unit is a whole code point:
// above U+FFFF it takes four bytes, and surrogate values are encoded as three
// bytes like any other unit below U+10000. Values beyond U+10FFFF are no code
// points and become U+FFFD.
//
// Returns an empty string for a null pointer.
template <typename CodeUnit> std::string WideToUtf8(const CodeUnit* text)
{
    static_assert(sizeof(CodeUnit) == 2 || sizeof(CodeUnit) == 4,
                  "wide texts have 16-bit or 32-bit code units");
    std::string out;
    if (text == nullptr) {
        return out;
    }

    auto append = [&out](uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    };

    for (const CodeUnit* p = text; *p != 0; ++p) {
        if constexpr (sizeof(CodeUnit) == 2) {
            const uint32_t unit = static_cast<uint16_t>(*p);
            const uint32_t next = static_cast<uint16_t>(p[1]);
            if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
                append(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++p;
            } else {
                append(unit);
            }
        } else {
            const uint32_t cp = static_cast<uint32_t>(*p);
            append(cp <= 0x10FFFF ? cp : 0xFFFD);
        }
    }
    return out;
}
