#pragma once

#include "python/src/pybindings.h"

namespace pellanpy {

// Plugs the demo adapters and adds the simulator's controls (Python targets,
// report delay, faults, unplugging, report logs) to the module.
void DefineSimApi(py::module_& module);

// The simulator's part of the exit (its Python targets leave while the
// interpreter can still drop them) and of os.fork() (no control runs while
// the process is copied), for DefineAdapterApi.
void SimAtExit(const CGilFree& proof);
void SimAtFork(bool before);

} // namespace pellanpy
