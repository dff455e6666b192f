#pragma once

// The commands of the command-line tool: one table that the dispatcher and
// --help share. A command family lives in a source file of its own
// (clibus.cpp, clirun.cpp, ...) and adds its rows here.

#include "cli/clitool.h"
#include "transactions/registermap.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

using CliCommandFunction = ECliExit (*)(CCliTool& tool, const QStringList& arguments);

// An option that belongs to some commands only. Commands may give the same
// short or long name to different options; it then means what the chosen
// command says.
struct SCliCommandOption {
    const char* shortName; // nullptr: long name only
    const char* longName;
    const char* valueName; // nullptr: a switch
    const char* help;      // lines for --help, the first beside the name
    // What commands list it by, when another option has the same long name;
    // nullptr: the long name.
    const char* key = nullptr;
};

struct SCliCommand {
    const char* name;
    const char* synopsis;             // "read ADDR COUNT"
    const char* help;                 // lines for --help, the first beside the synopsis
    std::vector<const char*> options; // keys of its own options
    CliCommandFunction run;
};

const std::vector<SCliCommand>& CliCommands();
const std::vector<SCliCommandOption>& CliCommandOptions();
const SCliCommand* FindCliCommand(const QString& name);
const char* CliOptionKey(const SCliCommandOption& option);
bool CliCommandTakes(const SCliCommand& command, const SCliCommandOption& option);
// The commands that take an option, e.g. "get, set and dump".
QString CliCommandsTaking(const SCliCommandOption& option);
// The commands that take an option of this long name, whatever it means to
// each of them.
QString CliCommandsTaking(const QString& longName);

// The bus (clibus.cpp).
ECliExit CommandList(CCliTool& tool, const QStringList& arguments);
ECliExit CommandDetect(CCliTool& tool, const QStringList& arguments);
ECliExit CommandRead(CCliTool& tool, const QStringList& arguments);
ECliExit CommandWrite(CCliTool& tool, const QStringList& arguments);
// Device files (clirun.cpp).
ECliExit CommandRun(CCliTool& tool, const QStringList& arguments);
// Registers (cliregisters.cpp).
ECliExit CommandGet(CCliTool& tool, const QStringList& arguments);
ECliExit CommandSet(CCliTool& tool, const QStringList& arguments);
ECliExit CommandDump(CCliTool& tool, const QStringList& arguments);
// What the register commands share with watch. A refused value is reported
// on err and gives nothing.
// The pointer width that --reg-width gives, 1 without it.
std::optional<int> CliRegisterWidth(CCliTool& tool);
std::optional<uint32_t> CliRegister(CCliTool& tool, const QString& text, int width);
// The adapter, connected, once the model allows count bytes in one read;
// empty with the exit status in status otherwise.
std::unique_ptr<COrvI2c> CliConnectForRead(CCliTool& tool, size_t count, const QString& what,
                                           ECliExit& status);
// Message sequences (clitransfer.cpp).
ECliExit CommandTransfer(CCliTool& tool, const QStringList& arguments);
// Watching a value (cliwatch.cpp).
ECliExit CommandWatch(CCliTool& tool, const QStringList& arguments);
// Register maps (climaps.cpp): regs, map, and get, set and watch with --map.
ECliExit CommandRegs(CCliTool& tool, const QStringList& arguments);
ECliExit CommandMap(CCliTool& tool, const QStringList& arguments);
ECliExit CommandGetByMap(CCliTool& tool, const QStringList& arguments);
ECliExit CommandSetByMap(CCliTool& tool, const QStringList& arguments);
// The register and field that --map and --field name for a watch, checked
// for reading; the exit status in status when refused.
struct SCliWatchedField {
    SRegisterMap map;
    int reg = -1;
    int field = -1;
};
std::optional<SCliWatchedField> CliWatchedField(CCliTool& tool, ECliExit& status);
