#pragma once

// A simulated Orvane USB-I2C adapter on the simulated HID stack: one adapter
// of a model and serial number, listed as several HID interfaces like the
// real composite device, whose I2C interface carries out the adapter's report
// protocol on a bus of simulated I2C devices.
//
//     auto adapter = CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"OR3-0001");
//     ... COrv3i2c i2c; i2c.Connect(L"OR3-0001", EI2cSpeed::Speed100k); ...
//     adapter->TakeReceivedReports();   // what the host sent, byte by byte
//     adapter->Unplug();
//
// Reports (64 bytes, report ID first):
//   0x01 enable: byte 1 = 1 enter I2C mode with the flags in byte 2 (speed in
//        the low bits, Orvane5 bit 0x80 = pull-ups off), 0 leave it. No answer;
//        leaving drops the answer reports still on their way.
//   0x02 write: byte 1 = start 0x80 | stop 0x40 | count 1..62. Answered by an
//        acknowledge 0x02 with status (the count on success, 0x80 on error,
//        0xC0 when arbitration was lost) and error code: 1 wrong number of
//        bytes (also the Orvane5's address-only write), 2 no transaction
//        started, 3 NACK, 4 bus error.
//   0x03 read request in the model's layout. Answered by read data reports
//        0x03 of up to 62 bytes (status = count), or one report with status
//        0x80 when nothing acknowledged the address.
// Outside I2C mode write and read reports are not answered at all.
//
// Everything here may be called from any thread.

#include "sim/adapters/simi2cdevice.h"
#include "sim/simhid.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

enum class ESimOrvModel {
    Orv3,
    Orv5,
    Orv7,
};

// Faults that last until ClearFaults (or for a number of requests).
enum class ESimOrvFault {
    None,
    // Write and read reports are taken but never answered.
    NoAnswer,
    // Acknowledges carry status 0xC0, read data reports 0x40; the bus is
    // left alone.
    ArbitrationLost,
    // Acknowledges carry status 0x80 with error code 4, read data reports
    // 0x80; the bus is left alone.
    BusError,
    // Output reports of every kind fail as a failed USB transfer does:
    // hid_write returns -1 with "Broken pipe". Counted per report.
    WriteError,
    // The cable is pulled as the request arrives: it is taken, never
    // answered, and the adapter leaves the listing.
    Unplug,
};

struct SSimOrvOptions {
    // Empty: "<model name> USB-I2C".
    std::wstring product;
    // 0: the model's default firmware number.
    uint16_t releaseNumber = 0;
    // List the I2C interface a second time, as some systems do.
    bool duplicateI2cInterface = false;
    // The BH1750 at 0x23, the 24C02 at 0x50 and the LM75 at 0x48.
    bool defaultDevices = true;
};

