#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

// The byte as two upper-case hex digits.
QString HexByte(uint8_t value);

// The hex text of a transaction's data: bytes separated by single spaces,
// wrapped into lines of bytesPerLine bytes with an offset prefix when they do
// not fit on one line (bytesPerLine 0 never wraps).
QString FormatHexLines(const QByteArray& data, int bytesPerLine, bool offsetDecimal);
