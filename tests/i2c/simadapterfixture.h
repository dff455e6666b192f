#pragma once

// Helpers shared by the adapter tests: reports written as their leading
// bytes, and waiting for what the simulated adapter received.

#include "sim/adapters/simorvadapter.h"
#include "tests/support/waits.h"

#include <QByteArray>
#include <QList>
#include <QTest>

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace testutil {

using Report = std::vector<uint8_t>;

// A 64-byte report starting with these bytes, zero after them.
inline Report MakeReport(std::initializer_list<uint8_t> head)
{
    Report report(head);
    report.resize(64, 0);
    return report;
}

inline Report MakeReport(const QList<int>& head)
{
    Report report;
    for (int byte : head)
        report.push_back(static_cast<uint8_t>(byte));
    report.resize(64, 0);
    return report;
}

// Printable form, so that a failed comparison shows the bytes.
inline QByteArray Hex(const Report& report)
{
    return QByteArray(reinterpret_cast<const char*>(report.data()),
                      static_cast<qsizetype>(report.size()))
        .toHex(' ');
}

inline QList<QByteArray> HexList(const std::vector<Report>& reports)
{
    QList<QByteArray> out;
    for (const Report& report : reports)
        out.append(Hex(report));
    return out;
}

inline std::vector<uint8_t> Bytes(size_t count, uint8_t first = 0)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

// Polls until the adapter has received at least count reports in all.
inline bool WaitForReceived(const CSimOrvAdapter& adapter, size_t count)
{
    return testsupport::pollFor([&] { return adapter.ReceivedReports().size() >= count; });
}

} // namespace testutil
