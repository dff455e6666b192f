#include "python/src/pybindings.h"

#include "python/src/pyadapter.h"

#include <pybind11/stl.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

namespace pellanpy {

namespace {

thread_local int t_targetDepth = 0;
// A strong reference, taken and dropped with the GIL held.
thread_local PyObject* t_targetFailure = nullptr;

std::string Hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

uint8_t ToAddress(long long address)
{
    if (address < 0 || address > 0x7F) {
        throw py::value_error("address " + std::to_string(address) +
                              " is not a 7-bit I2C address (0x00 to 0x7F)");
    }
    return static_cast<uint8_t>(address);
}

size_t ToCount(long long count)
{
    // The adapter names its own limit; a negative count reads as 0.
    return count < 0 ? 0 : static_cast<size_t>(count);
}

py::bytes ToPyBytes(const std::vector<uint8_t>& data)
{
    return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

EI2cStartStop ToMode(const std::string& name)
{
    for (const auto& [mode, text] : MODE_NAMES) {
        if (name == text)
            return mode;
    }
    throw py::value_error("unknown mode '" + name +
                          "'; give one of 'auto', 'start', 'stop' or 'none'");
}

std::string AdapterRepr(const CPyAdapter& adapter)
{
    if (adapter.IsClosed())
        return "<Adapter " + adapter.Model() + " " + adapter.Serial() + " (closed)>";
    return "<Adapter " + adapter.Model() + " " + adapter.Serial() + " at " +
           std::to_string(adapter.SpeedHz()) + " Hz>";
}

// Closing sends the adapter a report, which may wait for a thread that is
// inside a simulated target waiting for the GIL: an adapter dropped by the
// garbage collector closes with the GIL released.
struct SReleasingDelete {
    void operator()(CPyAdapter* adapter) const
    {
        if (PyGILState_Check() && !_Py_IsFinalizing()) {
            py::gil_scoped_release release;
            delete adapter;
        } else {
            delete adapter;
        }
    }
};
using AdapterHolder = std::unique_ptr<CPyAdapter, SReleasingDelete>;

} // namespace

CTargetScope::CTargetScope()
{
    ++t_targetDepth;
}

CTargetScope::~CTargetScope()
{
    --t_targetDepth;
}

void CheckNotInTarget()
{
    if (t_targetDepth > 0) {
        throw std::runtime_error("a simulated target's write or read can not use the "
                                 "simulated adapters: its own adapter is in the middle of "
                                 "the transaction that called it");
    }
}

void SetTargetFailure(py::object error)
{
    if (!t_targetFailure)
        t_targetFailure = error.release().ptr();
}

void RaiseTargetFailure()
{
    PyObject* error = std::exchange(t_targetFailure, nullptr);
    if (!error)
        return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    Py_DECREF(error);
    throw py::error_already_set();
}

std::vector<uint8_t> ToBytes(py::handle data, const char* what)
{
    if (PyUnicode_Check(data.ptr()))
        throw py::type_error(std::string(what) + " must be bytes or ints, not str");
    if (PyObject_CheckBuffer(data.ptr())) {
        Py_buffer view;
        if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0)
            throw py::error_already_set();
        const auto* bytes = static_cast<const uint8_t*>(view.buf);
        std::vector<uint8_t> out(bytes, bytes + view.len);
        PyBuffer_Release(&view);
        return out;
    }
    std::vector<uint8_t> out;
    for (py::handle item : py::iter(data)) {
        if (!PyLong_Check(item.ptr())) {
            throw py::type_error(std::string(what) + " must hold ints, not " +
                                 Py_TYPE(item.ptr())->tp_name);
        }
        const long value = PyLong_AsLong(item.ptr());
        if (value < 0 || value > 0xFF) {
            if (PyErr_Occurred())
                PyErr_Clear();
            throw py::value_error(std::string(what) + " holds " +
                                  py::str(item).cast<std::string>() +
                                  ", which is not a byte (0 to 255)");
        }
        out.push_back(static_cast<uint8_t>(value));
    }
    return out;
}

void DefineAdapterApi(py::module_& module)
{
    py::register_local_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown)
                std::rethrow_exception(thrown);
        } catch (const CI2cError& error) {
            py::object instance = py::reinterpret_steal<py::object>(
                PyObject_CallFunction(PyExc_OSError, "is", error.Code(), error.what()));
            if (!instance)
                return; // the call set its own error
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
        }
    });

    py::class_<SPyAdapterInfo>(module, "AdapterInfo", py::module_local(),
                               "One attached adapter, as list_adapters() reports it.")
        .def_readonly("model", &SPyAdapterInfo::model, "The model: Orvane3, Orvane5 or Orvane7.")
        .def_readonly("serial", &SPyAdapterInfo::serial, "The USB serial number.")
        .def_readonly("product", &SPyAdapterInfo::product, "The USB product name.")
        .def_readonly("firmware", &SPyAdapterInfo::firmware,
                      "The firmware release as a BCD number, e.g. 0x0210 for 2.10.")
        .def_readonly("speeds", &SPyAdapterInfo::speeds,
                      "The bus speeds the model supports, in hertz, slowest first.")
        .def_readonly("pull_up_switch", &SPyAdapterInfo::pullUpSwitch,
                      "True when the model can switch its pull-up resistors off.")
        .def("__repr__", [](const SPyAdapterInfo& info) {
            std::string speeds;
            for (unsigned hz : info.speeds)
                speeds += (speeds.empty() ? "" : ", ") + std::to_string(hz);
            return "AdapterInfo(model='" + info.model + "', serial='" + info.serial +
                   "', product='" + info.product + "', firmware=" + Hex(info.firmware, 4) +
                   ", speeds=[" + speeds +
                   "], pull_up_switch=" + (info.pullUpSwitch ? "True" : "False") + ")";
        });

    module.def(
        "list_adapters", [] { return CallReleased([] { return ListPyAdapters(); }); },
        "Every attached Orvane adapter: all Orvane3 by serial number, then all Orvane5, "
        "then all Orvane7.");

    py::class_<CPyAdapter, AdapterHolder>(module, "Adapter", py::module_local(), R"doc(
An Orvane USB-I2C adapter, opened as bus master.

Adapter(serial=None, speed=100_000, pull_ups=True)

Without a serial number the only attached adapter is used; with several
attached, ValueError names them. The speed is in hertz (10_000, 50_000,
100_000, 400_000 or 1_000_000, as the model supports). pull_ups=False switches
the pull-up resistors off (the Orvane5 only).

Failed transfers raise OSError with the errno a Linux I2C driver gives:
EREMOTEIO for a NACK, ETIMEDOUT when the adapter does not answer, ENODEV when
it is gone, EAGAIN for lost arbitration, EIO for other bus errors; the message
is the adapter's own text. Bad arguments raise ValueError or TypeError.

Every method may be called from any thread; one lock per adapter keeps the
transactions apart, and the GIL is released while the adapter works. Use it as
a context manager, or call close().)doc")
        .def(py::init([](std::optional<std::string> serial, long long speed, bool pullUps) {
                 return CallReleased([&] {
                     const long long hz = speed < 0 || speed > 0xFFFFFFFFLL ? 0 : speed;
                     return AdapterHolder(
                         new CPyAdapter(serial, static_cast<unsigned>(hz), pullUps));
                 });
             }),
             py::arg("serial") = py::none(), py::arg("speed") = 100'000, py::arg("pull_ups") = true)
        .def(
            "write",
            [](CPyAdapter& self, long long address, py::object data, const std::string& mode) {
                const uint8_t addr = ToAddress(address);
                const std::vector<uint8_t> bytes = ToBytes(data, "data");
                const EI2cStartStop startStop = ToMode(mode);
                CallReleased([&] { self.Write(addr, bytes, startStop); });
            },
            py::arg("address"), py::arg("data"), py::arg("mode") = "auto",
            R"doc(Writes data to a 7-bit address.

mode chooses the start and stop conditions: "auto" (start, address, data,
stop), "start" (no stop: the transaction stays open for a repeated start),
"stop" (data only, then a stop) or "none" (data only). "stop" and "none"
continue a transaction that "start" opened and send no address. With "auto"
and no data the write is an address probe.)doc")
        .def(
            "read",
            [](CPyAdapter& self, long long address, long long count) {
                const uint8_t addr = ToAddress(address);
                return ToPyBytes(CallReleased([&] { return self.Read(addr, ToCount(count)); }));
            },
            py::arg("address"), py::arg("count"),
            "Reads count bytes (1 to max_read) from a 7-bit address, with a start and a stop.")
        .def(
            "write_read",
            [](CPyAdapter& self, long long address, py::object data, long long count) {
                const uint8_t addr = ToAddress(address);
                const std::vector<uint8_t> bytes = ToBytes(data, "data");
                return ToPyBytes(
                    CallReleased([&] { return self.WriteRead(addr, bytes, ToCount(count)); }));
            },
            py::arg("address"), py::arg("data"), py::arg("count"),
            "Writes data without a stop, then reads count bytes after a repeated start: the "
            "register read of most devices. No other thread's transaction comes in between.")
        .def(
            "scan",
            [](CPyAdapter& self) {
                const std::vector<uint8_t> found = CallReleased([&] { return self.Scan(); });
                return std::vector<int>(found.begin(), found.end());
            },
            "The addresses from 0x08 to 0x77 that acknowledge a probe, "
            "in order.")
        .def(
            "probe",
            [](CPyAdapter& self, long long address) {
                const uint8_t addr = ToAddress(address);
                return CallReleased([&] { return self.Probe(addr); });
            },
            py::arg("address"),
            "True when a device acknowledges the address: an address-only write, or a "
            "one-byte read on the Orvane5, which can not write an address alone.")
        .def(
            "transfer",
            [](CPyAdapter& self, py::iterable messages) {
                std::vector<SPyMessage> list;
                for (py::handle item : messages) {
                    const py::tuple pair = py::reinterpret_borrow<py::object>(item);
                    if (pair.size() != 2)
                        throw py::type_error("each message is a pair (address, data or count)");
                    SPyMessage message;
                    message.address = ToAddress(pair[0].cast<long long>());
                    if (PyLong_Check(pair[1].ptr())) {
                        message.read = true;
                        message.count = ToCount(pair[1].cast<long long>());
                    } else {
                        message.data = ToBytes(pair[1], "data");
                    }
                    list.push_back(std::move(message));
                }
                return ToPyBytes(CallReleased([&] { return self.Transfer(list); }));
            },
            py::arg("messages"),
            R"doc(Sends the messages as one transaction: a start (or repeated start) and the
address before each, one stop at the end. Each message is a pair (address,
data) for a write, or (address, count) for a read. A read ends with a stop on
these adapters, so it can only be the last message; a transaction that breaks
this, or a read above max_read, raises OSError(EOPNOTSUPP) before anything
reaches the bus. Returns the bytes of the closing read, or b"".)doc")
        .def(
            "close", [](CPyAdapter& self) { CallReleased([&] { self.Close(); }); },
            "Leaves I2C mode and closes the adapter; harmless when closed.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](CPyAdapter& self, py::args) { CallReleased([&] { self.Close(); }); })
        .def("__repr__", &AdapterRepr)
        .def_property_readonly("closed", &CPyAdapter::IsClosed, "True once close() was called.")
        .def_property_readonly("model", &CPyAdapter::Model, "The model, e.g. 'Orvane3'.")
        .def_property_readonly("serial", &CPyAdapter::Serial, "The USB serial number.")
        .def_property_readonly("product", &CPyAdapter::Product, "The USB product name.")
        .def_property_readonly("firmware", &CPyAdapter::Firmware,
                               "The firmware release as a BCD number.")
        .def_property_readonly("speed", &CPyAdapter::SpeedHz, "The bus speed in hertz.")
        .def_property_readonly("pull_ups", &CPyAdapter::PullUps,
                               "True while the pull-up resistors are on.")
        .def_property_readonly("max_read", &CPyAdapter::MaxRead,
                               "The most bytes one read may fetch: 65535, 256 on the Orvane5.");
}

} // namespace pellanpy
