#include "transactions/hexlines.h"

#include <algorithm>

namespace {

const char HEX_DIGITS[] = "0123456789ABCDEF";

} // namespace

QString HexByte(uint8_t value)
{
    const QChar digits[2] = {QLatin1Char(HEX_DIGITS[value >> 4]),
                             QLatin1Char(HEX_DIGITS[value & 0x0F])};
    return QString(digits, 2);
}

QString FormatHexLines(const QByteArray& data, int bytesPerLine, bool offsetDecimal)
{
    const qsizetype n = data.size();
    if (n == 0)
        return {};

    const auto* bytes = reinterpret_cast<const uint8_t*>(data.constData());
    const bool wrap = bytesPerLine > 0 && n > bytesPerLine;
    if (!wrap) {
        QString text(n * 3 - 1, QLatin1Char(' '));
        QChar* out = text.data();
        for (qsizetype i = 0; i < n; ++i) {
            out[i * 3] = QLatin1Char(HEX_DIGITS[bytes[i] >> 4]);
            out[i * 3 + 1] = QLatin1Char(HEX_DIGITS[bytes[i] & 0x0F]);
        }
        return text;
    }

    const qsizetype lastOffset = (n - 1) - ((n - 1) % bytesPerLine);
    const qsizetype base = offsetDecimal ? 10 : 16;
    int width = 0;
    if (offsetDecimal) {
        for (qsizetype rest = lastOffset; rest > 0 || width == 0; rest /= 10)
            ++width;
    } else {
        width = lastOffset >= 0x100 ? 4 : 2;
    }

    // Written straight into one buffer: a 64 KiB read makes 4,096 lines.
    const qsizetype lines = (n + bytesPerLine - 1) / bytesPerLine;
    QString text;
    text.reserve(n * 3 + lines * (width + 16));
    QChar digits[32];
    for (qsizetype offset = 0; offset < n; offset += bytesPerLine) {
        if (offset > 0)
            text.append(QLatin1Char('\n'));
        int count = 0;
        for (qsizetype rest = offset; rest > 0 || count == 0; rest /= base)
            digits[count++] = QLatin1Char(HEX_DIGITS[rest % base]);
        for (int pad = count; pad < width; ++pad)
            text.append(QLatin1Char('0'));
        while (count > 0)
            text.append(digits[--count]);
        text.append(QLatin1String(": "));

        const qsizetype end = std::min<qsizetype>(offset + bytesPerLine, n);
        const qsizetype start = text.size();
        text.resize(start + (end - offset) * 3 - 1, QLatin1Char(' '));
        QChar* out = text.data() + start;
        for (qsizetype i = offset; i < end; ++i, out += 3) {
            out[0] = QLatin1Char(HEX_DIGITS[bytes[i] >> 4]);
            out[1] = QLatin1Char(HEX_DIGITS[bytes[i] & 0x0F]);
        }
    }
    return text;
}
