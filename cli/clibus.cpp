// The bus commands: list, detect, read and write.

#include "cli/clicommands.h"
#include "cli/clioutput.h"
#include "projects/i2cdevicefile.h"
#include "transactions/adapters.h"
#include "transactions/i2caddress.h"
#include "transactions/i2ctransaction.h"

#include <algorithm>

namespace {

QString tr(const char* text)
{
    return CCliTool::tr(text);
}

} // namespace

ECliExit CommandList(CCliTool& tool, const QStringList& arguments)
{
    if (!arguments.isEmpty()) {
        return tool.Usage(tr("list takes no arguments. Leave out %1.")
                              .arg(CCliTool::Quoted(arguments.join(QLatin1Char(' ')))));
    }
    const std::vector<SAdapterListing> listings = ListAdapters();
    if (listings.empty()) {
        tool.Output().WriteNoAdapters();
        // JSON Lines stay parseable: the note goes to err.
        if (tool.Options().json)
            tool.Fail(ECliExit::Ok, tr("no Orvane adapter is attached."));
        return ECliExit::Ok;
    }
    for (const SAdapterListing& listing : listings) {
        SCliAdapterInfo info;
        info.model = listing.traits.model;
        info.serial = listing.Serial();
        info.product = listing.product;
        info.firmware = listing.firmware;
        info.speeds = CCliTool::SpeedNames(listing.traits);
        info.pullUps = listing.traits.pullUpSwitch;
        tool.Output().WriteAdapter(info);
    }
    return ECliExit::Ok;
}

ECliExit CommandDetect(CCliTool& tool, const QStringList& arguments)
{
    if (!arguments.isEmpty()) {
        // i2cdetect takes a bus number.
        const bool number = arguments.size() == 1 && !arguments[0].isEmpty() &&
                            std::all_of(arguments[0].begin(), arguments[0].end(),
                                        [](QChar c) { return c.isDigit(); });
        return tool.Usage(tr("detect takes no arguments; it probes 0x08 to 0x77, or 0x00 to 0x7F "
                             "with --all-addresses.%1 Leave out %2.")
                              .arg(number ? tr(" Unlike i2cdetect it takes no bus number: the "
                                               "adapter is chosen with --adapter (-a).")
                                          : QString(),
                                   CCliTool::Quoted(arguments.join(QLatin1Char(' ')))));
    }
    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = tool.SelectAdapter(status);
    if (!adapter)
        return status;
    if (!tool.Connect(*adapter))
        return ECliExit::NoConnection;

    // i2cdetect's range, and with -a every address. Each row is printed
    // once probed, so that a signal, which ends the scan at once, leaves
    // what was found; the rest also when the adapter went away.
    CCliOutput& output = tool.Output();
    const auto progress = [&output](const SI2cScan& scan, uint8_t probed) {
        output.WriteScanRows(scan, probed);
    };
    const SI2cScan scan = tool.Options().allAddresses ? RunScan(*adapter, 0x00, 0x7F, progress)
                                                      : RunScan(*adapter, SEARCH_FIRST_ADDRESS,
                                                                SEARCH_LAST_ADDRESS, progress);
    output.WriteScan(scan);
    if (!adapter->IsPresent())
        return tool.ConnectionLost(*adapter);
    if (scan.failures.empty())
        return ECliExit::Ok;

    const SI2cProbeFailure& first = scan.failures.front();
    const QString address = FormatI2cAddress(first.address, tool.Options().eightBit);
    if (scan.stoppedAt) {
        return tool.Fail(ECliExit::Failed,
                         tr("the probe of %1 failed: %2. The adapter stopped answering, so the "
                            "scan ended there; unplug it, plug it in again and repeat.")
                             .arg(address, CCliTool::Clause(first.error)));
    }
    const QString hint =
        first.errorKind == EOrvError::ArbitrationLost
            ? tr("Another master holds the bus; try again when it is idle.")
            : tr("Check the wiring and the pull-ups; a device may hold SDA or SCL low.");
    const int probes = scan.last - scan.first + 1;
    return tool.Fail(ECliExit::Failed, tr("%1 of %2 probes failed (XX in the grid), the first at "
                                          "%3 with: %4. %5")
                                           .arg(scan.failures.size())
                                           .arg(probes)
                                           .arg(address, CCliTool::Clause(first.error), hint));
}

