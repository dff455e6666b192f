// Hex text comes from the user's input field and from device files. The
// conversion is checked against a plain reading of its rules, and whatever
// it accepts must come back unchanged through BytesToHex.

#include "fuzz/fuzzcheck.h"
#include "projects/i2cdevicefile.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

bool IsSeparator(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r' ||
           c == u',' || c == u';';
}

int DigitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

std::optional<std::vector<uint8_t>> ParsePart(std::u16string part)
{
    if (part.size() >= 2 && part[0] == u'0' && (part[1] == u'x' || part[1] == u'X'))
        part.erase(0, 2);
    if (part.size() == 1)
        part.insert(part.begin(), u'0');
    if (part.empty() || part.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < part.size(); i += 2) {
        const int high = DigitValue(part[i]);
        const int low = DigitValue(part[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
}

std::optional<std::vector<uint8_t>> Reference(const QString& text)
{
    std::vector<uint8_t> bytes;
    std::u16string part;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !IsSeparator(text[i].unicode())) {
            part.push_back(text[i].unicode());
            continue;
        }
        if (part.empty())
            continue;
        const auto partBytes = ParsePart(part);
        if (!partBytes)
            return std::nullopt;
        bytes.insert(bytes.end(), partBytes->begin(), partBytes->end());
        part.clear();
    }
    return bytes;
}

void CheckText(const QString& text)
{
    const auto bytes = CI2cDeviceFile::HexToBytes(text);
    FUZZ_CHECK(bytes == Reference(text));
    if (!bytes)
        return;
    const QString hex = CI2cDeviceFile::BytesToHex(*bytes);
    FUZZ_CHECK(hex.size() == (bytes->empty() ? 0 : qsizetype(bytes->size()) * 3 - 1));
    FUZZ_CHECK(CI2cDeviceFile::HexToBytes(hex) == bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CheckText(QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    // As UTF-16 code units too, lone surrogates and all.
    std::u16string units(size / 2, u'\0');
    std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    CheckText(QString::fromStdU16String(units));
    return 0;
}
