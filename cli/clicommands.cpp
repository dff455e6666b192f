#include "cli/clicommands.h"

#include <QCoreApplication>

const std::vector<SCliCommand>& CliCommands()
{
    static const std::vector<SCliCommand> commands = {
        {"list",
         "list",
         QT_TRANSLATE_NOOP("CCliTool", "List the attached adapters, one line each: model,\n"
                                       "serial number, product, firmware and the speeds the\n"
                                       "model supports."),
         {},
         CommandList},
        {"detect",
         "detect",
         QT_TRANSLATE_NOOP("CCliTool", "Probe the addresses 0x08 to 0x77 and print the grid\n"
                                       "i2cdetect prints, by 7-bit address: the address of\n"
                                       "each device that answered, -- for the silent ones\n"
                                       "(a NACK), XX for a failed probe (exit status 1). A\n"
                                       "timeout ends the scan: the adapter stopped answering."),
         {},
         CommandDetect},
        {"read",
         "read ADDR COUNT",
         QT_TRANSLATE_NOOP("CCliTool", "Read COUNT bytes (1 to 65535; the Orvane5 reads up to\n"
                                       "256) from ADDR and print them 16 per line with hex\n"
                                       "offsets."),
         {},
         CommandRead},
        {"write",
         "write ADDR [BYTES...]",
         QT_TRANSLATE_NOOP("CCliTool", "Write hex bytes to ADDR as the window's Write does.\n"
                                       "Bytes are two hex digits each (0x allowed, a single\n"
                                       "digit is one byte), separated by blanks, commas or\n"
                                       "semicolons, in one argument or several. Without\n"
                                       "a byte argument, write the address alone (a probe);\n"
                                       "an argument without bytes (\"\") is refused."),
         {"mode"},
         CommandWrite},
        {"run",
         "run FILE [LABEL...]",
         QT_TRANSLATE_NOOP("CCliTool", "Run the commands of a device file (*.i2cdev) at the\n"
                                       "device's address over one connection: every command\n"
                                       "in file order, or the commands with these labels in\n"
                                       "the order given (letter case and blanks around a\n"
                                       "label do not matter). Stops at the first failure.\n"
                                       "Refuses before sending anything a file without\n"
                                       "commands, a label that names several commands, and\n"
                                       "commands the model cannot carry out."),
         {},
         CommandRun},
    };
    return commands;
}

const std::vector<SCliCommandOption>& CliCommandOptions()
{
    static const std::vector<SCliCommandOption> options = {
        {"m", "mode", "MODE",
         QT_TRANSLATE_NOOP("CCliTool", "Start/stop mode of write:\n"
                                       "  auto   start, address, data, stop (the default)\n"
                                       "  start  start, address, data; the bus stays open\n"
                                       "  stop   data and stop, no address\n"
                                       "  none   data alone, no address\n"
                                       "stop and none continue a transaction that a start\n"
                                       "opened. Each call of the tool is a connection of its\n"
                                       "own, so write refuses them; in a device file they\n"
                                       "continue a command with mode start.")},
    };
    return options;
}

const SCliCommand* FindCliCommand(const QString& name)
{
    for (const SCliCommand& command : CliCommands()) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

QString CliCommandsTaking(const QString& longName)
{
    QStringList names;
    for (const SCliCommand& command : CliCommands()) {
        for (const char* option : command.options) {
            if (longName == QLatin1String(option))
                names.append(QLatin1String(command.name));
        }
    }
    if (names.size() < 2)
        return names.join(QString());
    const QString last = names.takeLast();
    return CCliTool::tr("%1 and %2").arg(names.join(QStringLiteral(", ")), last);
}
