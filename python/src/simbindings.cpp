// pellan_i2c.sim._core: the adapter API on the simulated HID stack with the
// demo's three adapters, plus the simulator's own controls: Python targets,
// per-report delay, faults, unplugging.

#include "python/src/simbindings.h"

#include "python/src/pytarget.h"

#include "hid/widestring.h"
#include "numbers/parsenumber.h"
#include "sim/adapters/demoadapters.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/simhid.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pellanpy {

namespace {

// A demo adapter, and how many threads are inside the callbacks of its
// Python targets (kept for good, like the adapters: a thread may still count).
struct SSimAdapter {
    std::shared_ptr<CSimOrvAdapter> adapter;
    std::atomic<int>* inTargets = nullptr;
};
using AdapterList = std::vector<SSimAdapter>;

// The demo adapters, and the lock every control of the simulator holds
// while it works (with the GIL released): os.fork() takes it too, so that the
// child never inherits a simulator that a vanished thread was changing. Both
// stay for the life of the process: a call still running at exit may use
// them.
std::timed_mutex& g_controlsMutex = *new std::timed_mutex;
AdapterList& g_adapters = *new AdapterList;
// os.fork() holds the controls' lock.
bool g_forkHoldsControls = false;

// Runs a control of the simulator with the GIL released and the controls'
// lock held.
template <typename F> auto Control(F&& control)
{
    return CallReleased([&] {
        std::lock_guard lock(g_controlsMutex);
        return control();
    });
}

std::string SerialOf(const CSimOrvAdapter& adapter)
{
    return WideToUtf8(adapter.SerialNumber().c_str());
}

// The adapter with this serial number, or all of them for None.
AdapterList Select(const std::optional<std::string>& serial)
{
    AdapterList all = Control([] { return g_adapters; });
    if (!serial)
        return all;
    std::string known;
    for (const SSimAdapter& entry : all) {
        if (SerialOf(*entry.adapter) == *serial)
            return {entry};
        known += (known.empty() ? "" : ", ") + SerialOf(*entry.adapter);
    }
    throw py::value_error("no simulated adapter has the serial number '" + *serial +
                          "'; the simulated adapters are " + known);
}

AdapterList Select(py::handle serial)
{
    return Select(ToOptionalText(serial, "serial"));
}

std::shared_ptr<CSimOrvAdapter> SelectOne(py::handle serial)
{
    return Select(ToText(serial, "serial")).front().adapter;
}

std::string HexAddress(uint8_t address)
{
    static const char* digits = "0123456789ABCDEF";
    return std::string("0x") + digits[address >> 4] + digits[address & 0xF];
}

ESimOrvFault ToFault(py::handle value)
{
    std::string name = ToText(value, "fault");
    // The environment variable's spelling works too.
    std::replace(name.begin(), name.end(), '-', '_');
    if (name == "no_answer")
        return ESimOrvFault::NoAnswer;
    if (name == "arbitration_lost")
        return ESimOrvFault::ArbitrationLost;
    if (name == "bus_error")
        return ESimOrvFault::BusError;
    if (name == "write_error")
        return ESimOrvFault::WriteError;
    if (name == "unplug")
        return ESimOrvFault::Unplug;
    throw py::value_error("unknown fault '" + name +
                          "'; give one of 'no_answer', 'arbitration_lost', 'bus_error', "
                          "'write_error' or 'unplug'");
}

double ToSeconds(py::handle value)
{
    if ((!PyLong_Check(value.ptr()) && !PyFloat_Check(value.ptr())) || PyBool_Check(value.ptr())) {
        throw py::type_error(std::string("seconds must be a number, not ") +
                             Py_TYPE(value.ptr())->tp_name);
    }
    const double seconds = PyFloat_AsDouble(value.ptr());
    if (seconds == -1.0 && PyErr_Occurred())
        throw py::error_already_set();
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 60)
        throw py::value_error("the delay must be from 0 to 60 seconds");
    return seconds;
}

