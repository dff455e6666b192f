// pellan_i2c._core: the adapter API on the system's HID stack.

#include "python/src/pybindings.h"

PYBIND11_MODULE(_core, module)
{
    module.doc() = "Orvane USB-I2C adapters through the system's hidapi.";
    pellanpy::DefineAdapterApi(module);
}
