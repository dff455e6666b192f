#pragma once

#include "python/src/pybindings.h"

namespace pellanpy {

// Plugs the demo adapters and adds the simulator's controls (Python targets,
// report delay, faults, unplugging, report logs) to the module.
void DefineSimApi(py::module_& module);

// The simulator's part of os.fork(), for DefineAdapterApi: no control runs
// while the process is copied, and in the child an adapter that a thread of
// the parent was inside (in a Python target) is replaced by a fresh one.
std::vector<std::string> SimAtFork(EForkStep step, std::chrono::steady_clock::time_point deadline);

} // namespace pellanpy
