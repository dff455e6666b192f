// pellan_i2c._core: the adapter API on the system's HID stack.

#include "python/src/pybindings.h"
#include "python/src/pymaps.h"

PYBIND11_MODULE(_core, module)
{
    module.doc() = "Orvane USB-I2C adapters through the system's hidapi.";
    pellanpy::DefineAdapterApi(module);
    pellanpy::DefineRegisterMapApi(module, false);
}
