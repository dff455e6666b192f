#include "python/src/pytarget.h"

#include "python/src/pybindings.h"

#include <cxxabi.h>

#include <algorithm>
#include <utility>

namespace pellanpy {

namespace {

// What a read of a target that failed puts on the bus: an idle, pulled-up
// data line.
constexpr uint8_t IDLE_BYTE = 0xFF;

} // namespace

CPyTargetDevice::CPyTargetDevice(py::object target, py::object nack, py::object targetError,
                                 std::string where, std::atomic<int>* busy)
    : m_target(std::move(target)), m_nack(std::move(nack)), m_targetError(std::move(targetError)),
      m_where(std::move(where)), m_busy(busy), m_hasStart(py::hasattr(m_target, "start")),
      m_hasStop(py::hasattr(m_target, "stop"))
{
}

CPyTargetDevice::~CPyTargetDevice()
{
    if (!Py_IsInitialized() || PythonEnding()) {
        // The references go with the interpreter.
        m_target.release();
        m_nack.release();
        m_targetError.release();
        return;
    }
    py::gil_scoped_acquire gil;
    m_target = py::object();
    m_nack = py::object();
    m_targetError = py::object();
}

template <typename F> bool CPyTargetDevice::InPython(F&& body)
{
    if (PythonEnding())
        return false;
    const CTargetScope scope(m_busy);
    const PyGILState_STATE state = PyGILState_Ensure();
    try {
        body();
    } catch (abi::__forced_unwind&) {
        // The interpreter ends this thread as it exits: the GIL is no
        // longer this thread's to give back.
        throw;
    } catch (...) {
        PyGILState_Release(state);
        throw;
    }
    PyGILState_Release(state);
    return true;
}

bool CPyTargetDevice::Start(bool read)
{
    m_readData.clear();
    m_readOffset = 0;
    return CallStart(read);
}

size_t CPyTargetDevice::Write(std::span<const uint8_t> bytes)
{
    return CallWrite(bytes) ? bytes.size() : 0;
}

bool CPyTargetDevice::Probe()
{
    if (!CallStart(false) || !CallWrite({}))
        return false;
    Stop();
    return true;
}

void CPyTargetDevice::Stop()
{
    if (!m_hasStop)
        return;
    InPython([&] {
        PyObject* result = PyObject_CallMethod(m_target.ptr(), "stop", nullptr);
        if (!result)
            Refuse("stop");
        Py_XDECREF(result);
    });
}

bool CPyTargetDevice::CallStart(bool read)
{
    if (!m_hasStart)
        return !PythonEnding();
    bool accepted = false;
    InPython([&] {
        PyObject* result =
            PyObject_CallMethod(m_target.ptr(), "start", "(O)", read ? Py_True : Py_False);
        if (!result) {
            Refuse("start");
            return;
        }
        accepted = result != Py_False;
        Py_DECREF(result);
    });
    return accepted;
}

void CPyTargetDevice::Refuse(const char* method)
{
    py::error_already_set error;
    if (error.matches(m_nack))
        return;
    Failed("the Python target at " + m_where + " raised " +
               py::str(error.type().attr("__name__")).cast<std::string>() + " in " + method +
               "(): " + py::str(error.value()).cast<std::string>(),
           &error);
}

void CPyTargetDevice::ReadRequested(size_t count)
{
    m_readData.assign(count, IDLE_BYTE);
    m_readOffset = 0;
    InPython([&] {
        PyObject* result =
            PyObject_CallMethod(m_target.ptr(), "read", "(n)", static_cast<Py_ssize_t>(count));
        if (!result) {
            py::error_already_set error;
            Failed("the Python target at " + m_where + " raised " +
                       py::str(error.type().attr("__name__")).cast<std::string>() +
                       " in read(): " + py::str(error.value()).cast<std::string>(),
                   &error);
            return;
        }
        const py::object returned = py::reinterpret_steal<py::object>(result);
        try {
            std::vector<uint8_t> data = ToBytes(returned, "the result of read()");
            if (data.size() != count) {
                Failed("the Python target at " + m_where + " returned " +
                           std::to_string(data.size()) + " bytes from read(" +
                           std::to_string(count) + "); it must return exactly " +
                           std::to_string(count),
                       nullptr);
                return;
            }
            m_readData = std::move(data);
        } catch (py::builtin_exception& error) {
            error.set_error();
            py::error_already_set fetched;
            Failed("the Python target at " + m_where + " returned from read() " +
                       py::str(fetched.value()).cast<std::string>(),
                   &fetched);
        } catch (py::error_already_set& error) {
            Failed("the Python target at " + m_where + " returned from read() " +
                       py::str(error.value()).cast<std::string>(),
                   &error);
        }
    });
}

void CPyTargetDevice::Read(std::span<uint8_t> out)
{
    for (uint8_t& byte : out) {
        byte = m_readOffset < m_readData.size() ? m_readData[m_readOffset] : IDLE_BYTE;
        ++m_readOffset;
    }
}

bool CPyTargetDevice::CallWrite(std::span<const uint8_t> bytes)
{
    bool acknowledged = false;
    InPython([&] {
        PyObject* data = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                   static_cast<Py_ssize_t>(bytes.size()));
        PyObject* result =
            data ? PyObject_CallMethod(m_target.ptr(), "write", "(O)", data) : nullptr;
        Py_XDECREF(data);
        if (!result) {
            Refuse("write");
            return;
        }
        // None or anything else acknowledges; only False refuses.
        acknowledged = result != Py_False;
        Py_DECREF(result);
    });
    return acknowledged;
}

void CPyTargetDevice::Failed(const std::string& text, py::error_already_set* cause)
{
    // KeyboardInterrupt, SystemExit and the like go to the caller as they
    // are.
    if (cause && !cause->matches(PyExc_Exception)) {
        SetPendingError(cause->value());
        return;
    }
    py::object error = m_targetError(text);
    if (cause)
        PyException_SetCause(error.ptr(), cause->value().inc_ref().ptr());
    SetPendingError(std::move(error));
}

} // namespace pellanpy