ECliExit CommandRead(CCliTool& tool, const QStringList& arguments)
{
    if (arguments.size() != 2) {
        return tool.Usage(tr("read needs an address and a byte count, e.g. \"%1 read 0x23 2\".")
                              .arg(tool.Program()));
    }
    const std::optional<uint8_t> address = tool.ParseAddress(arguments[0], arguments.value(1));
    if (!address)
        return ECliExit::Usage;
    const std::optional<size_t> count = tool.ParseCount(arguments[1]);
    if (!count)
        return ECliExit::Usage;

    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = tool.SelectAdapter(status);
    if (!adapter)
        return status;
    if (*count > adapter->GetMaxReadCount()) {
        return tool.Usage(tr("the %1 reads at most %2 bytes at once, not %3. Give a smaller count.")
                              .arg(tool.AdapterName())
                              .arg(adapter->GetMaxReadCount())
                              .arg(*count));
    }
    if (!tool.Connect(*adapter))
        return ECliExit::NoConnection;

    const SI2cTransaction read = RunRead(*adapter, *address, *count);
    tool.Output().WriteReadData(read);
    if (!read.ok && !adapter->IsPresent())
        return tool.ConnectionLost(*adapter);
    return tool.Judge(read, TransactionTypeText(read, tool.Options().eightBit));
}

ECliExit CommandWrite(CCliTool& tool, const QStringList& arguments)
{
    if (arguments.isEmpty()) {
        return tool.Usage(tr("write needs an address and the bytes, e.g. \"%1 write 0x50 00 10\".")
                              .arg(tool.Program()));
    }
    EI2cStartStop mode = EI2cStartStop::Auto;
    if (tool.IsSet(QStringLiteral("mode"))) {
        const QString value = tool.Value(QStringLiteral("mode")).trimmed();
        bool known = false;
        for (const auto& [candidate, name] : MODE_NAMES) {
            if (value.compare(QLatin1String(name), Qt::CaseInsensitive) == 0) {
                mode = candidate;
                known = true;
            }
        }
        if (!known) {
            return tool.Usage(tr("unknown mode %1. Give one of auto, start, stop or none, e.g. "
                                 "--mode start.")
                                  .arg(CCliTool::Quoted(value)));
        }
    }
    if (!ModeSendsAddress(mode)) {
        return tool.Usage(
            tr("--mode %1 continues a transaction that a start opened, but every call of %2 is a "
               "connection of its own, in which nothing is open. Put the bytes after a command "
               "with mode start in a device file and run it.")
                .arg(QLatin1String(MODE_NAMES[static_cast<size_t>(mode)].second), tool.Program()));
    }
    const std::optional<uint8_t> address = tool.ParseAddress(arguments[0], arguments.value(1));
    if (!address)
        return ECliExit::Usage;
    const QString text = arguments.mid(1).join(QLatin1Char(' '));
    const std::optional<std::vector<uint8_t>> bytes = CI2cDeviceFile::HexToBytes(text);
    if (!bytes) {
        return tool.Usage(tr("invalid hex bytes %1. Give bytes of two hex digits each, separated "
                             "by blanks, commas or semicolons, e.g. 01 A5 FF.")
                              .arg(CCliTool::Quoted(text)));
    }
    // An empty argument is most often an empty variable, not a wish to probe.
    if (bytes->empty() && arguments.size() > 1) {
        return tool.Usage(tr("no bytes in %1. Give hex bytes, or no byte argument at all to write "
                             "the address alone (a probe): \"%2 write %3\".")
                              .arg(CCliTool::Quoted(text), tool.Program(), arguments[0]));
    }

    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = tool.SelectAdapter(status);
    if (!adapter)
        return status;
    if (!IsWriteSupportedBy(*adapter, mode, *bytes)) {
        return tool.Usage(tr("the %1 cannot write an address without data. Probe it with a read "
                             "instead: \"%2 read %3 1\".")
                              .arg(tool.AdapterName(), tool.Program(), arguments[0]));
    }
    if (!tool.Connect(*adapter))
        return ECliExit::NoConnection;

    const SI2cTransaction write = RunWrite(*adapter, mode, *address, *bytes);
    tool.Output().WriteTransaction(write);
    if (!write.ok && !adapter->IsPresent())
        return tool.ConnectionLost(*adapter);
    return tool.Judge(write, TransactionTypeText(write, tool.Options().eightBit));
}
