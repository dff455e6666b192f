// The command-line tool on simulated hardware: the demo adapters of
// sim/adapters/demoadapters.h, fresh in every run.

#include "cli/climain.h"
#include "sim/adapters/demoadapters.h"

int main(int argc, char* argv[])
{
    const auto adapters = PlugDemoAdapters();
    return runCliProgram(argc, argv);
}
