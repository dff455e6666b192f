#include "python/src/pybindings.h"

#include "python/src/pyadapter.h"

#include <pybind11/stl.h>

#include <cxxabi.h>

#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace pellanpy {

namespace {

using Clock = std::chrono::steady_clock;

// How often the main thread's call looks for signals (Ctrl+C).
constexpr auto SIGNAL_CHECK_INTERVAL = std::chrono::milliseconds(50);
// How long the exit waits for the calls in flight to see their cancel, and
// then for each adapter's lock.
constexpr auto EXIT_DRAIN = std::chrono::seconds(5);
// How long os.fork() waits for the calls on other threads to end.
constexpr auto FORK_WAIT = std::chrono::seconds(30);

constexpr const char* EXITING = "the interpreter is exiting: the adapters are closed";

// The call in progress on this thread, for the cancel check.
struct SCall {
    PyThreadState* state = nullptr;
    bool mainThread = false;
    bool interrupted = false;
    Clock::time_point nextSignalCheck;
};

thread_local SCall* t_call = nullptr;
thread_local int t_targetDepth = 0;
// Inside the signal check of a call: a signal handler runs Python there.
thread_local bool t_inSignalCheck = false;
// A strong reference, taken and dropped with the GIL held.
thread_local PyObject* t_pendingError = nullptr;

// The exit: set once, then no call starts, every wait is cancelled and no
// call on a thread but the main one takes the GIL back.
std::atomic<bool> g_shuttingDown{false};
std::atomic<int> g_inFlight{0};
// Left alone at exit: a thread may still touch them.
std::mutex& g_drainMutex = *new std::mutex;
std::condition_variable& g_drainChanged = *new std::condition_variable;

unsigned long g_mainThread = 0;

std::function<void(const CGilFree&)>* g_atExit = nullptr;
std::function<void(bool)>* g_atFork = nullptr;

void CallEnded()
{
    if (g_inFlight.fetch_sub(1) == 1 && g_shuttingDown) {
        std::lock_guard lock(g_drainMutex);
        g_drainChanged.notify_all();
    }
}

// A call that may not come back for good: the process is about to end.
[[noreturn]] void Park()
{
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

// The engine's and the session lock's cancel check, on the thread of the
// call.
bool CallCancelled()
{
    if (g_shuttingDown.load(std::memory_order_relaxed))
        return true;
    SCall* call = t_call;
    if (!call || !call->mainThread)
        return false;
    if (call->interrupted)
        return true;
    const Clock::time_point now = Clock::now();
    if (now < call->nextSignalCheck)
        return false;
    call->nextSignalCheck = now + SIGNAL_CHECK_INTERVAL;
    // A running call holds off the exit, so the GIL can be had here.
    PyEval_RestoreThread(call->state);
    t_inSignalCheck = true;
    const int signalled = PyErr_CheckSignals();
    t_inSignalCheck = false;
    if (signalled != 0) {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value && traceback)
            PyException_SetTraceback(value, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        if (value)
            SetPendingError(py::reinterpret_steal<py::object>(value));
        call->interrupted = true;
    }
    call->state = PyEval_SaveThread();
    return call->interrupted;
}

std::string Hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

uint8_t ToAddress(py::handle address, const std::string& what = "address")
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

EI2cStartStop ToMode(const std::string& name)
{
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

// Closing may be the last let-go of an adapter, which sends it a report:
// an Adapter dropped by the garbage collector closes with the GIL released.
struct SReleasingDelete {
    void operator()(CPyAdapter* adapter) const
    {
        if (PyGILState_Check() && !_Py_IsFinalizing() && !IsShuttingDown()) {
            bool deleted = false;
            try {
                CallReleased([&] {
                    delete adapter;
                    deleted = true;
                });
            } catch (...) {
                // Refused before the GIL was released (inside a target's
                // callback): the adapter goes below.
            }
            if (deleted)
                return;
        }
        delete adapter;
    }
};
using AdapterHolder = std::unique_ptr<CPyAdapter, SReleasingDelete>;

// At exit, before the interpreter goes: refuse new calls, cancel the waits
// of the running ones, let them end, close every adapter.
void Shutdown()
{
    if (g_shuttingDown.exchange(true))
        return;
    CCallReleased::RunHook([](const CGilFree& proof) {
        const Clock::time_point deadline = Clock::now() + EXIT_DRAIN;
        {
            std::unique_lock lock(g_drainMutex);
            // A call still running after that is parked when it ends.
            g_drainChanged.wait_until(lock, deadline, [] { return g_inFlight.load() == 0; });
        }
        CPySessionRegistry::Instance().CloseAll(deadline + EXIT_DRAIN, proof);
        if (g_atExit && *g_atExit)
            (*g_atExit)(proof);
    });
}

void BeforeFork()
{
    if (IsShuttingDown())
        return;
    CCallReleased::RunHook([](const CGilFree& proof) {
        if (g_atFork && *g_atFork)
            (*g_atFork)(true);
        CPySessionRegistry::Instance().BeforeFork(Clock::now() + FORK_WAIT, proof);
    });
}

void AfterForkInParent()
{
    if (IsShuttingDown())
        return;
    CCallReleased::RunHook([](const CGilFree&) {
        CPySessionRegistry::Instance().AfterForkInParent();
        if (g_atFork && *g_atFork)
            (*g_atFork)(false);
    });
}

void AfterForkInChild()
{
    if (IsShuttingDown())
        return;
    // The calls of the parent's other threads do not exist here; what they
    // held is left behind by the registry.
    g_inFlight = 0;
    new (&g_drainMutex) std::mutex;
    new (&g_drainChanged) std::condition_variable;
    CPySessionRegistry::Instance().AfterForkInChild();
    if (g_atFork && *g_atFork)
        (*g_atFork)(false);
}

} // namespace

CGilFree::CGilFree()
{
    // The claim this proof makes; every engine lock relies on it.
    assert(!PyGILState_Check());
}

void* CCallReleased::Begin()
{
    CheckNotInTarget();
    g_inFlight.fetch_add(1);
    // Counted first, so that the exit either waits for this call or this
    // call sees the exit.
    if (g_shuttingDown) {
        CallEnded();
        RefuseAtExit();
    }
    return PyEval_SaveThread();
}

void CCallReleased::RefuseAtExit()
{
    // The exit runs on the main thread after the other threads it waits
    // for have ended: what calls now is a daemon thread, which the process
    // ends with it. It stays out of Python, silent, until then.
    if (PyThread_get_thread_ident() != g_mainThread) {
        PyEval_SaveThread();
        Park();
    }
    throw std::runtime_error(EXITING);
}

CCallReleased::CCallReleased() : m_state(Begin())
{
    static thread_local SCall call;
    call = SCall{};
    call.state = static_cast<PyThreadState*>(m_state);
    call.mainThread = PyThread_get_thread_ident() == g_mainThread;
    call.nextSignalCheck = Clock::now() + SIGNAL_CHECK_INTERVAL;
    t_call = &call;
}

CCallReleased::~CCallReleased()
{
    if (m_finished)
        return;
    // Unwound by the interpreter's exit of this thread: no Python here.
    t_call = nullptr;
    CallEnded();
}

void CCallReleased::Finish()
{
    // The signal check may have taken and released the GIL meanwhile.
    m_state = t_call->state;
    const bool mainThread = t_call->mainThread;
    t_call = nullptr;
    m_finished = true;
    if (g_shuttingDown && !mainThread) {
        // A daemon thread's call that the exit cancelled: it never enters
        // Python again, and the process ends with the status the script
        // asked for.
        CallEnded();
        Park();
    }
    PyEval_RestoreThread(static_cast<PyThreadState*>(m_state));
    CallEnded();
}

std::exception_ptr CCallReleased::Unwinding()
{
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return std::current_exception();
    }
}

void CCallReleased::RethrowFailure(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const CI2cError& error) {
        // A call cancelled by the exit says so, not that it was cancelled.
        if (error.Kind() == EOrvError::Cancelled && IsShuttingDown())
            throw std::runtime_error(EXITING);
        throw;
    }
}

