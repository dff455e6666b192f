#include "cli/climain.h"

#include "cli/clitool.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int runCliProgram(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    return CCliTool(out, err).Run(QCoreApplication::arguments());
}
