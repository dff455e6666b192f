#pragma once

// The simulated HID stack: an implementation of the hidapi C API over virtual
// HID interfaces that a program or test registers at run time. Link the
// pellan_sim target instead of the real hidapi, and the HID layer above
// (CSimpleHidClass and everything built on it) runs unchanged against it.
//
// Typical use in a test:
//
//     class CEcho : public CSimHidBehaviour {
//         int OnOutputReport(CSimHidDevice& device, std::span<const uint8_t> report,
//                            std::wstring&) override
//         {
//             device.QueueInputReport({report.begin(), report.end()});
//             return static_cast<int>(report.size());
//         }
//     };
//
//     CSimHidStack::Instance().Reset();
//     SSimHidInterface desc;
//     desc.path = "sim/echo";
//     desc.vendorId = 0x3A5E;
//     ...
//     auto device = CSimHidStack::Instance().Plug(desc, std::make_shared<CEcho>());
//     ... hid_open_path("sim/echo"), hid_write, hid_read_timeout ...
//     device->OutputReports();   // what the host wrote, byte by byte
//     CSimHidStack::Instance().Unplug("sim/echo");
//
// pellan_sim is an object library: link it directly into the executable.
// Call Reset() before each test; OpenHandleCount() == 0 afterwards shows that
// every handle was closed.
//
// Texts of hid_error / hid_read_error, as hidapi on Linux words them:
// - a read on a handle of an unplugged interface fails (-1) with
//   "hid_read_timeout: unexpected poll error (device disconnected)";
// - writes, feature reports, indexed strings and the report descriptor fail
//   with "No such device" after an unplug;
// - a hook that fails without giving a text yields "Input/output error";
// - after a successful call the text is "Success".
// hid_get_device_info and the three string getters answer from what the
// handle learnt at open, also after an unplug.
//
// Everything here is thread-safe. Input reports travel the way hidraw moves
// them: every handle open on an interface has its own queue, a queued report
// goes to each handle that is open at that moment, and a report queued while
// no handle is open is lost.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

struct hid_device_;
class CSimHidApi;
class CSimHidDevice;

// Description of one virtual HID interface, as the system lists it.
struct SSimHidInterface {
    std::string path; // unique; what hid_open_path takes
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    // Empty strings are reported as missing (null) by the enumeration and
    // as empty texts by the string getters.
    std::wstring serialNumber;
    std::wstring manufacturer;
    std::wstring product;
    uint16_t releaseNumber = 0;
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    int interfaceNumber = -1;
    std::vector<uint8_t> reportDescriptor;
    // String descriptors for hid_get_indexed_string; other indexes fail.
    std::map<int, std::wstring> indexedStrings;
    // When not empty, hid_open and hid_open_path fail with this text (for
    // example a permission problem).
    std::wstring openError;
    // Input reports a handle keeps before newer ones are dropped; 0 for no
    // limit (the Linux hidraw driver keeps 64).
    size_t inputQueueLimit = 0;
    // Keep every written report for Writes(); switch off for long runs.
    bool recordWrites = true;
};

// What the host sent to an interface.
enum class ESimHidWriteKind {
    Output,  // hid_write
    Feature, // hid_send_feature_report
};

struct SSimHidWrite {
    ESimHidWriteKind kind = ESimHidWriteKind::Output;
    std::vector<uint8_t> bytes; // report ID first, as the host passed them
    int result = 0;             // what the call returned to the host
};

// The device behind a virtual interface. Override the hooks to answer the
// host; the defaults accept every write and answer a feature report read
// with the last feature report set with that ID.
//
// The hooks of one interface are called one at a time, on the thread of the
// host's hidapi call. They may queue input reports, plug and unplug, but must
// not call hidapi functions on the same interface.
class CSimHidBehaviour {
public:
    virtual ~CSimHidBehaviour() = default;

    // A handle was opened or closed on the interface.
    virtual void OnOpen(CSimHidDevice& device);
    virtual void OnClose(CSimHidDevice& device);

    // An output report from hid_write, report ID first. Returns what
    // hid_write returns: the number of bytes accepted (report.size() for the
    // whole report, less for a short write), or -1 to fail; error is then
    // the hid_error text.
    virtual int OnOutputReport(CSimHidDevice& device, std::span<const uint8_t> report,
                               std::wstring& error);
    // A feature report from hid_send_feature_report, with the same contract.
    virtual int OnSetFeatureReport(CSimHidDevice& device, std::span<const uint8_t> report,
                                   std::wstring& error);
    // hid_get_feature_report for this report ID and a host buffer of
    // maxLength bytes. Fill report (report ID first) and return what the call
    // returns, normally report.size() cut to maxLength; -1 fails with error.
    // At most maxLength bytes of report reach the host whatever is returned.
    virtual int OnGetFeatureReport(CSimHidDevice& device, uint8_t reportId, size_t maxLength,
                                   std::vector<uint8_t>& report, std::wstring& error);

private:
    std::mutex m_featureMutex;
    std::map<uint8_t, std::vector<uint8_t>> m_features;
};