std::optional<uint64_t> ParseVariable(std::string_view text, uint64_t max, std::string* why)
{
    QString reason;
    const std::optional<uint64_t> value =
        ParseNumber(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                    ENumberSyntax::Decimal, max, &reason);
    if (why)
        *why = reason.toStdString();
    return value;
}

// Demo adapters from PlugDemoAdapters, each with its count, recording
// nothing until record_reports() asks.
AdapterList Adopt(const std::vector<std::shared_ptr<CSimOrvAdapter>>& plugged)
{
    AdapterList adopted;
    for (const auto& adapter : plugged) {
        if (!adapter)
            continue;
        adapter->SetRecording(false);
        adopted.push_back({adapter, new std::atomic<int>(0)});
    }
    return adopted;
}

// Plugs fresh demo adapters, with the fault and delay that PELLAN_SIM_FAULT
// and PELLAN_SIM_REPORT_DELAY_US name; a value that cannot be read is an
// error here as it is in the demo programs. Returns the error, empty if
// none. With the controls' lock held.
std::string Replug()
{
    AdapterList old = std::move(g_adapters);
    g_adapters.clear();
    for (const SSimAdapter& entry : old)
        entry.adapter->Unplug();
    old.clear();
    std::string error;
    g_adapters = Adopt(PlugDemoAdapters(&error, &ParseVariable));
    return error;
}

void ReplugOrThrow()
{
    const std::string error = Control([] { return Replug(); });
    if (!error.empty())
        throw py::value_error(error);
}

// In the child of fork(): an adapter that a thread of the parent was inside
// (its lock held for good) leaves the HID listing without being touched, and
// a fresh one takes its serial number. Returns their serial numbers.
std::vector<std::string> ReplaceLostAdapters()
{
    std::vector<std::wstring> lost;
    for (const SSimAdapter& entry : g_adapters) {
        if (*entry.inTargets > 0)
            lost.push_back(entry.adapter->SerialNumber());
    }
    if (lost.empty())
        return {};
    for (const auto& device : CSimHidStack::Instance().Devices()) {
        const std::wstring& serial = device->Description().serialNumber;
        if (std::find(lost.begin(), lost.end(), serial) != lost.end())
            CSimHidStack::Instance().Unplug(device->Description().path);
    }
    for (const SSimAdapter& fresh : Adopt(PlugDemoAdapters(nullptr, &ParseVariable))) {
        for (SSimAdapter& entry : g_adapters) {
            if (entry.adapter->SerialNumber() != fresh.adapter->SerialNumber())
                continue;
            // Its lock stays held: never destroyed.
            new std::shared_ptr<CSimOrvAdapter>(std::move(entry.adapter));
            entry = fresh;
        }
    }
    std::vector<std::string> serials;
    for (const std::wstring& serial : lost)
        serials.push_back(WideToUtf8(serial.c_str()));
    return serials;
}

} // namespace

std::vector<std::string> SimAtFork(EForkStep step, std::chrono::steady_clock::time_point deadline)
{
    switch (step) {
    case EForkStep::Before:
        g_forkHoldsControls = g_controlsMutex.try_lock_until(deadline);
        break;
    case EForkStep::InParent:
        if (std::exchange(g_forkHoldsControls, false))
            g_controlsMutex.unlock();
        break;
    case EForkStep::InChild:
        // A control of a vanished thread may have held the lock.
        if (std::exchange(g_forkHoldsControls, false))
            g_controlsMutex.unlock();
        else
            new (&g_controlsMutex) std::timed_mutex;
        return ReplaceLostAdapters();
    }
    return {};
}

