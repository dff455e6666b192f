// The device-file command: run.

#include "cli/clicommands.h"
#include "cli/clioutput.h"
#include "projects/i2cdevicefile.h"
#include "transactions/i2ctransaction.h"

#include <QFileInfo>

namespace {

// Labels a message lists before it says how many more there are, and the
// length at which it cuts one short: a file may hold a million commands.
constexpr int LISTED_LABELS = 10;
constexpr int LISTED_LABEL_LENGTH = 60;

QString tr(const char* text)
{
    return CCliTool::tr(text);
}

QString quoted(const QString& text)
{
    return CCliTool::Quoted(text, LISTED_LABEL_LENGTH);
}

// The labels of these commands for a message, the first few of them.
QString labelList(const QList<SI2cCommand>& commands, const QList<qsizetype>& indexes)
{
    QStringList labels;
    for (qsizetype index : indexes.mid(0, LISTED_LABELS))
        labels.append(quoted(commands[index].label));
    QString list = labels.join(QStringLiteral(", "));
    if (indexes.size() > LISTED_LABELS)
        list += tr(" and %1 more").arg(indexes.size() - LISTED_LABELS);
    return list;
}

// The commands a label names, under the rule of the projects panel: letter
// case and blanks around it do not matter.
QList<qsizetype> matchingCommands(const QList<SI2cCommand>& commands, const QString& label)
{
    QList<qsizetype> indexes;
    const QString wanted = label.trimmed();
    for (qsizetype i = 0; i < commands.size(); ++i) {
        if (commands[i].label.trimmed().compare(wanted, Qt::CaseInsensitive) == 0)
            indexes.append(i);
    }
    return indexes;
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
        // The system hands over names as bytes; those that are not UTF-8
        // arrive here with U+FFFD in place of the bytes and name no file.
        if (path.contains(QChar::ReplacementCharacter) && !QFileInfo::exists(path)) {
            return tool.Usage(tr("the file name %1 is not valid UTF-8 (U+FFFD stands for the "
                                 "bytes that are not), and %2 opens UTF-8 names only. Rename "
                                 "the file.")
                                  .arg(CCliTool::Quoted(path), tool.Program()));
        }
        return tool.Usage(
            tr("cannot use the device file %1: %2. Give the path of a readable "
               "device file and correct what the error names.")
                .arg(CCliTool::Quoted(path), CCliTool::Clause(device.GetLastError())));
    }

    if (!tool.CheckAddress(device.GetAddress(), tr("the device file's address")))
        return ECliExit::Usage;
    const QList<SI2cCommand>& all = device.GetCommands();
    if (all.isEmpty()) {
        return tool.Usage(tr("the device file %1 has no commands, so there is nothing to run. Add "
                             "commands in the projects panel or an editor.")
                              .arg(CCliTool::Quoted(path)));
    }
    QList<SI2cCommand> commands;
    if (arguments.size() == 1)
        commands = all;
    for (const QString& label : arguments.mid(1)) {
        const QList<qsizetype> matches = matchingCommands(all, label);
        if (matches.size() == 1) {
            commands.append(all[matches.first()]);
            continue;
        }
        if (matches.size() > 1) {
            return tool.Usage(
                tr("the label %1 names %2 commands of %3: %4. Labels are told apart neither by "
                   "letter case nor by blanks around them; give the commands distinct labels.")
                    .arg(quoted(label))
                    .arg(matches.size())
                    .arg(CCliTool::Quoted(path), labelList(all, matches)));
        }
        QList<qsizetype> everyIndex;
        for (qsizetype i = 0; i < all.size(); ++i)
            everyIndex.append(i);
        return tool.Usage(
            tr("the device file %1 has no command %2. Give one of %3.")
                .arg(CCliTool::Quoted(path), quoted(label), labelList(all, everyIndex)));
    }
    // Whether a command before this one left a transaction open: a start
    // opens one, and only stop and none continue it; a read ends with a stop.
    bool open = false;
    for (const SI2cCommand& command : commands) {
        if (command.type == EI2cCommandType::Read) {
            open = false;
            continue;
        }
        const QLatin1String mode(MODE_NAMES[static_cast<size_t>(command.mode)].second);
        if (!IsWriteDataAcceptable(command.mode, command.data)) {
            return tool.Usage(tr("the command %1 of %2 writes no bytes in mode %3, which sends "
                                 "no address. Add data bytes to it.")
                                  .arg(quoted(command.label), CCliTool::Quoted(path), mode));
        }
        if (!ModeSendsAddress(command.mode) && !open) {
            return tool.Usage(
                tr("the command %1 of %2 has mode %3, which continues a transaction that a start "
                   "opened, but no command before it in this run leaves one open, and each run "
                   "is a connection of its own. Run it after a command with mode start.")
                    .arg(quoted(command.label), CCliTool::Quoted(path), mode));
        }
        open = !ModeSendsStop(command.mode);
    }

    // What the model cannot do is refused before the first command goes out,
    // so that a run never stops half-way for it.
    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = tool.SelectAdapter(status);
    if (!adapter)
        return status;
    for (const SI2cCommand& command : commands) {
        if (command.type == EI2cCommandType::Read &&
            static_cast<size_t>(command.count) > adapter->GetMaxReadCount()) {
            return tool.Usage(tr("the command %1 reads %2 bytes, but the %3 reads at most %4 at "
                                 "once. Lower its count.")
                                  .arg(quoted(command.label))
                                  .arg(command.count)
                                  .arg(tool.AdapterName())
                                  .arg(adapter->GetMaxReadCount()));
        }
        if (command.type == EI2cCommandType::Write &&
            !IsWriteSupportedBy(*adapter, command.mode, command.data)) {
            return tool.Usage(tr("the command %1 writes the address without data, which the %2 "
                                 "cannot send. Give it data bytes, or read one byte instead.")
                                  .arg(quoted(command.label), tool.AdapterName()));
        }
    }
    if (!tool.Connect(*adapter))
        return ECliExit::NoConnection;

    for (const SI2cCommand& command : commands) {
        const SI2cTransaction transaction = RunCommand(*adapter, device.GetAddress(), command);
        tool.Output().WriteTransaction(transaction, command.label);
        if (!transaction.ok && !adapter->IsPresent())
            return tool.ConnectionLost(*adapter, command.label);
        // Results that cannot be reported are not worth more bus traffic.
        if (tool.OutputFailed())
            return ECliExit::OutputFailed;
        if (!transaction.ok)
            return tool.Judge(transaction, tr("the command %1").arg(quoted(command.label)));
    }
    return ECliExit::Ok;
}
