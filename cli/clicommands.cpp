#include "cli/clicommands.h"

#include <QCoreApplication>

#include <algorithm>
#include <functional>

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
         QT_TRANSLATE_NOOP("CCliTool", "Probe the addresses 0x08 to 0x77 (0x00 to 0x7F with\n"
                                       "--all-addresses) and print the grid i2cdetect\n"
                                       "prints, by 7-bit address: the address of\n"
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
                                       "commands, a label that names several commands, a\n"
                                       "stop or none that no start before it in the run\n"
                                       "opened, and commands the model cannot carry out."),
         {},
         CommandRun},
        {"get",
         "get ADDR [REG [COUNT]]",
         QT_TRANSLATE_NOOP("CCliTool", "Read COUNT bytes (default 1) from register REG: the\n"
                                       "pointer, then the read after a repeated start. Without\n"
                                       "REG, read one byte at the device's current pointer.\n"
                                       "Prints the bytes as i2cget does, e.g. 0x17 0x80.\n"
                                       "i2cget's mode letters are refused with what to give\n"
                                       "instead (w: a count of 2, printed byte by byte).\n"
                                       "With --map, REG is a register NAME of the map,\n"
                                       "printed so, or NAME.FIELD, printed as the field's\n"
                                       "text, e.g. 23.5 °C."),
         {"reg-width", "map"},
         CommandGet},
        {"set",
         "set ADDR REG VALUE...",
         QT_TRANSLATE_NOOP("CCliTool", "Write the values to register REG in one write: the\n"
                                       "pointer, then the values, with a start and a stop.\n"
                                       "Prints nothing on success, as i2cset. With --map,\n"
                                       "give NAME=VALUE or NAME.FIELD=VALUE instead, VALUE a\n"
                                       "number in the field's unit, a raw 0x number or a\n"
                                       "label: the fields of one register go in one\n"
                                       "read-modify-write, then a read-back where readable\n"
                                       "(a difference exits 1). Unknown names, read-only\n"
                                       "targets and values a field cannot hold are refused\n"
                                       "before the bus."),
         {"reg-width", "readback", "mask", "map"},
         CommandSet},
        {"dump",
         "dump ADDR [MODE]",
         QT_TRANSLATE_NOOP("CCliTool", "Read registers 0x00 to 0xFF (or --range) and print the\n"
                                       "grid i2cdump prints, XX for a byte that failed (exit\n"
                                       "status 1). MODE b (the default) reads each byte on its\n"
                                       "own; i reads blocks as large as the model allows, for\n"
                                       "devices whose pointer increments; c writes the pointer\n"
                                       "once, then reads byte after byte."),
         {"reg-width", "range"},
         CommandDump},
        {"regs",
         "regs ADDR --map M",
         QT_TRANSLATE_NOOP("CCliTool", "Read every readable register of the map M and print\n"
                                       "each decoded: a line with its name, address and\n"
                                       "value, then a line per field. Registers whose read\n"
                                       "clears something are left out (get reads them by\n"
                                       "name). A register that failed prints \"failed: \" and\n"
                                       "the error, and the rest are still read (exit\n"
                                       "status 1)."),
         {"map"},
         CommandRegs},
        {"transfer",
         "transfer MSG [DATA...]...",
         QT_TRANSLATE_NOOP("CCliTool", "Send messages as one transaction, as i2ctransfer does:\n"
                                       "a start, a repeated start between messages, one stop.\n"
                                       "MSG is {r|w}LENGTH[@ADDR] (without @ADDR the previous\n"
                                       "message's address); a write is followed by LENGTH\n"
                                       "data bytes, the last given of which may end in = (the\n"
                                       "same again), + or - (counting) or p (pseudo-random) to\n"
                                       "fill the rest. The adapters end every read with a\n"
                                       "stop, so a read must be the last message. Prints the\n"
                                       "bytes read as i2cget does."),
         {"verbose"},
         CommandTransfer},
        {"watch",
         "watch ADDR COUNT",
         QT_TRANSLATE_NOOP("CCliTool", "Read COUNT bytes from ADDR every --interval, or from\n"
                                       "register REG with --register, and print one line per\n"
                                       "sample: the time the poll began, then the value that\n"
                                       "--format and the options after it decode, or the\n"
                                       "bytes without --format. Ends after --samples, or at\n"
                                       "Ctrl+C or SIGTERM within one poll, with exit status\n"
                                       "0; a line that a full pipe does not take is dropped.\n"
                                       "A failed poll prints a failed sample\n"
                                       "and the watch goes on, a timeout too (exit status 1\n"
                                       "at the end); a lost adapter ends it (exit status 3).\n"
                                       "With --map and --field, the field's register and\n"
                                       "decoding stand for --register and --format, and\n"
                                       "COUNT may be left out."),
         {"map", "field", "register", "reg-width", "interval", "samples", "format", "shift",
          "watch-mask", "scale", "offset", "unit", "decimals", "csv"},
         CommandWatch},
        {"map",
         "map check|list|header|markdown [M]",
         QT_TRANSLATE_NOOP("CCliTool", "Register maps (*.i2cmap), without the bus: check M\n"
                                       "loads a map and names what is wrong (exit status 2)\n"
                                       "or the keys it does not know; list shows the maps\n"
                                       "found; header M prints a C header of its register\n"
                                       "addresses, field shifts and masks and labelled\n"
                                       "values, markdown M a description. M is a device\n"
                                       "name or a file, as with --map."),
         {},
         CommandMap},
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
        {nullptr, "reg-width", "N",
         QT_TRANSLATE_NOOP("CCliTool", "The register pointer is N bytes (1 to 4), sent most\n"
                                       "significant byte first; 1 by default. REG, VALUE,\n"
                                       "MASK, COUNT and every other number but an address\n"
                                       "are numbers as the i2c-tools take them: hex with 0x,\n"
                                       "octal with a leading 0, decimal otherwise.")},
        {"r", "readback", nullptr,
         QT_TRANSLATE_NOOP("CCliTool", "Read the values back from REG afterwards and\n"
                                       "compare; a difference exits 1 and names the first\n"
                                       "offset, the value written and the value read.")},
        {nullptr, "mask", "MASK",
         QT_TRANSLATE_NOOP("CCliTool", "For a single value: read the old byte first and\n"
                                       "write (VALUE & MASK) | (old & ~MASK). A mask of 0\n"
                                       "is refused: it would only write the old value back.")},
        {"r", "range", "FIRST-LAST",
         QT_TRANSLATE_NOOP("CCliTool", "Only these registers; rows outside the range are\n"
                                       "left out. With --reg-width 2 or more the registers\n"
                                       "run up to the pointer's width (the default range\n"
                                       "stays 0x00-0xFF; a dump covers at most 65536\n"
                                       "registers).")},
        {"v", "verbose", nullptr,
         QT_TRANSLATE_NOOP("CCliTool", "Once sent, print one line per message sent, as\n"
                                       "i2ctransfer -v does, a read with its bytes, e.g.\n"
                                       "msg 1: addr 0x50, read, len 2, buf 0xff 0xff")},
        {nullptr, "map", "M",
         QT_TRANSLATE_NOOP("CCliTool", "The register map: a device name such as LM75,\n"
                                       "looked for in the maps folder beside the projects\n"
                                       "folder and then in the installed maps (a user's map\n"
                                       "of a name wins), or a file: a path with a / or\n"
                                       "ending in .i2cmap. Registers and fields then go by\n"
                                       "name, with the map's pointer width.")},
        {nullptr, "field", "NAME.FIELD",
         QT_TRANSLATE_NOOP("CCliTool", "Watch this field of the --map: its register's\n"
                                       "pointer and bytes, decoded by the field's sign,\n"
                                       "scale, offset, unit and decimals. Not together with\n"
                                       "--register, --reg-width, --format or the options\n"
                                       "after it.")},
        {nullptr, "register", "REG",
         QT_TRANSLATE_NOOP("CCliTool", "Write this register pointer before each read, with a\n"
                                       "start and no stop; the read follows after a repeated\n"
                                       "start. Without it, read at the device's current\n"
                                       "pointer.")},
        {nullptr, "interval", "TIME",
         QT_TRANSLATE_NOOP("CCliTool", "Time from the start of one poll to the next: 10ms to\n"
                                       "1h, as 100ms, 2s, 1.5s, 1min or 1h; 1s by default.\n"
                                       "Polls keep to the grid of the first one's start and\n"
                                       "do not drift. A poll starts at most half an\n"
                                       "interval after its slot (after a long poll or a busy\n"
                                       "system); a slot passed by more is skipped, so two\n"
                                       "polls never start less than half an interval apart.")},
        {nullptr, "samples", "N",
         QT_TRANSLATE_NOOP("CCliTool", "End after N samples. Without it the watch runs until\n"
                                       "Ctrl+C or SIGTERM.")},
        {nullptr, "format", "FORMAT",
         QT_TRANSLATE_NOOP("CCliTool", "Decode the first bytes read as u8, s8, u16be, u16le,\n"
                                       "s16be, s16le, u24be, u24le, u32be, u32le, s32be or\n"
                                       "s32le. Without it a sample shows the bytes read (the\n"
                                       "value of --csv and --json stays empty), and the\n"
                                       "options below are refused.")},
        {nullptr, "shift", "N",
         QT_TRANSLATE_NOOP("CCliTool", "Then shift right by N bits, keeping the sign of the\n"
                                       "signed formats; 0 by default.")},
        {nullptr, "mask", "M",
         QT_TRANSLATE_NOOP("CCliTool", "Then keep the bits of M (0x hex, 0 octal or decimal,\n"
                                       "as in the window's Watch, no wider than the\n"
                                       "format); a masked value is never negative."),
         "watch-mask"},
        {nullptr, "scale", "X",
         QT_TRANSLATE_NOOP("CCliTool", "Then multiply by X, a number or a fraction such as\n"
                                       "1/1.2; 1 by default.")},
        {nullptr, "offset", "X", QT_TRANSLATE_NOOP("CCliTool", "Then add X; 0 by default.")},
        {nullptr, "unit", "TEXT",
         QT_TRANSLATE_NOOP("CCliTool", "Print TEXT after the value, e.g. --unit lx; no\n"
                                       "line breaks, tabs or other control characters.")},
        {nullptr, "decimals", "N",
         QT_TRANSLATE_NOOP("CCliTool", "Print the value with N decimals, 0 to 12; 2 by\n"
                                       "default.")},
        {nullptr, "csv", nullptr,
         QT_TRANSLATE_NOOP("CCliTool", "Print CSV as the window's Watch saves it: the header\n"
                                       "time,seconds,raw,value,status, then a line per\n"
                                       "sample.")},
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