// A behaviour made of callables, for tests that need one or two hooks.
// Hooks left empty behave as in CSimHidBehaviour.
class CSimHidCallbackBehaviour : public CSimHidBehaviour {
public:
    using WriteHook =
        std::function<int(CSimHidDevice&, std::span<const uint8_t> report, std::wstring& error)>;
    using GetFeatureHook = std::function<int(CSimHidDevice&, uint8_t reportId, size_t maxLength,
                                             std::vector<uint8_t>& report, std::wstring& error)>;

    WriteHook onOutputReport;
    WriteHook onSetFeatureReport;
    GetFeatureHook onGetFeatureReport;

    int OnOutputReport(CSimHidDevice& device, std::span<const uint8_t> report,
                       std::wstring& error) override;
    int OnSetFeatureReport(CSimHidDevice& device, std::span<const uint8_t> report,
                           std::wstring& error) override;
    int OnGetFeatureReport(CSimHidDevice& device, uint8_t reportId, size_t maxLength,
                           std::vector<uint8_t>& report, std::wstring& error) override;
};

// One plugged virtual interface. Created by CSimHidStack::Plug; it stays
// valid (but unplugged) after Unplug for as long as anybody holds it.
class CSimHidDevice {
public:
    using Clock = std::chrono::steady_clock;

    CSimHidDevice(const CSimHidDevice&) = delete;
    CSimHidDevice& operator=(const CSimHidDevice&) = delete;

    const SSimHidInterface& Description() const { return m_description; }
    const std::shared_ptr<CSimHidBehaviour>& Behaviour() const { return m_behaviour; }
    bool IsPlugged() const;
    // Handles open on this interface (hid_close not called yet).
    size_t OpenHandleCount() const;
    // Reads blocked right now waiting for an input report; lets a test know
    // that a reader is waiting before it queues a report or unplugs.
    size_t WaitingReaderCount() const;

    // Sends an input report (report ID first) to every handle open now. With
    // a delay the report becomes readable only once the delay has passed;
    // reports are read in the order they become readable. Returns the number
    // of handles that received it (0 when none is open or it is unplugged).
    size_t QueueInputReport(std::vector<uint8_t> report, Clock::duration delay = {});
    // Takes back the reports queued with a delay that has not passed yet,
    // from every handle: a device that stops sending. Returns how many.
    size_t DropPendingInputReports();

    // Every report the host wrote while plugged, in order (only with
    // SSimHidInterface::recordWrites). A write is recorded after the
    // behaviour has handled it.
    std::vector<SSimHidWrite> Writes() const;
    // The bytes of the recorded output reports only.
    std::vector<std::vector<uint8_t>> OutputReports() const;
    // Returns the recorded writes and forgets them.
    std::vector<SSimHidWrite> TakeWrites();
    size_t WriteCount() const;
    // Waits until at least count writes are recorded. False on timeout.
    bool WaitForWrites(size_t count, std::chrono::milliseconds timeout) const;

private:
    friend class CSimHidStack;
    friend class CSimHidApi;

    CSimHidDevice(SSimHidInterface description, std::shared_ptr<CSimHidBehaviour> behaviour);

    void MarkUnplugged();
    void Record(ESimHidWriteKind kind, std::span<const uint8_t> bytes, int result);

    const SSimHidInterface m_description;
    const std::shared_ptr<CSimHidBehaviour> m_behaviour;
    // Serialises the behaviour's hooks.
    std::mutex m_behaviourMutex;
    // Guards everything below and the input queues of the open handles.
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_writesChanged;
    bool m_plugged = true;
    size_t m_waitingReaders = 0;
    std::vector<hid_device_*> m_handles;
    std::vector<SSimHidWrite> m_writes;
};

// The registry of virtual interfaces: the simulated system's HID stack.
class CSimHidStack {
public:
    static CSimHidStack& Instance();

    CSimHidStack(const CSimHidStack&) = delete;
    CSimHidStack& operator=(const CSimHidStack&) = delete;

    // Plugs a virtual interface; it is listed after the ones already
    // plugged. Without a behaviour a default CSimHidBehaviour is used.
    // Returns null when the path is empty or already plugged.
    std::shared_ptr<CSimHidDevice> Plug(SSimHidInterface description,
                                        std::shared_ptr<CSimHidBehaviour> behaviour = nullptr);
    // Removes the interface from the listing; handles open on it fail from
    // now on as after a real unplug. False when no such path is plugged.
    bool Unplug(const std::string& path);
    // Unplugs everything and zeroes the init/exit counters. Handles still
    // open stay valid (and failing) until they are closed.
    void Reset();

    std::shared_ptr<CSimHidDevice> Find(const std::string& path) const;
    // The plugged interfaces, in listing order.
    std::vector<std::shared_ptr<CSimHidDevice>> Devices() const;

    // hid_init and hid_exit calls since the last Reset.
    int InitCount() const;
    int ExitCount() const;
    // Handles opened and not yet closed, over all interfaces.
    size_t OpenHandleCount() const;

private:
    friend class CSimHidApi;

    CSimHidStack() = default;

    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<CSimHidDevice>> m_devices;
    int m_initCount = 0;
    int m_exitCount = 0;
    size_t m_openHandles = 0;
};
