#pragma once

// A device on the bus of a simulated adapter played by a Python object:
// target.write(data) for each write to its address (b"" for an address
// probe), target.read(count) for each read, and, when the target has them,
// target.start(read) at each start or repeated start addressed to it and
// target.stop() at the stop that ends its transaction. The adapter calls it
// on the thread of the host's HID write, with the adapter's lock held; the
// GIL is taken for each call. Once the interpreter is finalizing, the target
// is no longer called: it refuses with a NACK and reads as an idle bus.

#include "sim/adapters/simi2cdevice.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace pellanpy {

class CPyTargetDevice : public CSimI2cDevice {
public:
    // nack and targetError are the exception types of the sim module; where
    // names the device in error messages, e.g. "0x48 on OR3-100042"; busy
    // counts the threads inside the callbacks of the adapter's targets.
    CPyTargetDevice(pybind11::object target, pybind11::object nack, pybind11::object targetError,
                    std::string where, std::atomic<int>* busy);
    // Takes the GIL to drop the Python references, unless the interpreter
    // is ending.
    ~CPyTargetDevice() override;

    const pybind11::object& Target() const { return m_target; }

    bool Start(bool read) override;
    size_t Write(std::span<const uint8_t> bytes) override;
    void Read(std::span<uint8_t> out) override;
    void Stop() override;
    bool Probe() override;
    void ReadRequested(size_t count) override;

private:
    // Runs body with the GIL held, on a thread marked as inside the target;
    // false, without running it, once Python can not be entered. The frames
    // here hold no Python object while Python runs: a daemon thread that
    // the interpreter ends at its exit unwinds through them.
    template <typename F> bool InPython(F&& body);
    // Calls target.write; false when the target refused.
    bool CallWrite(std::span<const uint8_t> bytes);
    // Calls target.start if it has one; false when the target refused.
    bool CallStart(bool read);
    // The callback just raised: Nack refuses quietly, anything else is kept
    // for the caller.
    void Refuse(const char* method);
    // Keeps a TargetError, caused by the error being handled, for the caller.
    void Failed(const std::string& text, pybind11::error_already_set* cause);

    pybind11::object m_target;
    pybind11::object m_nack;
    pybind11::object m_targetError;
    const std::string m_where;
    std::atomic<int>* const m_busy;
    // The optional callbacks the target has.
    bool m_hasStart = false;
    bool m_hasStop = false;
    // The bytes of the read in progress, produced by one target.read call.
    std::vector<uint8_t> m_readData;
    size_t m_readOffset = 0;
};

} // namespace pellanpy
