#pragma once

// The commands of the command-line tool: one table that the dispatcher and
// --help share. A command family lives in a source file of its own
// (clibus.cpp, clirun.cpp, ...) and adds its rows here.

#include "cli/clitool.h"

#include <QStringList>

#include <vector>

using CliCommandFunction = ECliExit (*)(CCliTool& tool, const QStringList& arguments);

// An option that belongs to some commands only. Commands may give the same
// short name to different options; it then means what the chosen command
// says.
struct SCliCommandOption {
    const char* shortName; // nullptr: long name only
    const char* longName;
    const char* valueName; // nullptr: a switch
    const char* help;      // lines for --help, the first beside the name
};

struct SCliCommand {
    const char* name;
    const char* synopsis;             // "read ADDR COUNT"
    const char* help;                 // lines for --help, the first beside the synopsis
    std::vector<const char*> options; // long names of its own options
    CliCommandFunction run;
};

const std::vector<SCliCommand>& CliCommands();
const std::vector<SCliCommandOption>& CliCommandOptions();
const SCliCommand* FindCliCommand(const QString& name);
// The commands that take an option, e.g. "get, set and dump".
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
// Message sequences (clitransfer.cpp).
ECliExit CommandTransfer(CCliTool& tool, const QStringList& arguments);
