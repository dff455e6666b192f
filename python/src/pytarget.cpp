#include "python/src/pytarget.h"

#include "python/src/pybindings.h"

#include <algorithm>
#include <utility>

namespace pellanpy {

namespace {

// What a read of a target that failed puts on the bus: an idle, pulled-up
// data line.
constexpr uint8_t IDLE_BYTE = 0xFF;

} // namespace

CPyTargetDevice::CPyTargetDevice(py::object target, py::object nack, py::object targetError,
                                 std::string where)
    : m_target(std::move(target)), m_nack(std::move(nack)), m_targetError(std::move(targetError)),
      m_where(std::move(where)), m_hasStart(py::hasattr(m_target, "start")),
      m_hasStop(py::hasattr(m_target, "stop"))
{
}

CPyTargetDevice::~CPyTargetDevice()
{
    if (!Py_IsInitialized()) {
        // At exit, after the interpreter: the references go with it.
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
    if (!m_hasStop || IsShuttingDown())
        return;
    CTargetScope scope;
    py::gil_scoped_acquire gil;
    try {
        m_target.attr("stop")();
    } catch (py::error_already_set& error) {
        Refuse(error, "stop");
    }
}

bool CPyTargetDevice::CallStart(bool read)
{
    if (IsShuttingDown())
        return false;
    if (!m_hasStart)
        return true;
    CTargetScope scope;
    py::gil_scoped_acquire gil;
    try {
        const py::object result = m_target.attr("start")(read);
        return result.ptr() != Py_False;
    } catch (py::error_already_set& error) {
        Refuse(error, "start");
        return false;
    }
}

void CPyTargetDevice::Refuse(py::error_already_set& error, const char* method)
{
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
    if (IsShuttingDown())
        return;
    CTargetScope scope;
    py::gil_scoped_acquire gil;
    try {
        const py::object result = m_target.attr("read")(count);
        std::vector<uint8_t> data = ToBytes(result, "the result of read()");
        if (data.size() != count) {
            Failed("the Python target at " + m_where + " returned " + std::to_string(data.size()) +
                       " bytes from read(" + std::to_string(count) + "); it must return exactly " +
                       std::to_string(count),
                   nullptr);
            return;
        }
        m_readData = std::move(data);
    } catch (py::error_already_set& error) {
        Failed("the Python target at " + m_where + " raised " +
                   py::str(error.type().attr("__name__")).cast<std::string>() +
                   " in read(): " + py::str(error.value()).cast<std::string>(),
               &error);
    } catch (py::builtin_exception& error) {
        error.set_error();
        py::error_already_set fetched;
        Failed("the Python target at " + m_where + " returned from read() " +
                   py::str(fetched.value()).cast<std::string>(),
               &fetched);
    } catch (const std::exception& error) {
        Failed("the Python target at " + m_where + " failed in read(): " + error.what(), nullptr);
    }
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
    if (IsShuttingDown())
        return false;
    CTargetScope scope;
    py::gil_scoped_acquire gil;
    try {
        const py::object result = m_target.attr("write")(
            py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        // None or anything else acknowledges; only False refuses.
        return result.ptr() != Py_False;
    } catch (py::error_already_set& error) {
        Refuse(error, "write");
        return false;
    } catch (const std::exception& error) {
        Failed("the Python target at " + m_where + " failed in write(): " + error.what(), nullptr);
    }
    return false;
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
