#include "transactions/i2ctransaction.h"

#include "i2c/orvi2c.h"
#include "transactions/hexlines.h"
#include "transactions/i2caddress.h"

#include <QCoreApplication>

#include <utility>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("I2cTransaction", text);
}

// Fills in the failure of a transaction from the adapter's last error.
void noteFailure(SI2cTransaction& transaction, const COrvI2c& adapter)
{
    transaction.error = QString::fromStdString(adapter.GetLastError());
    transaction.errorKind = adapter.GetLastErrorKind();
}

QByteArray toByteArray(const std::vector<uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

// The window's short texts of the kinds of failure a write meets; the other
// kinds say more in the adapter's own words.
QString writeErrorText(const SI2cTransaction& transaction)
{
    switch (transaction.errorKind) {
    case EOrvError::WrongCount:
        return tr("wrong byte count");
    case EOrvError::NoStart:
        return tr("no start");
    case EOrvError::Nack:
        return tr("NACK");
    case EOrvError::BusError:
        return tr("bus error");
    case EOrvError::AdapterError:
        if (transaction.errorCode != 0)
            return tr("code %1").arg(transaction.errorCode);
        break;
    default:
        break;
    }
    return transaction.error;
}

} // namespace

bool ModeSendsAddress(EI2cStartStop mode)
{
    return mode == EI2cStartStop::Auto || mode == EI2cStartStop::Start;
}

bool ModeSendsStop(EI2cStartStop mode)
{
    return mode == EI2cStartStop::Auto || mode == EI2cStartStop::Stop;
}

QString StartStopText(EI2cStartStop mode)
{
    switch (mode) {
    case EI2cStartStop::Auto:
        return tr("Auto");
    case EI2cStartStop::Start:
        return tr("Generate Start");
    case EI2cStartStop::Stop:
        return tr("Generate Stop");
    case EI2cStartStop::None:
        return tr("None");
    }
    return {};
}

bool IsWriteDataAcceptable(EI2cStartStop mode, const std::vector<uint8_t>& data)
{
    return ModeSendsAddress(mode) || !data.empty();
}

bool IsWriteSupportedBy(const COrvI2c& adapter, EI2cStartStop mode,
                        const std::vector<uint8_t>& data)
{
    const bool addressOnly = data.empty() && ModeSendsAddress(mode) && ModeSendsStop(mode);
    return !addressOnly || adapter.IsAddressOnlyWriteSupported();
}

std::vector<uint8_t> BuildWriteFrame(EI2cStartStop mode, uint8_t address,
                                     const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> frame;
    frame.reserve(data.size() + 1);
    if (ModeSendsAddress(mode))
        frame.push_back(static_cast<uint8_t>(address << 1));
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

SI2cTransaction RunWrite(COrvI2c& adapter, EI2cStartStop mode, uint8_t address,
                         const std::vector<uint8_t>& data)
{
    SI2cTransaction transaction;
    transaction.type = EI2cTransactionType::Write;
    transaction.mode = mode;
    if (ModeSendsAddress(mode))
        transaction.address = address;
    transaction.data = data;

    SI2cWriteResult result;
    transaction.ok = adapter.Write(BuildWriteFrame(mode, address, data), result,
                                   ModeSendsAddress(mode), ModeSendsStop(mode));
    transaction.status = result.status;
    transaction.errorCode = result.errorCode;
    if (!transaction.ok)
        noteFailure(transaction, adapter);
    return transaction;
}

SI2cTransaction RunRead(COrvI2c& adapter, uint8_t address, size_t count)
{
    SI2cTransaction transaction;
    transaction.type = EI2cTransactionType::Read;
    transaction.address = address;

    SI2cReadResult result;
    transaction.ok = adapter.Read(address, count, result);
    transaction.status = result.status;
    transaction.data = std::move(result.data);
    if (!transaction.ok)
        noteFailure(transaction, adapter);
    return transaction;
}

SI2cTransaction RunSearch(COrvI2c& adapter)
{
    SI2cTransaction transaction;
    transaction.type = EI2cTransactionType::Search;
    transaction.ok = true;
    for (int address = SEARCH_FIRST_ADDRESS; address <= SEARCH_LAST_ADDRESS; ++address) {
        if (adapter.Probe(static_cast<uint8_t>(address)))
            transaction.found.push_back(static_cast<uint8_t>(address));
    }
    return transaction;
}

SI2cScan RunScan(COrvI2c& adapter, uint8_t first, uint8_t last, const I2cScanProgress& progress)
{
    SI2cScan scan;
    scan.first = first;
    scan.last = last;
    scan.search.type = EI2cTransactionType::Search;
    scan.search.ok = true;
    for (int address = first; address <= last; ++address) {
        const auto probed = static_cast<uint8_t>(address);
        if (adapter.Probe(probed)) {
            scan.search.found.push_back(probed);
        } else if (const EOrvError kind = adapter.GetLastErrorKind(); kind != EOrvError::Nack) {
            const QString error = QString::fromStdString(adapter.GetLastError());
            if (scan.search.ok) {
                scan.search.ok = false;
                scan.search.error = error;
                scan.search.errorKind = kind;
            }
            scan.failures.push_back({probed, error, kind});
            if (EndsSeries(kind))
                scan.stoppedAt = probed;
        }
        if (progress)
            progress(scan, probed);
        if (scan.stoppedAt)
            break;
    }
    return scan;
}

bool EndsSeries(EOrvError kind)
{
    switch (kind) {
    case EOrvError::Timeout:
    case EOrvError::Gone:
    case EOrvError::NotConnected:
    case EOrvError::Cancelled:
        return true;
    default:
        return false;
    }
}

SI2cTransaction RunCommand(COrvI2c& adapter, uint8_t address, const SI2cCommand& command)
{
    if (command.type == EI2cCommandType::Read)
        return RunRead(adapter, address, static_cast<size_t>(command.count));
    return RunWrite(adapter, command.mode, address, command.data);
}

QString TransactionTypeText(const SI2cTransaction& transaction, bool eightBit)
{
    switch (transaction.type) {
    case EI2cTransactionType::Write: {
        QString type = transaction.address
                           ? tr("Write %1").arg(FormatI2cAddress(*transaction.address, eightBit))
                           : tr("Write");
        if (transaction.mode != EI2cStartStop::Auto)
            type += QStringLiteral(" [%1]").arg(StartStopText(transaction.mode));
        return type;
    }
    case EI2cTransactionType::Read:
        return tr("Read %1").arg(FormatI2cAddress(transaction.address.value_or(0), eightBit));
    case EI2cTransactionType::Search:
        return tr("Search");
    }
    return {};
}

QString TransactionFlagsText(const SI2cTransaction& transaction)
{
    if (transaction.type == EI2cTransactionType::Search)
        return {};
    QString flags = QStringLiteral("0x") + HexByte(transaction.status);
    if (!transaction.ok) {
        flags += QStringLiteral("  ");
        flags += transaction.type == EI2cTransactionType::Write ? writeErrorText(transaction)
                                                                : transaction.error;
    }
    return flags;
}

QString ReportLine(const QString& type, const QString& flags, const QString& data)
{
    return type + QLatin1Char('\t') + flags + QLatin1Char('\t') + data;
}

QString TransactionReportLine(const SI2cTransaction& transaction, bool eightBit)
{
    return ReportLine(TransactionTypeText(transaction, eightBit), TransactionFlagsText(transaction),
                      FormatHexLines(toByteArray(transaction.data), 0, false));
}
