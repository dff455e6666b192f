#pragma once

// One Python Adapter object: its share of the session of an adapter, and
// whether it is closed. Failures are exceptions that the bindings turn into
// Python's (CI2cError into OSError with an errno, std::invalid_argument into
// ValueError). Nothing here knows Python; every call that reaches the engine
// takes the proof that the GIL is released.

#include "projects/i2cdevicefile.h"
#include "python/src/pysession.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pellanpy {

// One attached adapter as list_adapters reports it.
struct SPyAdapterInfo {
    std::string model;
    std::string serial;
    std::string product;
    uint16_t firmware = 0;
    std::vector<unsigned> speeds; // in hertz, slowest first
    bool pullUpSwitch = false;
    size_t maxRead = 0;
    bool addressOnlyWrite = true;
};

// Every attached adapter, in the order of the command-line tool's list.
std::vector<SPyAdapterInfo> ListPyAdapters(const CGilFree& proof);

// The errno a Linux I2C bus driver gives for the engine's kind of failure:
// EREMOTEIO for a NACK (as the Raspberry Pi's does), EAGAIN for lost
// arbitration, ETIMEDOUT when the adapter did not answer, ENODEV when it is
// gone, EOPNOTSUPP for what the model can not do.
int ErrnoOf(EOrvError kind);

// One message of a combined transaction: a write of data, or a read of
// count bytes.
struct SPyMessage {
    uint8_t address = 0;
    bool read = false;
    std::vector<uint8_t> data;
    size_t count = 0;
};

// Methods may be called from any thread. Those that reach the bus throw
// CI2cError for a failed transfer and std::invalid_argument for a request the
// adapter can not carry out; on a closed object they throw
// std::invalid_argument too.
class CPyAdapter {
public:
    // Opens the adapter, or shares it with the objects that have it open
    // (CPySessionRegistry::Open). holder names this object in the message
    // that refuses another object other settings, e.g. "the SMBus opened at
    // probe.py:12".
    CPyAdapter(const std::optional<std::string>& serial, unsigned long long speedHz,
               const std::string& speedText, bool pullUps, std::string holder,
               const CGilFree& proof);
    // Lets go of the session as Close does. Never with the GIL held: the
    // last object to let go closes the adapter.
    ~CPyAdapter();
    CPyAdapter(const CPyAdapter&) = delete;
    CPyAdapter& operator=(const CPyAdapter&) = delete;

    // Lets go of the session; the last object to let go closes the adapter.
    // Harmless when closed.
    void Close(const CGilFree& proof);
    // Never waits.
    bool IsClosed() const { return m_closed.load(); }
    // Fixed at open; still there after close.
    const SPySessionIdentity& Identity() const { return m_identity; }

    // busio's lock, shared by every object on the adapter: true when this
    // object took it now, false when any object holds it (this one too) or
    // this one is closed. Never waits; ownership changes atomically, so
    // threads sharing this object may race for it.
    bool TryLockBus();
    // Releases busio's lock if this object holds it.
    void UnlockBus();

    void Write(uint8_t address, const std::vector<uint8_t>& data, EI2cStartStop mode,
               const CGilFree& proof);
    std::vector<uint8_t> Read(uint8_t address, size_t count, const CGilFree& proof);
    // The write without a stop, then the read after a repeated start, with
    // no other transaction in between.
    std::vector<uint8_t> WriteRead(uint8_t address, const std::vector<uint8_t>& data, size_t count,
                                   const CGilFree& proof);
    // The addresses 0x08 to 0x77 that acknowledge a probe. Only a NACK means
    // that nothing answered: other failures throw once the scan is done,
    // naming the addresses; a timeout, a lost adapter or a cancel end the
    // scan at once.
    std::vector<uint8_t> Scan(const CGilFree& proof);
    // True when the address acknowledged; every failure but a NACK throws.
    bool Probe(uint8_t address, const CGilFree& proof);
    // The messages as one transaction, a repeated start before each, one stop
    // at the end; what the adapter can not send that way throws CI2cError
    // (EOPNOTSUPP) before anything reaches the bus. Returns the bytes of a
    // closing read, or nothing.
    std::vector<uint8_t> Transfer(const std::vector<SPyMessage>& messages, const CGilFree& proof);
    // Runs work on the engine while the adapter is held, so that no other
    // object's transaction comes between its steps (a read-modify-write).
    void Locked(const std::function<void(COrvI2c&)>& work, const CGilFree& proof);

private:
    // The session of an open object; a closed one throws.
    std::shared_ptr<CPySession> Session() const;
    // Gives up the bus lock and the share of the session.
    void LetGo();
    void CheckReadCount(size_t count) const;

    std::atomic<std::shared_ptr<CPySession>> m_session;
    std::atomic<bool> m_closed{false};
    SPySessionIdentity m_identity;
};

} // namespace pellanpy
