// The program on simulated hardware: the demo adapters of
// sim/adapters/demoadapters.h, whose sensors see light and warmth change.

#include "app/startup.h"
#include "sim/adapters/demoadapters.h"

#include <cstdio>
#include <string>

int main(int argc, char* argv[])
{
    std::string error;
    const auto adapters = PlugDemoAdapters(&error);
    if (!error.empty()) {
        std::fprintf(stderr, "pellan-i2c-demo: %s\n", error.c_str());
        return 2;
    }
    const CDemoDrift drift(adapters);
    return runApplication(argc, argv);
}
