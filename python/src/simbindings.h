#pragma once

#include "python/src/pybindings.h"

namespace pellanpy {

// Plugs the demo adapters and adds the simulator's controls (Python targets,
// report delay, faults, unplugging, report logs) to the module.
void DefineSimApi(py::module_& module);

} // namespace pellanpy
