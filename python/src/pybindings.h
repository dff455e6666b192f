#pragma once

// The bindings both extension modules share: the adapter API over the
// engine, whichever HID stack (the system's or the simulated one) the
// module is linked with, and the bookkeeping for simulated targets written in
// Python, whose errors surface in the call that reached them.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <type_traits>
#include <vector>

namespace pellanpy {

namespace py = pybind11;

// The bytes of a bytes-like object or of an iterable of ints 0 to 255;
// raises TypeError or ValueError (naming what) otherwise.
std::vector<uint8_t> ToBytes(py::handle data, const char* what);

// Adds AdapterInfo, list_adapters and Adapter to the module.
void DefineAdapterApi(py::module_& module);

// Raises RuntimeError when the calling thread is inside a Python target's
// write or read: the adapter that called the target is busy with that very
// transaction, and using it from there would deadlock.
void CheckNotInTarget();

// Marks the calling thread as inside a Python target's callback.
class CTargetScope {
public:
    CTargetScope();
    ~CTargetScope();
    CTargetScope(const CTargetScope&) = delete;
    CTargetScope& operator=(const CTargetScope&) = delete;
};

// Keeps the first error a target raised during the current call, for the
// caller to raise once the engine has returned. Needs the GIL.
void SetTargetFailure(py::object error);
// Raises the kept error, if any, and forgets it. Needs the GIL.
void RaiseTargetFailure();

// Runs a blocking engine call with the GIL released; an error a Python target
// raised during it replaces whatever the call itself ended with.
template <typename F> auto CallReleased(F&& call) -> decltype(call())
{
    CheckNotInTarget();
    try {
        if constexpr (std::is_void_v<decltype(call())>) {
            {
                py::gil_scoped_release release;
                call();
            }
            RaiseTargetFailure();
        } else {
            auto result = [&] {
                py::gil_scoped_release release;
                return call();
            }();
            RaiseTargetFailure();
            return result;
        }
    } catch (const std::exception&) {
        RaiseTargetFailure();
        throw;
    }
}

} // namespace pellanpy
