// The program on simulated hardware: the demo adapters of
// sim/adapters/demoadapters.h, whose sensors see light and warmth change.

#include "app/startup.h"
#include "sim/adapters/demoadapters.h"

int main(int argc, char* argv[])
{
    const auto adapters = PlugDemoAdapters();
    const CDemoDrift drift(adapters);
    return runApplication(argc, argv);
}
