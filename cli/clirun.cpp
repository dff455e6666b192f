// The device-file command: run.

#include "cli/clicommands.h"
#include "cli/clioutput.h"
#include "projects/i2cdevicefile.h"
#include "transactions/i2ctransaction.h"

namespace {

QString tr(const char* text)
{
    return CCliTool::tr(text);
}

} // namespace

ECliExit CommandRun(CCliTool& tool, const QStringList& arguments)
{
    if (arguments.isEmpty()) {
        return tool.Usage(
            tr("run needs a device file, e.g. \"%1 run bh1750.i2cdev\".").arg(tool.Program()));
    }
    const QString path = arguments[0];
    CI2cDeviceFile device;
    if (!device.Load(path)) {
        return tool.Usage(tr("cannot use the device file %1: %2. Give the path of a readable "
                             "device file and correct what the error names.")
                              .arg(CCliTool::Quoted(path), device.GetLastError()));
    }

    const QList<SI2cCommand>& all = device.GetCommands();
    QList<SI2cCommand> commands;
    if (arguments.size() == 1)
        commands = all;
    for (const QString& label : arguments.mid(1)) {
        const int index = device.FindCommandLabel(label);
        if (index >= 0) {
            commands.append(all[index]);
            continue;
        }
        QStringList labels;
        for (const SI2cCommand& command : all)
            labels.append(CCliTool::Quoted(command.label));
        return tool.Usage(labels.isEmpty()
                              ? tr("the device file %1 has no commands, so none is labelled %2.")
                                    .arg(CCliTool::Quoted(path), CCliTool::Quoted(label))
                              : tr("the device file %1 has no command %2. Give one of %3.")
                                    .arg(CCliTool::Quoted(path), CCliTool::Quoted(label),
                                         labels.join(QStringLiteral(", "))));
    }
    for (const SI2cCommand& command : commands) {
        if (command.type == EI2cCommandType::Write &&
            !IsWriteDataAcceptable(command.mode, command.data)) {
            return tool.Usage(
                tr("the command %1 of %2 writes no bytes in mode %3, which sends no "
                   "address. Add data bytes to it.")
                    .arg(CCliTool::Quoted(command.label), CCliTool::Quoted(path),
                         QLatin1String(MODE_NAMES[static_cast<size_t>(command.mode)].second)));
        }
    }

    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = tool.SelectAdapter(status);
    if (!adapter)
        return status;
    for (const SI2cCommand& command : commands) {
        if (command.type == EI2cCommandType::Read &&
            static_cast<size_t>(command.count) > adapter->GetMaxReadCount()) {
            return tool.Usage(tr("the command %1 reads %2 bytes, but the %3 reads at most %4 at "
                                 "once. Lower its count.")
                                  .arg(CCliTool::Quoted(command.label))
                                  .arg(command.count)
                                  .arg(tool.AdapterName())
                                  .arg(adapter->GetMaxReadCount()));
        }
    }
    if (!tool.Connect(*adapter))
        return ECliExit::NoConnection;

    for (const SI2cCommand& command : commands) {
        const SI2cTransaction transaction = RunCommand(*adapter, device.GetAddress(), command);
        if (!transaction.ok && !adapter->IsPresent())
            return tool.ConnectionLost(*adapter, command.label);
        tool.Output().WriteTransaction(transaction, command.label);
        // Results that cannot be reported are not worth more bus traffic.
        if (tool.OutputFailed())
            return ECliExit::OutputFailed;
        if (!transaction.ok)
            return tool.Judge(transaction,
                              tr("the command %1").arg(CCliTool::Quoted(command.label)));
    }
    return ECliExit::Ok;
}
