#pragma once

#include "hid/simplehidclass.h"
#include "i2c/adapterlock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Bus speed. The values go to the adapter unchanged, so they are not in
// speed order.
enum class EI2cSpeed : uint8_t {
    Speed100k = 0,
    Speed400k = 1,
    Speed50k = 2,
    Speed10k = 3,
    Speed1000k = 4,
};

// What kind of failure the last error describes, beside its text: front ends
// map the kind to their own terms (an errno, a hint, a short text) and never
// read the text to tell failures apart.
enum class EOrvError : uint8_t {
    None,            // no failure yet
    Nack,            // nothing acknowledged the address or a byte
    Timeout,         // an expected report did not arrive within 1000 ms
    ArbitrationLost, // another master took the bus
    BusError,        // the adapter's error code 4
    NoStart,         // code 2: data without a transaction that a start opened
    WrongCount,      // code 1: a byte count the adapter refused
    AdapterError,    // code 0 or a code the adapter does not document
    NotConnected,    // no device open
    Gone,            // the adapter is unplugged, or was not found
    UsbError,        // the HID layer failed otherwise
    AccessDenied,    // the system refused to open the device
    Unsupported,     // the model can not do it (speed, pull-ups, address-only write)
    InvalidArgument, // an address, read count or empty write no model takes
    Cancelled,       // the cancel check asked the operation to end
    Busy,            // another program holds the adapter
};

// Outcome of one write: the status and error code bytes of the last
// acknowledge report, both 0 when no acknowledge arrived.
struct SI2cWriteResult {
    uint8_t status = 0;
    uint8_t errorCode = 0;
};

// Outcome of one read: the status byte of the last read data report and the
// bytes read so far, in bus order.
struct SI2cReadResult {
    uint8_t status = 0;
    std::vector<uint8_t> data;
};

// One Orvane USB adapter driven as an I2C bus master. Every operation is
// synchronous, returns true on success and on failure returns false with a
// text that GetLastError returns; nothing throws for a device or bus failure.
class COrvI2c {
public:
    COrvI2c(const COrvI2c&) = delete;
    COrvI2c& operator=(const COrvI2c&) = delete;

    // Disconnects as Disconnect does.
    virtual ~COrvI2c();

    // Opens the model's I2C interface of the adapter with this USB serial
    // number and configures the speed; closes any previous connection first.
    // The adapter is this object's until it disconnects: while another
    // program holds it, Connect fails with the kind Busy and a text that
    // names that program.
    bool Connect(const std::wstring& serialNumber, EI2cSpeed speed);
    // Leaves I2C mode and closes the device; harmless when not connected.
    void Disconnect();
    // Closes the device without a word to the adapter: for the copy of a
    // process that fork() made, whose original still uses the adapter.
    void Abandon();
    bool IsConnected() const;
    // Connected, and the device did not fail a look at its pending input,
    // which is discarded (as every transaction discards it first). False for
    // a device unplugged since Connect, even when an adapter with the same
    // serial number was plugged in again.
    bool IsDeviceAlive();
    // Connected, and the adapter is still listed by the system.
    bool IsPresent() const;
    // Reads count bytes from a 7-bit address; on failure result.data holds
    // the bytes received before the failure.
    bool Read(uint8_t address, size_t count, SI2cReadResult& result);
    bool SetSpeed(EI2cSpeed speed);
    EI2cSpeed GetSpeed() const;
    std::wstring GetSerialNumber() const;
    std::wstring GetProductName() const;
    uint16_t GetFirmware() const;
    std::string GetLastError() const;
    // The kind of the last failure; None until the first.
    EOrvError GetLastErrorKind() const;

    // Asked between reports and between the slices (at most 50 ms each) of
    // every wait for a report; true ends the operation with "Cancelled". The
    // adapter then leaves I2C mode and enters it again, so that what it would
    // still have sent for the abandoned request never reaches the next one.
    // Called on the thread of the operation; empty by default.
    void SetCancelCheck(std::function<bool()> check);

