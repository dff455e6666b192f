#pragma once

// Register maps in Python: the one reader loads a map, the Python layer
// builds its description from the map's layout, and names and values are
// checked (by the same functions as the window's and the command-line
// tool's) before the bus. Reads and read-modify-writes run on an adapter
// with the GIL released and the adapter held for all their steps.

#include <pybind11/pybind11.h>

namespace pellanpy {

namespace py = pybind11;

// Adds _RegisterMap and the map functions to the module. A simulated module
// always looks in the build tree's copy of the shipped maps; the real one
// only when it runs from the build tree.
void DefineRegisterMapApi(py::module_& module, bool simulated);

} // namespace pellanpy
