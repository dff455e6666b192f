#pragma once

#include "i2c/orvi2c.h"
#include "projects/i2cdevicefile.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class COrvI2c;

enum class EI2cTransactionType {
    Write,
    Read,
    Search,
};

// One bus transaction as the front ends report it: a row of the window's
// output table, a line of the command-line tool.
struct SI2cTransaction {
    EI2cTransactionType type = EI2cTransactionType::Write;
    EI2cStartStop mode = EI2cStartStop::Auto; // writes only
    // The 7-bit address; none for writes without an address byte and for
    // searches.
    std::optional<uint8_t> address;
    bool ok = false;
    uint8_t status = 0;                    // the adapter's status byte
    uint8_t errorCode = 0;                 // writes: the acknowledge's error code
    QString error;                         // the adapter's last error, empty when ok
    EOrvError errorKind = EOrvError::None; // its kind, None when ok
    // Writes: the data bytes without the address byte; reads: the bytes
    // read (on failure those received before it).
    std::vector<uint8_t> data;
    std::vector<uint8_t> found; // searches: the addresses that answered
};

// The ordinary addresses a bus search probes; the reserved blocks 0x00-0x07
// and 0x78-0x7F are left alone.
inline constexpr uint8_t SEARCH_FIRST_ADDRESS = 0x08;
inline constexpr uint8_t SEARCH_LAST_ADDRESS = 0x77;

// Auto and Start open the transaction with a start and the address byte;
// Stop and None continue an open one with data alone.
bool ModeSendsAddress(EI2cStartStop mode);
bool ModeSendsStop(EI2cStartStop mode);
// The text of the mode in the window's start/stop selector.
QString StartStopText(EI2cStartStop mode);
// The data of a write in this mode is acceptable: a mode without an address
// needs at least one byte; with one, no bytes make an address-only write.
bool IsWriteDataAcceptable(EI2cStartStop mode, const std::vector<uint8_t>& data);

// The adapter can send this write: not every model can send the address
// alone (mode Auto without data). Nothing is sent to find out.
bool IsWriteSupportedBy(const COrvI2c& adapter, EI2cStartStop mode,
                        const std::vector<uint8_t>& data);

// The bytes that go to the adapter: the address in write form (shifted left
// by one) first for the modes that send it, then the data.
std::vector<uint8_t> BuildWriteFrame(EI2cStartStop mode, uint8_t address,
                                     const std::vector<uint8_t>& data);

// Each runs one transaction on a connected adapter and reports the outcome;
// a failure is in ok, status and error, never thrown. The address of a write
// is used only by the modes that send it.
SI2cTransaction RunWrite(COrvI2c& adapter, EI2cStartStop mode, uint8_t address,
                         const std::vector<uint8_t>& data);
SI2cTransaction RunRead(COrvI2c& adapter, uint8_t address, size_t count);
// Probes every address from SEARCH_FIRST_ADDRESS to SEARCH_LAST_ADDRESS once,
// in order; a probe that fails counts as no answer. Always ok: whether the
// adapter is still there is the caller's question.
SI2cTransaction RunSearch(COrvI2c& adapter);

// A probe that failed for another reason than a NACK.
struct SI2cProbeFailure {
    uint8_t address = 0;
    QString error; // the adapter's text
    EOrvError errorKind = EOrvError::None;
};

// A bus search that tells a silent address from a broken bus.
struct SI2cScan {
    // The addresses probed, in order.
    uint8_t first = SEARCH_FIRST_ADDRESS;
    uint8_t last = SEARCH_LAST_ADDRESS;
    // found as RunSearch gives it; ok false when a probe failed, with the
    // first failure's text as error.
    SI2cTransaction search;
    std::vector<SI2cProbeFailure> failures;
    // The address at which the scan ended early, when the adapter stopped
    // answering (a timeout), went away or was cancelled; the addresses after
    // it were not probed.
    std::optional<uint8_t> stoppedAt;
};

// After each probe of a scan: the scan so far and the address just probed,
// so that what is known can be shown before the scan ends.
using I2cScanProgress = std::function<void(const SI2cScan& scan, uint8_t probed)>;

// Probes every address from first to last (7-bit, first <= last), as
// RunSearch does, but only a NACK counts as no device: any other failure is
// kept, and a timeout, a lost adapter or a cancel ends the scan at once
// rather than after a second for every address left.
SI2cScan RunScan(COrvI2c& adapter, uint8_t first = SEARCH_FIRST_ADDRESS,
                 uint8_t last = SEARCH_LAST_ADDRESS, const I2cScanProgress& progress = {});
// A failure of this kind means the adapter can not go on with a series of
// transactions: it stopped answering, went away, or was asked to stop.
bool EndsSeries(EOrvError kind);
// A stored command at a device's address, as the window executes it.
SI2cTransaction RunCommand(COrvI2c& adapter, uint8_t address, const SI2cCommand& command);

// The Type column: "Write 0x50", "Write 0x50 [Generate Start]",
// "Write [None]", "Read 0x23", "Search".
QString TransactionTypeText(const SI2cTransaction& transaction, bool eightBit);
// The Flags column: "0x" and the status byte; on failure two spaces and the
// error (for writes the acknowledge's error code in short).
QString TransactionFlagsText(const SI2cTransaction& transaction);
// One row as "Copy Report" puts it on the clipboard: type, flags and data
// separated by tabs.
QString ReportLine(const QString& type, const QString& flags, const QString& data);
// The report line of a write or read, its data on one line.
QString TransactionReportLine(const SI2cTransaction& transaction, bool eightBit);
