// pellan_i2c.sim._core: the adapter API on the simulated HID stack.

#include "python/src/pymaps.h"
#include "python/src/simbindings.h"

PYBIND11_MODULE(_core, module)
{
    module.doc() = "The demo's simulated Orvane adapters, through the real protocol engine.";
    pellanpy::DefineAdapterApi(module, &pellanpy::SimAtFork);
    pellanpy::DefineRegisterMapApi(module, true);
    pellanpy::DefineSimApi(module);
}