    // The product name and firmware number that Connect would report for the
    // attached adapter of this model with this serial number, read from the
    // system's HID listing: nothing is opened, nothing sent. False with
    // "Device not found" when no such adapter is attached.
    bool Describe(const std::wstring& serialNumber, std::wstring& productName, uint16_t& firmware);

    // Serial numbers of the attached adapters of one model, sorted and
    // without duplicates. False when the HID enumeration failed.
    static bool EnumerateInterface(uint16_t productId, int interfaceNumber,
                                   std::vector<std::wstring>& serialNumbers);

    // Writes data (address byte in write form first) with the requested
    // start and stop conditions.
    virtual bool Write(const std::vector<uint8_t>& data, SI2cWriteResult& result,
                       bool generateStart, bool generateStop);
    // True when a device acknowledged the 7-bit address.
    virtual bool Probe(uint8_t address);
    virtual std::wstring GetTypeName() const = 0;
    virtual bool IsSpeedSupported(EI2cSpeed speed) const = 0;
    virtual size_t GetMaxReadCount() const = 0;
    virtual bool HasPullUpSwitch() const;
    // The model can put an address on the bus without data (a write of the
    // address byte alone with start and stop); the base models can.
    virtual bool IsAddressOnlyWriteSupported() const;
    virtual bool SetPullUpsEnabled(bool enabled);
    virtual bool GetPullUpsEnabled() const;

protected:
    COrvI2c(uint16_t productId, int interfaceNumber);

    virtual uint8_t GetEnableFlags(EI2cSpeed speed) const = 0;
    virtual void FillReadRequest(std::vector<uint8_t>& report, uint8_t address,
                                 size_t count) const = 0;
    // Sends the configuration for the speed; the models with a pull-up
    // switch send more than the base class.
    virtual bool ApplyConfiguration(EI2cSpeed speed);

    // Writes one report through the HID handle. Fails with "Not connected"
    // when no device is open, or with the HID layer's text.
    bool SendReport(const std::vector<uint8_t>& report);
    // Waits for the next input report with this ID, skipping reports of other
    // IDs and of 2 bytes or fewer. The whole wait ends after 1000 ms, however
    // many other reports arrive meanwhile, with "Timeout"; a failed read gives
    // the HID layer's text. On success the report is exactly 64 bytes long.
    bool ReceiveReport(uint8_t reportId, std::vector<uint8_t>& report);
    // Discards every pending input report; the last error is left alone.
    void FlushInput();
    // Sends the enable report: enter I2C mode with these flags, or leave it.
    bool SendEnable(bool enable, uint8_t flags);

    void SetLastError(EOrvError kind, std::string text);
    // A failed HID call: the adapter is Gone when the HID layer says that
    // the device went away or the adapter is no longer listed, else the
    // failure is a UsbError.
    void SetHidError(std::string text);
    // True, with "Cancelled" as the last error, when the cancel check asks
    // to stop.
    bool Cancelled();
    // After a cancelled transaction: leave I2C mode, enter it again and drop
    // what arrived meanwhile.
    void Resynchronise();
    // Whether the open interface's report descriptor allows the adapters'
    // 64-byte reports; false with the last error set when it does not.
    bool HasAdapterReports();
    // The listed I2C interface of the adapter with this serial number; false
    // when there is none.
    bool FindInterface(const std::wstring& serialNumber, SHidDeviceInfo& info) const;
    std::wstring ProductNameOf(const SHidDeviceInfo& info) const;
    // The connected serial number is in the system's listing of the model.
    bool IsListed() const;

    std::string m_lastError;
    EOrvError m_lastErrorKind = EOrvError::None;
    std::function<bool()> m_cancelCheck;
    uint16_t m_productId = 0;
    int m_interfaceNumber = 0;
    CSimpleHidClass m_hid;
    // Held while connected: one program at a time on the adapter.
    CAdapterLock m_lock;
    std::wstring m_serialNumber;
    std::wstring m_productName;
    uint16_t m_firmware = 0;
    EI2cSpeed m_speed = EI2cSpeed::Speed100k;
    bool m_pullUpsEnabled = true;
};