void DefineSimApi(py::module_& module)
{
    ReplugOrThrow();

    const py::object nack = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
        "pellan_i2c.sim.Nack",
        "Raised by a Python target's write() to refuse the bytes (or, for b\"\", its "
        "address) with a NACK.",
        PyExc_Exception, nullptr));
    const py::object targetError = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
        "pellan_i2c.sim.TargetError",
        "A Python target failed: it raised something other than Nack, or its read() returned "
        "the wrong number of bytes. Raised by the call that reached the target, with the "
        "target's own exception as __cause__. Not an OSError, so that drivers' retry loops do "
        "not hide it.",
        PyExc_RuntimeError, nullptr));
    module.attr("Nack") = nack;
    module.attr("TargetError") = targetError;

    module.def(
        "serials",
        [] {
            return Control([] {
                std::vector<std::string> serials;
                for (const SSimAdapter& entry : g_adapters) {
                    if (entry.adapter->IsPlugged())
                        serials.push_back(SerialOf(*entry.adapter));
                }
                return serials;
            });
        },
        "The serial numbers of the plugged simulated adapters: OR3-100042 "
        "(Orvane3), OR5-200107 (Orvane5) and OR7-300311 (Orvane7) until one is unplugged.");

    module.def(
        "attach",
        [nack, targetError](py::object address, py::object target, py::object serial) {
            CheckNotInTarget();
            const uint8_t addr = ToI2cAddress(address);
            for (const char* method : {"write", "read"}) {
                if (!py::hasattr(target, method)) {
                    throw py::type_error(std::string("a target needs write(data) and "
                                                     "read(count) methods; it has no ") +
                                         method + "()");
                }
            }
            for (const SSimAdapter& entry : Select(serial)) {
                auto device = std::make_shared<CPyTargetDevice>(
                    target, nack, targetError, HexAddress(addr) + " on " + SerialOf(*entry.adapter),
                    entry.inTargets);
                Control([&] { entry.adapter->AddDevice(addr, std::move(device)); });
            }
        },
        py::arg("address"), py::arg("target"), py::arg("serial") = py::none(),
        R"doc(Puts target on the bus of the simulated adapter with this serial number, or
of all three, at a 7-bit address; it replaces any device there.

The adapter calls target.write(data: bytes) for each write to the address
(b"" for an address-only write, a probe), and target.read(count: int) ->
bytes for each read. write() refuses with a NACK by raising Nack or returning
False. A write of more than 61 bytes arrives in pieces, as the adapter's
reports carry it (61 bytes after the address, then 62 at a time).

A target that needs the transaction's bounds (an EEPROM's page write) may
also have start(read: bool), called at each start or repeated start
addressed to it (read True for a read; raising Nack or returning False
refuses the address), and stop(), called at the stop that ends its
transaction. A probe is start(False), write(b""), stop().

