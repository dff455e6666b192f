#pragma once

// The bindings both extension modules share: the adapter API over the
// engine, whichever HID stack (the system's or the simulated one) the
// module is linked with.

#include "python/src/pycall.h"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pellanpy {

namespace py = pybind11;

// The bytes of a bytes-like object or of an iterable of ints 0 to 255;
// raises TypeError or ValueError (naming what) otherwise.
std::vector<uint8_t> ToBytes(py::handle data, const char* what);

// Adds AdapterInfo, list_adapters and Adapter to the module, and hooks the
// module into the interpreter's exit and os.fork(); atFork takes part in
// os.fork() (see EForkStep).
void DefineAdapterApi(py::module_& module, ForkHook atFork = {});

} // namespace pellanpy
