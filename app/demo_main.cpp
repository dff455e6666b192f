// The program on simulated hardware: the demo adapters of
// sim/adapters/demoadapters.h.

#include "app/startup.h"
#include "sim/adapters/demoadapters.h"

int main(int argc, char* argv[])
{
    const auto adapters = PlugDemoAdapters();
    return runApplication(argc, argv);
}
