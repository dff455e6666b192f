#pragma once

// The engine as the Python package drives it: one adapter, its lock, and
// failures as exceptions that the bindings turn into Python's (CI2cError into
// OSError with an errno, std::invalid_argument into ValueError). Nothing here
// knows Python, so the calls run with the interpreter lock released.

#include "projects/i2cdevicefile.h"
#include "transactions/i2ctransaction.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class COrvI2c;

// A failed transfer: the errno a Linux I2C driver gives for it and the
// engine's text.
class CI2cError : public std::runtime_error {
public:
    CI2cError(int code, const std::string& text) : std::runtime_error(text), m_code(code) {}
    int Code() const { return m_code; }

private:
    int m_code;
};

// One attached adapter as list_adapters reports it.
struct SPyAdapterInfo {
    std::string model;
    std::string serial;
    std::string product;
    uint16_t firmware = 0;
    std::vector<unsigned> speeds; // in hertz, slowest first
    bool pullUpSwitch = false;
};

// Every attached adapter, in the order of the command-line tool's list.
std::vector<SPyAdapterInfo> ListPyAdapters();

// One message of a combined transaction: a write of data, or a read of
// count bytes.
struct SPyMessage {
    uint8_t address = 0;
    bool read = false;
    std::vector<uint8_t> data;
    size_t count = 0;
};

// Every method may be called from any thread: one lock per adapter keeps
// the transactions of several threads apart. Methods throw CI2cError for a
// failed transfer and std::invalid_argument for a request the adapter can not
// carry out; a closed adapter throws std::logic_error.
class CPyAdapter {
public:
    // Opens the adapter with this serial number, or the only attached one,
    // with the command-line tool's rules: a missing adapter or a lost
    // connection throws CI2cError (ENODEV), several adapters without a
    // serial number, an unsupported speed or pull-ups that can not be switched
    // throw std::invalid_argument.
    CPyAdapter(const std::optional<std::string>& serial, unsigned speedHz, bool pullUps);
    ~CPyAdapter();
    CPyAdapter(const CPyAdapter&) = delete;
    CPyAdapter& operator=(const CPyAdapter&) = delete;

    // Leaves I2C mode and closes the device; harmless when closed.
    void Close();
    bool IsClosed() const;

    const std::string& Model() const { return m_model; }
    const std::string& Serial() const { return m_serial; }
    const std::string& Product() const { return m_product; }
    uint16_t Firmware() const { return m_firmware; }
    unsigned SpeedHz() const { return m_speedHz; }
    bool PullUps() const { return m_pullUps; }
    size_t MaxRead() const { return m_maxRead; }

    void Write(uint8_t address, const std::vector<uint8_t>& data, EI2cStartStop mode);
    std::vector<uint8_t> Read(uint8_t address, size_t count);
    // The write without a stop, then the read after a repeated start, with
    // no other thread's transaction in between.
    std::vector<uint8_t> WriteRead(uint8_t address, const std::vector<uint8_t>& data, size_t count);
    // The addresses 0x08 to 0x77 that acknowledge a probe.
    std::vector<uint8_t> Scan();
    // True when the address acknowledged; a lost adapter throws.
    bool Probe(uint8_t address);
    // The messages as one transaction, a repeated start before each, one stop
    // at the end. A read may come last only (its request ends with a stop),
    // and must fit the adapter's read limit; what breaks these rules throws
    // CI2cError (EOPNOTSUPP) before anything reaches the bus. Returns the
    // bytes of a closing read, or nothing.
    std::vector<uint8_t> Transfer(const std::vector<SPyMessage>& messages);

private:
    // Checks, with the lock held, that the adapter is open.
    COrvI2c& Open();
    // The read limit check of every read.
    void CheckReadCount(size_t count) const;
    bool RefusesAddressOnly() const;
    // Throws the CI2cError for a failed transaction.
    [[noreturn]] void Fail(const SI2cTransaction& transaction);

    mutable std::mutex m_mutex;
    std::unique_ptr<COrvI2c> m_adapter;
    std::string m_model;
    std::string m_serial;
    std::string m_product;
    uint16_t m_firmware = 0;
    unsigned m_speedHz = 0;
    bool m_pullUps = true;
    size_t m_maxRead = 0;
};
