#include "cli/climain.h"

#include "cli/clistdout.h"
#include "cli/clitool.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

int runCliProgram(int argc, char* argv[], const QString& helpExtra, const QString& exampleAdapter,
                  bool demo)
{
    const bool stdoutClosed = ReserveStandardDescriptors();
    QCoreApplication app(argc, argv);
    CCliStdout stdoutDevice(stdoutClosed ? -1 : STDOUT_FILENO);
    QTextStream out(&stdoutDevice);
    QTextStream err(stderr);
    CCliTool tool(out, err);
    tool.SetHelpExtra(helpExtra, exampleAdapter);
    tool.SetDemo(demo);
    return tool.Run(QCoreApplication::arguments());
}