If read() returns the wrong number of bytes, or a callback raises anything
else, the call that reached the target raises TargetError. The target runs
on the thread of that call, while its adapter is busy: it must not use the
simulated adapters itself.)doc");

    module.def(
        "detach",
        [](py::object address, py::object serial) {
            CheckNotInTarget();
            const uint8_t addr = ToI2cAddress(address);
            for (const SSimAdapter& entry : Select(serial))
                Control([&] { entry.adapter->RemoveDevice(addr); });
        },
        py::arg("address"), py::arg("serial") = py::none(),
        "Takes whatever device is at the address off "
        "the bus of one simulated adapter, or of all three: a Python target or a built-in "
        "device (MCP9808 at 0x18, BH1750 at 0x23, INA219 at 0x40, LM75 at 0x48, TMP102 at "
        "0x49, 24C02 at 0x50).");

    module.def(
        "set_report_delay",
        [](py::object seconds, py::object serial) {
            const auto delay = std::chrono::microseconds(
                static_cast<long long>(std::llround(ToSeconds(seconds) * 1e6)));
            for (const SSimAdapter& entry : Select(serial))
                Control([&] { entry.adapter->SetLatency(delay); });
        },
        py::arg("seconds"), py::arg("serial") = py::none(),
        "The time each answer report of "
        "the simulated adapter (or of all three) takes to arrive, like a USB frame: 0.001 is "
        "full-speed USB. A register read takes two reports. 0 (the default) answers at once; "
        "a delay above 1 second makes every transfer time out, as the engine waits up to 1 s "
        "for each report.");

    module.def(
        "set_fault",
        [](py::object fault, py::object count, py::object serial, py::object after) {
            const ESimOrvFault kind = ToFault(fault);
            const auto times = static_cast<int>(ToInt(count, "count", INT_MIN, INT_MAX));
            const auto passing = static_cast<int>(ToInt(after, "after", 0, INT_MAX));
            for (const SSimAdapter& entry : Select(serial))
                Control([&] { entry.adapter->SetFault(kind, times, passing); });
        },
        py::arg("fault"), py::arg("count") = -1, py::arg("serial") = py::none(),
        py::arg("after") = 0,
        R"doc(Makes the simulated adapter (or all three) fail count requests (all of
them for a negative count) once after answer reports have passed (one per
write, one per 62 bytes read, so a fault can strike in the middle of a long
read; 'write_error' counts the reports sent instead): 'no_answer' (no
answer: ETIMEDOUT), 'arbitration_lost' (EAGAIN), 'bus_error' (EIO on a
write; a read's answer carries no error code, so a bus error during a read
is a NACK: EREMOTEIO), 'write_error' (the USB transfer fails: EIO) or
'unplug' (the adapter is pulled: ENODEV). The names may be written with
hyphens too, as PELLAN_SIM_FAULT takes them: 'bus-error'.)doc");

    module.def(
        "clear_faults",
        [](py::object serial) {
            for (const SSimAdapter& entry : Select(serial))
                Control([&] { entry.adapter->ClearFaults(); });
        },
        py::arg("serial") = py::none(), "Ends the faults set with set_fault().");

    module.def(
        "unplug",
        [](py::object serial) {
            const auto adapter = SelectOne(serial);
            Control([&] { adapter->Unplug(); });
        },
        py::arg("serial"),
        "Unplugs the simulated adapter: open adapters fail with ENODEV until reset().");

    module.def(
        "reset", [] { ReplugOrThrow(); },
        "Unplugs the simulated adapters and plugs fresh ones: built-in devices in their "
        "first state, no Python targets, no recording of reports, and no faults or delay but "
        "those the environment variables PELLAN_SIM_FAULT and PELLAN_SIM_REPORT_DELAY_US "
        "name. Adapters open until now fail with ENODEV.");

    module.def(
        "record_reports",
        [](py::object on, py::object serial) {
            const bool recording = ToFlag(on);
            for (const SSimAdapter& entry : Select(serial)) {
                Control([&] {
                    entry.adapter->TakeReceivedReports();
                    entry.adapter->SetRecording(recording);
                });
            }
        },
        py::arg("on") = true, py::arg("serial") = py::none(),
        R"doc(Starts (or with on=False ends) a fresh recording of the HID reports the
host sends to the simulated adapter with this serial number, or to all three.
The simulated adapters record nothing otherwise, so that memory stays flat
over any number of calls; a recording keeps the last 100,000 reports.)doc");

    module.def(
        "take_reports",
        [](py::object serial) {
            const auto adapter = SelectOne(serial);
            const std::vector<CSimOrvAdapter::Report> reports =
                Control([&] { return adapter->TakeReceivedReports(); });
            py::list list;
            for (const auto& report : reports)
                list.append(py::bytes(reinterpret_cast<const char*>(report.data()), report.size()));
            return list;
        },
        py::arg("serial"),
        "The HID reports the host sent to the simulated adapter since "
        "record_reports() or the last take_reports(), 64 bytes each, report ID first: what "
        "went to the bus, byte by byte. The recording goes on. [] while nothing is recorded.");
}

} // namespace pellanpy