void CCallReleased::RunHook(const std::function<void(const CGilFree&)>& step)
{
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr failure;
    {
        const CGilFree proof;
        try {
            step(proof);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    PyEval_RestoreThread(state);
    if (failure)
        std::rethrow_exception(failure);
}

bool IsShuttingDown()
{
    return g_shuttingDown.load();
}

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
    if (t_inSignalCheck) {
        throw std::runtime_error("a signal handler can not use the adapters while the call it "
                                 "interrupted is still running");
    }
    if (t_targetDepth > 0) {
        throw std::runtime_error("a simulated target's callbacks can not use the "
                                 "simulated adapters: its own adapter is in the middle of "
                                 "the transaction that called it");
    }
}

void SetPendingError(py::object error)
{
    if (!t_pendingError)
        t_pendingError = error.release().ptr();
}

bool HasPendingError()
{
    return t_pendingError != nullptr;
}

void RaisePendingError()
{
    PyObject* error = std::exchange(t_pendingError, nullptr);
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

void DefineAdapterApi(py::module_& module, std::function<void(const CGilFree&)> atExit,
                      std::function<void(bool before)> atFork)
{
    // Kept for the life of the process, like everything the exit may touch.
    g_atExit = new std::function<void(const CGilFree&)>(std::move(atExit));
    g_atFork = new std::function<void(bool)>(std::move(atFork));
    g_mainThread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    CPySessionRegistry::Instance().SetCancelCheck(&CallCancelled);

    py::module_::import("atexit").attr("register")(py::cpp_function(&Shutdown));
    py::module_::import("os").attr("register_at_fork")(
        py::arg("before") = py::cpp_function(&BeforeFork),
        py::arg("after_in_parent") = py::cpp_function(&AfterForkInParent),
        py::arg("after_in_child") = py::cpp_function(&AfterForkInChild));

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
        .def("__repr__", [](const SPyAdapterInfo& info) {
            std::string speeds;
            for (unsigned hz : info.speeds)
                speeds += (speeds.empty() ? "" : ", ") + std::to_string(hz);
            return "AdapterInfo(model='" + info.model + "', serial='" + info.serial +
                   "', product='" + info.product + "', firmware=" + Hex(info.firmware, 4) +
                   ", speeds=[" + speeds +
                   "], pull_up_switch=" + (info.pullUpSwitch ? "True" : "False") +
                   ", max_read=" + std::to_string(info.maxRead) +
                   ", address_only_write=" + (info.addressOnlyWrite ? "True" : "False") + ")";
        });

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
                 std::optional<std::string> wanted;
                 if (!serial.is_none()) {
                     if (!PyUnicode_Check(serial.ptr())) {
                         throw py::type_error(
                             std::string("the serial number is a str (see list_adapters()), "
                                         "not ") +
                             Py_TYPE(serial.ptr())->tp_name);
                     }
                     wanted = serial.cast<std::string>();
                 }
                 const auto [hz, hzText] = ToSpeed(speed);
                 const bool on = PyObject_IsTrue(pullUps.ptr()) == 1;
                 std::string holder = DescribeOpener();
                 return CallReleased([&](const CGilFree& proof) {
                     return AdapterHolder(
                         new CPyAdapter(wanted, hz, hzText, on, std::move(holder), proof));
                 });
             }),
             py::arg("serial") = py::none(), py::arg("speed") = 100'000, py::arg("pull_ups") = true)
        .def(
            "write",
            [](CPyAdapter& self, py::object address, py::object data, const std::string& mode) {
                const uint8_t addr = ToAddress(address);
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
                const uint8_t addr = ToAddress(address);
                const size_t n = ToCount(count);
                return ToPyBytes(
                    CallReleased([&](const CGilFree& proof) { return self.Read(addr, n, proof); }));
            },
            py::arg("address"), py::arg("count"),
            "Reads count bytes (1 to max_read) from a 7-bit address, with a start and a stop.")
        .def(
            "write_read",
            [](CPyAdapter& self, py::object address, py::object data, py::object count) {
                const uint8_t addr = ToAddress(address);
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
                const uint8_t addr = ToAddress(address);
                return CallReleased([&](const CGilFree& proof) { return self.Probe(addr, proof); });
            },
            py::arg("address"),
            "True when a device acknowledges the address: an address-only write, or a "
            "one-byte read on the Orvane5, which can not write an address alone. A NACK "
            "gives False; any other failure raises OSError.")
        .def(
            "transfer",
            [](CPyAdapter& self, py::iterable messages) {
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
                    message.address = ToAddress(pair[0], "address of " + where);
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