class CSimOrvAdapter : public CSimHidBehaviour,
                       public std::enable_shared_from_this<CSimOrvAdapter> {
public:
    using Report = std::vector<uint8_t>;

    // Plugs an adapter: its interfaces appear in the HID listing at once.
    // Null when the serial number of this model is already plugged.
    static std::shared_ptr<CSimOrvAdapter> Plug(ESimOrvModel model, std::wstring serialNumber,
                                                SSimOrvOptions options = {});

    // Name, product ID and I2C interface number of a model.
    static std::wstring ModelName(ESimOrvModel model);
    static uint16_t ProductId(ESimOrvModel model);
    static int I2cInterfaceNumber(ESimOrvModel model);

    CSimOrvAdapter(const CSimOrvAdapter&) = delete;
    CSimOrvAdapter& operator=(const CSimOrvAdapter&) = delete;

    // Removes every interface from the listing; open handles fail from now
    // on. Harmless when already unplugged.
    void Unplug();
    bool IsPlugged() const;

    ESimOrvModel Model() const { return m_model; }
    const std::wstring& SerialNumber() const { return m_serialNumber; }
    // The paths of all listed interfaces, in listing order.
    std::vector<std::string> Paths() const;
    // The path of the I2C interface a host opens (the last one listed).
    std::string I2cPath() const;

    // Adapter state as the last enable report left it.
    bool IsI2cMode() const;
    uint8_t EnableFlags() const;

    // The bus. A device replaces any other at the same address.
    void AddDevice(uint8_t address, std::shared_ptr<CSimI2cDevice> device);
    void RemoveDevice(uint8_t address);
    std::shared_ptr<CSimI2cDevice> Device(uint8_t address) const;
    template <typename T> std::shared_ptr<T> DeviceAs(uint8_t address) const
    {
        return std::dynamic_pointer_cast<T>(Device(address));
    }

    // The reports the host wrote to the I2C interface, in order (enable
    // reports and rejected writes included): the last RECORD_LIMIT of them.
    // Recording is on by default; switch it off for long runs.
    static constexpr size_t RECORD_LIMIT = 100'000;
    std::vector<Report> ReceivedReports() const;
    std::vector<Report> TakeReceivedReports();
    void SetRecording(bool on);

    // Faults. SetFault applies to the next count write and read requests,
    // or to all of them with a negative count, once after answer reports
    // have passed unharmed: one answers each write report, one each 62 bytes
    // of a read (a 4096-byte read is 67). A read that the fault meets part
    // way gets the reports before it first, so a fault or an unplug can
    // strike in the middle of a long read. WriteError counts the output
    // reports instead, every one.
    void SetFault(ESimOrvFault fault, int count = -1, int after = 0);
    void ClearFaults();
    // The next request is answered by exactly these reports instead of its
    // own answer (the bus is left alone). Several calls queue up.
    void ReplaceNextAnswer(std::vector<Report> reports);
    // These reports go out just before the next answer.
    void QueueStrayReports(std::vector<Report> reports);
    // Stray reports of other IDs and of 2 bytes or fewer, one per interval,
    // for the given time before the next answer, which comes after them.
    void FloodNextAnswer(std::chrono::milliseconds duration,
                         std::chrono::microseconds interval = std::chrono::milliseconds(1));
    // Sends a report to the host now, unasked.
    void SendUnsolicited(Report report);
    // Time each answer report takes: the k-th report of an answer arrives
    // k times this after the request. 0 by default; 1 ms is full-speed USB.
    void SetLatency(std::chrono::microseconds perReport);

    // A few stray reports of every awkward kind: other IDs, the expected IDs
    // with 2 bytes or fewer.
    static std::vector<Report> StrayReports();

    // Simulated HID interface hooks.
    int OnOutputReport(CSimHidDevice& device, std::span<const uint8_t> report,
                       std::wstring& error) override;

private:
    struct SPrivate {};

public:
    CSimOrvAdapter(SPrivate, ESimOrvModel model, std::wstring serialNumber);

private:
    void Enable(std::span<const uint8_t> report);
    void HandleWrite(std::span<const uint8_t> report, std::vector<Report>& answer);
    void HandleRead(std::span<const uint8_t> report, std::vector<Report>& answer);
    // The fault that meets a request whose answer is reports long, and in
    // passing how many of them go out unharmed before it.
    ESimOrvFault TakeFault(size_t reports, size_t& passing);
    // The number of reports the answer to a read request will be.
    size_t ReadAnswerReports(std::span<const uint8_t> report) const;
    // Sends the answer with the strays, flood and latency in force.
    void Answer(CSimHidDevice& device, std::vector<Report> answer);
    bool IsSpeedFlagsValid(uint8_t flags) const;
    size_t MaxReadCount() const;

    const ESimOrvModel m_model;
    const std::wstring m_serialNumber;

    mutable std::mutex m_mutex;
    std::vector<std::string> m_paths;
    std::map<uint8_t, std::shared_ptr<CSimI2cDevice>> m_devices;
    bool m_i2cMode = false;
    uint8_t m_enableFlags = 0;
    // The transaction a write with start and without stop left open.
    std::shared_ptr<CSimI2cDevice> m_active;
    bool m_activeRead = false;

    bool m_recording = true;
    std::deque<Report> m_received;

    ESimOrvFault m_fault = ESimOrvFault::None;
    int m_faultCount = -1;
    size_t m_faultAfter = 0; // answer reports still to pass

    std::deque<std::vector<Report>> m_replacements;
    std::vector<Report> m_strays;
    std::chrono::milliseconds m_floodDuration{0};
    std::chrono::microseconds m_floodInterval{1000};
    std::chrono::microseconds m_latency{0};
};
