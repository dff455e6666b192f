// The output table formats whatever bytes an adapter delivered, with any
// bytes-per-line value. Each result is compared with a plain reading of the
// line format.
//
// Input: one control byte, then the data. Control bit 7: decimal offsets.
// Bits 0-6 pick the bytes per line: below 0x70 the value minus 8, above it
// one of a few awkward widths or (0x7F) the next four bytes as an int.

#include "app/mainwindow.h"
#include "fuzz/fuzzcheck.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::array<int, 15> AWKWARD_WIDTHS = {
    128, 255, 256, 257, 1000, 4095, 4096, 65535, 65536, 70000, INT_MAX, INT_MIN, -1, -4096, 3};

std::string Offset(qsizetype offset, int width, bool decimal)
{
    std::string digits;
    const qsizetype base = decimal ? 10 : 16;
    do {
        digits.insert(digits.begin(), "0123456789ABCDEF"[offset % base]);
        offset /= base;
    } while (offset > 0);
    if (static_cast<int>(digits.size()) < width)
        digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
    return digits;
}

std::string Expected(const QByteArray& data, int perLine, bool decimal)
{
    const qsizetype n = data.size();
    const bool wrap = perLine > 0 && n > perLine;
    std::string text;
    int width = 0;
    if (wrap) {
        const qsizetype lastOffset = (n - 1) / perLine * perLine;
        width = decimal ? static_cast<int>(std::to_string(lastOffset).size())
                        : (lastOffset >= 0x100 ? 4 : 2);
    }
    for (qsizetype i = 0; i < n; ++i) {
        const bool lineStart = wrap && i % perLine == 0;
        if (lineStart) {
            if (i > 0)
                text += '\n';
            text += Offset(i, width, decimal) + ": ";
        } else if (i > 0) {
            text += ' ';
        }
        const auto byte = static_cast<uint8_t>(data[i]);
        text += "0123456789ABCDEF"[byte >> 4];
        text += "0123456789ABCDEF"[byte & 0x0F];
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t control = data[0];
    ++data;
    --size;

    const bool decimal = control & 0x80;
    const uint8_t pick = control & 0x7F;
    int perLine = 0;
    if (pick < 0x70) {
        perLine = pick - 8;
    } else if (pick < 0x7F) {
        perLine = AWKWARD_WIDTHS[pick - 0x70];
    } else if (size >= sizeof(int32_t)) {
        int32_t value = 0;
        std::memcpy(&value, data, sizeof value);
        perLine = value;
        data += sizeof value;
        size -= sizeof value;
    }

    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    const QString text = MainWindow::formatHexLines(bytes, perLine, decimal);
    FUZZ_CHECK(text.toStdString() == Expected(bytes, perLine, decimal));
    return 0;
}