const char* CliOptionKey(const SCliCommandOption& option)
{
    return option.key ? option.key : option.longName;
}

bool CliCommandTakes(const SCliCommand& command, const SCliCommandOption& option)
{
    return std::any_of(command.options.begin(), command.options.end(),
                       [&](const char* key) { return qstrcmp(key, CliOptionKey(option)) == 0; });
}

namespace {

// "get, set and dump"
QString namesOfCommands(const std::function<bool(const SCliCommand&)>& takes)
{
    QStringList names;
    for (const SCliCommand& command : CliCommands()) {
        if (takes(command))
            names.append(QLatin1String(command.name));
    }
    if (names.size() < 2)
        return names.join(QString());
    const QString last = names.takeLast();
    return CCliTool::tr("%1 and %2").arg(names.join(QStringLiteral(", ")), last);
}

} // namespace

QString CliCommandsTaking(const SCliCommandOption& option)
{
    return namesOfCommands(
        [&](const SCliCommand& command) { return CliCommandTakes(command, option); });
}

QString CliCommandsTaking(const QString& longName)
{
    return namesOfCommands([&](const SCliCommand& command) {
        const auto& options = CliCommandOptions();
        return std::any_of(options.begin(), options.end(), [&](const SCliCommandOption& option) {
            return longName == QLatin1String(option.longName) && CliCommandTakes(command, option);
        });
    });
}
