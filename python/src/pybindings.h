#pragma once

// The bindings both extension modules share: the adapter API over the
// engine, whichever HID stack (the system's or the simulated one) the
// module is linked with, and the checks of the arguments of the public API,
// which raise TypeError or ValueError naming the argument.

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

// A 7-bit I2C address: an int (not a bool) from 0x00 to 0x7F.
uint8_t ToI2cAddress(py::handle address, const std::string& what = "address");
// An int (not a bool) from low to high.
long long ToInt(py::handle value, const std::string& what, long long low, long long high);
// A str, as UTF-8; a str that UTF-8 can not carry raises UnicodeEncodeError
// (a ValueError).
std::string ToText(py::handle value, const std::string& what);
// As ToText, or none for None.
std::optional<std::string> ToOptionalText(py::handle value, const std::string& what);
// The truth of any object, as bool() gives it; what bool() raises goes on.
bool ToFlag(py::handle value);

// Adds AdapterInfo, list_adapters and Adapter to the module, and hooks the
// module into the interpreter's exit and os.fork(); atFork takes part in
// os.fork() (see EForkStep).
void DefineAdapterApi(py::module_& module, ForkHook atFork = {});

} // namespace pellanpy
