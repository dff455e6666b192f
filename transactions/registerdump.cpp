#include "transactions/registerdump.h"

#include "i2c/orvi2c.h"
#include "transactions/registeraccess.h"

#include <algorithm>

namespace {

constexpr uint32_t ROW_LENGTH = 16;

// The hex digits of a row's register: as many as last needs, at least two.
int rowDigits(uint32_t last)
{
    int digits = 2;
    while (digits < 8 && (static_cast<uint64_t>(last) >> (4 * digits)) != 0)
        ++digits;
    return digits;
}

// Notes a failure: the first one is kept unless a later one ends the dump,
// as a timeout or a lost adapter does. Returns whether the dump goes on.
bool NoteFailure(SRegisterDump& dump, const SI2cTransaction& failure, uint32_t reg)
{
    if (!dump.failure) {
        dump.failure = failure;
        dump.failureRegister = reg;
    }
    if (EndsSeries(failure.errorKind)) {
        dump.failure = failure;
        dump.failureRegister = reg;
        dump.stopped = true;
        return false;
    }
    return true;
}

} // namespace

SRegisterDump RunRegisterDump(COrvI2c& adapter, uint8_t address, uint32_t first, uint32_t last,
                              int width, ERegisterDumpMode mode,
                              const RegisterDumpProgress& progress)
{
    SRegisterDump dump;
    dump.first = first;
    dump.last = last;
    const size_t count = static_cast<size_t>(last) - first + 1;
    dump.values.assign(count, REGISTER_FAILED);

    if (mode == ERegisterDumpMode::Consecutive) {
        const SI2cTransaction pointer =
            RunWrite(adapter, EI2cStartStop::Auto, address, RegisterPointerBytes(first, width));
        if (!pointer.ok) {
            NoteFailure(dump, pointer, first);
        } else {
            for (size_t i = 0; i < count; ++i) {
                const SRegisterRead read = RunCurrentRead(adapter, address, 1);
                if (read.ok())
                    dump.values[i] = read.data()[0];
                else if (!NoteFailure(dump, *read.failure(), first + static_cast<uint32_t>(i)))
                    break;
                if (progress)
                    progress(dump, i + 1);
            }
        }
    } else {
        const size_t block =
            mode == ERegisterDumpMode::Block ? std::max<size_t>(adapter.GetMaxReadCount(), 1) : 1;
        for (size_t i = 0; i < count;) {
            const size_t n = std::min(block, count - i);
            const uint32_t reg = first + static_cast<uint32_t>(i);
            const SRegisterRead read = RunRegisterRead(adapter, address, reg, width, n);
            if (read.ok()) {
                const std::vector<uint8_t> data = read.data();
                std::copy(data.begin(), data.end(), dump.values.begin() + i);
            } else {
                // Bytes that arrived before the failure were read all the same.
                if (read.read)
                    std::copy(read.read->data.begin(),
                              read.read->data.begin() + std::min<size_t>(read.read->data.size(), n),
                              dump.values.begin() + i);
                if (!NoteFailure(dump, *read.failure(), reg))
                    break;
            }
            i += n;
            if (progress)
                progress(dump, i);
        }
    }
    dump.failed =
        static_cast<size_t>(std::count(dump.values.begin(), dump.values.end(), REGISTER_FAILED));
    return dump;
}

QString FormatRegisterDumpHeader(uint32_t last)
{
    QString text(rowDigits(last) + 3, QLatin1Char(' '));
    return text +
           QStringLiteral("0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n");
}

QString FormatRegisterDumpRow(uint32_t first, uint32_t last, const std::vector<int>& values,
                              uint32_t row)
{
    const auto valueAt = [&](uint64_t reg) {
        return reg < first || reg > last ? REGISTER_FAILED : values.at(reg - first);
    };
    QString text = QStringLiteral("%1: ").arg(row, rowDigits(last), 16, QLatin1Char('0'));
    for (uint64_t reg = row; reg < uint64_t{row} + ROW_LENGTH; ++reg) {
        if (reg < first || reg > last)
            text += QLatin1String("   ");
        else if (valueAt(reg) == REGISTER_FAILED)
            text += QLatin1String("XX ");
        else
            text += QStringLiteral("%1 ").arg(valueAt(reg), 2, 16, QLatin1Char('0'));
    }
    text += QLatin1String("   ");
    // A blank for every register outside the range, at either end, as
    // i2cdump writes it: every row has the same length.
    for (uint64_t reg = row; reg < uint64_t{row} + ROW_LENGTH; ++reg) {
        const int value = valueAt(reg);
        if (reg < first || reg > last)
            text += QLatin1Char(' ');
        else if (value == REGISTER_FAILED)
            text += QLatin1Char('X');
        else if (value == 0x00 || value == 0xFF)
            text += QLatin1Char('.');
        else if (value < 0x20 || value >= 0x7F)
            text += QLatin1Char('?');
        else
            text += QLatin1Char(static_cast<char>(value));
    }
    return text + QLatin1Char('\n');
}

QString FormatRegisterDump(uint32_t first, uint32_t last, const std::vector<int>& values)
{
    QString text = FormatRegisterDumpHeader(last);
    for (uint64_t row = first - first % ROW_LENGTH; row <= last; row += ROW_LENGTH)
        text += FormatRegisterDumpRow(first, last, values, static_cast<uint32_t>(row));
    return text;
}
