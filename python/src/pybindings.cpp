#include "python/src/pybindings.h"

#include "python/src/pyadapter.h"

#include <pybind11/stl.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

namespace pellanpy {

namespace {

std::string Hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

size_t ToCount(py::handle count, const std::string& what = "count")
{
    if (!PyLong_Check(count.ptr()) || PyBool_Check(count.ptr())) {
        throw py::type_error(what + " must be an int, not " +
                             std::string(Py_TYPE(count.ptr())->tp_name));
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
    if (overflow < 0 || (overflow == 0 && value < 0))
        throw py::value_error(what + " must not be negative, not " +
                              py::str(count).cast<std::string>());
    // The adapter names its own limit.
    return overflow > 0 ? SIZE_MAX : static_cast<size_t>(value);
}

py::bytes ToPyBytes(const std::vector<uint8_t>& data)
{
    return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

EI2cStartStop ToMode(py::handle value)
{
    if (!PyUnicode_Check(value.ptr())) {
        throw py::type_error(std::string("mode must be a str ('auto', 'start', 'stop' or "
                                         "'none'), not ") +
                             Py_TYPE(value.ptr())->tp_name);
    }
    const std::string name = ToText(value, "mode");
    for (const auto& [mode, text] : MODE_NAMES) {
        if (name == text)
            return mode;
    }
    throw py::value_error("unknown mode '" + name +
                          "'; give one of 'auto', 'start', 'stop' or 'none'");
}

// Reads only what was fixed at open and an atomic: never waits for the bus.
std::string AdapterRepr(const CPyAdapter& adapter)
{
    const SPySessionIdentity& identity = adapter.Identity();
    if (adapter.IsClosed())
        return "<Adapter " + identity.model + " " + identity.serial + " (closed)>";
    return "<Adapter " + identity.model + " " + identity.serial + " at " +
           std::to_string(identity.speedHz) + " Hz>";
}

// The object that opens an adapter, as a refusal names it: the class of the
// package that asked (Adapter, SMBus, I2C) and the line of the script.
std::string DescribeOpener()
{
    std::string kind = "Adapter";
    try {
        py::object frame = py::module_::import("sys").attr("_getframe")(0);
        while (!frame.is_none()) {
            const py::object code = frame.attr("f_code");
            const std::string file = code.attr("co_filename").cast<std::string>();
            if (file.find("/pellan_i2c/") == std::string::npos) {
                return "the " + kind + " opened at " + file + ":" +
                       py::str(frame.attr("f_lineno")).cast<std::string>();
            }
            const py::object self = frame.attr("f_locals").attr("get")("self");
            if (!self.is_none())
                kind = py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>();
            frame = frame.attr("f_back");
        }
    } catch (py::error_already_set&) {
        // No frames to read: the kind alone says enough.
    }
    return "the " + kind;
}

// The bus speed argument: an int in hertz.
std::pair<unsigned long long, std::string> ToSpeed(py::handle speed)
{
    if (!PyLong_Check(speed.ptr()) || PyBool_Check(speed.ptr())) {
        throw py::type_error(std::string("the speed is an int in hertz, e.g. 400_000, not ") +
                             Py_TYPE(speed.ptr())->tp_name);
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(speed.ptr(), &overflow);
    const std::string text = py::str(speed).cast<std::string>();
    // A speed no model runs at; the adapter's message names the right ones.
    if (overflow != 0 || value <= 0)
        return {0, text};
    return {static_cast<unsigned long long>(value), text};
}

// Closing may be the last let-go of an adapter, which closes it: an Adapter
// dropped by the garbage collector closes with the GIL released, or, inside
// a call of its thread (a target's callback, a signal handler), once that
// call has let go of its locks.
struct SReleasingDelete {
    void operator()(CPyAdapter* adapter) const noexcept
    {
        if (!PyGILState_Check()) {
            delete adapter;
            return;
        }
        if (DeferRelease(adapter))
            return;
        try {
            CallReleased([&] { delete adapter; });
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable("closing a pellan_i2c Adapter");
        } catch (...) {
            // Refused before the GIL was released: the adapter stays open.
        }
    }
};
using AdapterHolder = std::unique_ptr<CPyAdapter, SReleasingDelete>;

} // namespace

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
    if (!PyObject_HasAttrString(data.ptr(), "__iter__")) {
        throw py::type_error(std::string(what) + " must be bytes or an iterable of ints, not " +
                             Py_TYPE(data.ptr())->tp_name);
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

uint8_t ToI2cAddress(py::handle address, const std::string& what)
{
    if (!PyLong_Check(address.ptr()) || PyBool_Check(address.ptr())) {
        throw py::type_error("the " + what + " must be an int, not " +
                             Py_TYPE(address.ptr())->tp_name + " (" +
                             py::repr(address).cast<std::string>() + ")");
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(address.ptr(), &overflow);
    if (overflow != 0 || value < 0 || value > 0x7F) {
        throw py::value_error("the " + what + " " + py::str(address).cast<std::string>() +
                              " is not a 7-bit I2C address (0x00 to 0x7F)");
    }
    return static_cast<uint8_t>(value);
}

long long ToInt(py::handle value, const std::string& what, long long low, long long high)
{
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
        throw py::type_error(what + " must be an int, not " +
                             std::string(Py_TYPE(value.ptr())->tp_name));
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || number < low || number > high) {
        throw py::value_error(what + " must be from " + std::to_string(low) + " to " +
                              std::to_string(high) + ", not " + py::str(value).cast<std::string>());
    }
    return number;
}

std::string ToText(py::handle value, const std::string& what)
{
    if (!PyUnicode_Check(value.ptr())) {
        throw py::type_error(what + " must be a str, not " +
                             std::string(Py_TYPE(value.ptr())->tp_name));
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!text)
        throw py::error_already_set();
    return std::string(text, static_cast<size_t>(size));
}

std::optional<std::string> ToOptionalText(py::handle value, const std::string& what)
{
    if (value.is_none())
        return std::nullopt;
    return ToText(value, what);
}

bool ToFlag(py::handle value)
{
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0)
        throw py::error_already_set();
    return truth != 0;
}

void DefineAdapterApi(py::module_& module, ForkHook atFork)
{
    InstallProcessHooks(std::move(atFork));

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
        .def_readonly("max_read", &SPyAdapterInfo::maxRead,
                      "The most bytes one read may fetch: 65535, 256 on the Orvane5.")
        .def_readonly("address_only_write", &SPyAdapterInfo::addressOnlyWrite,
                      "True when the model can put an address alone on the bus (a quick "
                      "command, an address probe); not the Orvane5.")
        .def("__repr__",
             [](const SPyAdapterInfo& info) {
                 std::string speeds;
                 for (unsigned hz : info.speeds)
                     speeds += (speeds.empty() ? "" : ", ") + std::to_string(hz);
                 return "AdapterInfo(model='" + info.model + "', serial='" + info.serial +
                        "', product='" + info.product + "', firmware=" + Hex(info.firmware, 4) +
                        ", speeds=[" + speeds +
                        "], pull_up_switch=" + (info.pullUpSwitch ? "True" : "False") +
                        ", max_read=" + std::to_string(info.maxRead) +
                        ", address_only_write=" + (info.addressOnlyWrite ? "True" : "False") + ")";
             })
        // For multiprocessing and the like.
        .def(py::pickle(
            [](const SPyAdapterInfo& info) {
                return py::make_tuple(info.model, info.serial, info.product, info.firmware,
                                      info.speeds, info.pullUpSwitch, info.maxRead,
                                      info.addressOnlyWrite);
            },
            [](const py::tuple& state) {
                SPyAdapterInfo info;
                try {
                    if (state.size() != 8)
                        throw py::cast_error();
                    info.model = state[0].cast<std::string>();
                    info.serial = state[1].cast<std::string>();
                    info.product = state[2].cast<std::string>();
                    info.firmware = state[3].cast<uint16_t>();
                    info.speeds = state[4].cast<std::vector<unsigned>>();
                    info.pullUpSwitch = state[5].cast<bool>();
                    info.maxRead = state[6].cast<size_t>();
                    info.addressOnlyWrite = state[7].cast<bool>();
                } catch (const py::cast_error&) {
                    throw py::type_error("not the state of an AdapterInfo");
                }
                return info;
            }));

    module.def(
        "list_adapters",
        [] { return CallReleased([](const CGilFree& proof) { return ListPyAdapters(proof); }); },
        "Every attached Orvane adapter: all Orvane3 by serial number, then all Orvane5, "
        "then all Orvane7.");

    py::class_<CPyAdapter, AdapterHolder>(module, "Adapter", py::module_local(), R"doc(
An Orvane USB-I2C adapter, opened as bus master.

Adapter(serial=None, speed=100_000, pull_ups=True)

Without a serial number the only attached adapter is used; with several
attached, ValueError names them. The speed is in hertz (10_000, 50_000,
100_000, 400_000 or 1_000_000, as the model supports). pull_ups=False switches
the pull-up resistors off (the Orvane5 only).

The process opens each adapter once: every Adapter, SMBus and busio.I2C on the
same serial number shares that one, and their transactions take turns. The
adapter closes when the last of them closes. Asking for another speed or
other pull-ups while it is open raises OSError(EBUSY) naming the object that
has it open.

Failed transfers raise OSError with the errno a Linux I2C driver gives:
EREMOTEIO for a NACK, ETIMEDOUT when the adapter does not answer, ENODEV when
it is gone, EAGAIN for lost arbitration, EIO for other bus errors; the message
is the adapter's own text. Bad arguments raise ValueError or TypeError.

Every method may be called from any thread, and the GIL is released while the
adapter works. Ctrl+C ends a long call within about 0.1 s. Use it as a
context manager, or call close().)doc")
        .def(py::init([](py::object serial, py::object speed, py::object pullUps) {
                 if (!serial.is_none() && !PyUnicode_Check(serial.ptr())) {
                     throw py::type_error(
                         std::string("the serial number is a str (see list_adapters()), not ") +
                         Py_TYPE(serial.ptr())->tp_name);
                 }
                 const std::optional<std::string> wanted =
                     ToOptionalText(serial, "the serial number");
                 const auto [hz, hzText] = ToSpeed(speed);
                 const bool on = ToFlag(pullUps);
                 std::string holder = DescribeOpener();
                 return CallReleased([&](const CGilFree& proof) {
                     return AdapterHolder(
                         new CPyAdapter(wanted, hz, hzText, on, std::move(holder), proof));
                 });
             }),
             py::arg("serial") = py::none(), py::arg("speed") = 100'000, py::arg("pull_ups") = true)
        .def(
            "write",
            [](CPyAdapter& self, py::object address, py::object data, py::object mode) {
                const uint8_t addr = ToI2cAddress(address);
                const std::vector<uint8_t> bytes = ToBytes(data, "data");
                const EI2cStartStop startStop = ToMode(mode);
                CallReleased(
                    [&](const CGilFree& proof) { self.Write(addr, bytes, startStop, proof); });
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
            [](CPyAdapter& self, py::object address, py::object count) {
                const uint8_t addr = ToI2cAddress(address);
                const size_t n = ToCount(count);
                return ToPyBytes(
                    CallReleased([&](const CGilFree& proof) { return self.Read(addr, n, proof); }));
            },
            py::arg("address"), py::arg("count"),
            "Reads count bytes (1 to max_read) from a 7-bit address, with a start and a stop.")
        .def(
            "write_read",
            [](CPyAdapter& self, py::object address, py::object data, py::object count) {
                const uint8_t addr = ToI2cAddress(address);
                const std::vector<uint8_t> bytes = ToBytes(data, "data");
                const size_t n = ToCount(count);
                return ToPyBytes(CallReleased(
                    [&](const CGilFree& proof) { return self.WriteRead(addr, bytes, n, proof); }));
            },
            py::arg("address"), py::arg("data"), py::arg("count"),
            "Writes data without a stop, then reads count bytes after a repeated start: the "
            "register read of most devices. No other transaction comes in between.")
        .def(
            "scan",
            [](CPyAdapter& self) {
                const std::vector<uint8_t> found =
                    CallReleased([&](const CGilFree& proof) { return self.Scan(proof); });
                return std::vector<int>(found.begin(), found.end());
            },
            R"doc(The addresses from 0x08 to 0x77 that acknowledge a probe, in order.

Only a NACK means that nothing answered. Any other failure (lost arbitration,
a bus error) raises OSError with its errno once the scan is done, naming the
addresses that failed; a timeout or a lost adapter ends the scan at once.)doc")
        .def(
            "probe",
            [](CPyAdapter& self, py::object address) {
                const uint8_t addr = ToI2cAddress(address);
                return CallReleased([&](const CGilFree& proof) { return self.Probe(addr, proof); });
            },
            py::arg("address"),
            "True when a device acknowledges the address: an address-only write, or a "
            "one-byte read on the Orvane5, which can not write an address alone. A NACK "
            "gives False; any other failure raises OSError.")
        .def(
            "transfer",
            [](CPyAdapter& self, py::object messages) {
                if (!py::isinstance<py::iterable>(messages)) {
                    throw py::type_error(std::string("messages must be an iterable of pairs "
                                                     "(address, data or count), not ") +
                                         Py_TYPE(messages.ptr())->tp_name);
                }
                std::vector<SPyMessage> list;
                for (py::handle item : messages) {
                    const std::string where = "message " + std::to_string(list.size());
                    if (!PyTuple_Check(item.ptr()) && !PyList_Check(item.ptr())) {
                        throw py::type_error(where + " is a pair (address, data or count), not " +
                                             Py_TYPE(item.ptr())->tp_name);
                    }
                    const py::sequence pair = py::reinterpret_borrow<py::sequence>(item);
                    if (pair.size() != 2) {
                        throw py::type_error(where + " is a pair (address, data or count), not " +
                                             std::to_string(pair.size()) + " items");
                    }
                    SPyMessage message;
                    message.address = ToI2cAddress(pair[0], "address of " + where);
                    if (PyLong_Check(pair[1].ptr())) {
                        message.read = true;
                        message.count = ToCount(pair[1], "the count of " + where);
                    } else {
                        const std::string what = "the data of " + where;
                        message.data = ToBytes(pair[1], what.c_str());
                    }
                    list.push_back(std::move(message));
                }
                return ToPyBytes(CallReleased(
                    [&](const CGilFree& proof) { return self.Transfer(list, proof); }));
            },
            py::arg("messages"),
            R"doc(Sends the messages as one transaction: a start (or repeated start) and the
address before each, one stop at the end. Each message is a pair (address,
data) for a write, or (address, count) for a read. A read ends with a stop on
these adapters, so it can only be the last message; a transaction that breaks
this, or a read above max_read, raises OSError(EOPNOTSUPP) before anything
reaches the bus. Returns the bytes of the closing read, or b"".)doc")
        .def(
            "try_lock", [](CPyAdapter& self) { return self.TryLockBus(); },
            "Takes busio's bus lock of the adapter, which every object on it shares: True "
            "when taken now, False when some object (this one too) holds it or this one is "
            "closed. Never waits.")
        .def(
            "unlock", [](CPyAdapter& self) { self.UnlockBus(); },
            "Releases busio's bus lock if this object holds it.")
        .def(
            "close",
            [](CPyAdapter& self) {
                CallReleased([&](const CGilFree& proof) { self.Close(proof); });
            },
            "Lets go of the adapter; the last object on it to let go leaves I2C mode and "
            "closes it. Harmless when closed.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](CPyAdapter& self, py::args) {
                 CallReleased([&](const CGilFree& proof) { self.Close(proof); });
             })
        .def("__repr__", &AdapterRepr)
        .def_property_readonly("closed", &CPyAdapter::IsClosed,
                               "True once close() was called. Never waits for the bus.")
        .def_property_readonly(
            "model", [](const CPyAdapter& self) { return self.Identity().model; },
            "The model, e.g. 'Orvane3'.")
        .def_property_readonly(
            "serial", [](const CPyAdapter& self) { return self.Identity().serial; },
            "The USB serial number.")
        .def_property_readonly(
            "product", [](const CPyAdapter& self) { return self.Identity().product; },
            "The USB product name.")
        .def_property_readonly(
            "firmware", [](const CPyAdapter& self) { return self.Identity().firmware; },
            "The firmware release as a BCD number.")
        .def_property_readonly(
            "speed", [](const CPyAdapter& self) { return self.Identity().speedHz; },
            "The bus speed in hertz.")
        .def_property_readonly(
            "pull_ups", [](const CPyAdapter& self) { return self.Identity().pullUps; },
            "True while the pull-up resistors are on.")
        .def_property_readonly(
            "max_read", [](const CPyAdapter& self) { return self.Identity().maxRead; },
            "The most bytes one read may fetch: 65535, 256 on the Orvane5.")
        .def_property_readonly(
            "address_only_write",
            [](const CPyAdapter& self) { return self.Identity().addressOnlyWrite; },
            "True when the model can put an address alone on the bus (a quick command, an "
            "address probe); not the Orvane5.");
}

} // namespace pellanpy
