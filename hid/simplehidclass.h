#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct hid_device_;

// One HID interface as the system lists it.
struct SHidDeviceInfo {
    std::string path; // platform device path, as OpenPath accepts it
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::wstring serialNumber; // empty when the device reports none
    std::wstring manufacturer;
    std::wstring product;
    uint16_t releaseNumber = 0; // USB device release number
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    int interfaceNumber = -1; // -1 when the platform reports none
};

// Thread-safe owner of one open HID device on top of hidapi.
//
// Every operation returns true on success; on failure it returns false and
// keeps a UTF-8 text that GetLastError returns. Texts of the class itself are
// "Device not open", "Device already open", "Timeout" and "Read thread already
// running"; all others come from the HID library.
//
// The HID library stays initialised while any instance exists.
class CSimpleHidClass {
public:
    // Called on the read thread with every received report.
    using ReadCallback = std::function<void(const std::vector<uint8_t>& report)>;

    CSimpleHidClass();
    ~CSimpleHidClass();
    CSimpleHidClass(const CSimpleHidClass&) = delete;
    CSimpleHidClass& operator=(const CSimpleHidClass&) = delete;
    CSimpleHidClass(CSimpleHidClass&&) = delete;
    CSimpleHidClass& operator=(CSimpleHidClass&&) = delete;

    // Opens the first device with these IDs and, unless serialNumber is
    // empty, this serial number. Fails when already open or not found.
    bool Open(uint16_t vendorId, uint16_t productId, const std::wstring& serialNumber);
    // Opens the device at a platform path (SHidDeviceInfo::path).
    bool OpenPath(const std::string& path);
    // Stops the read thread and closes the device; harmless when closed.
    void Close();
    bool IsOpen() const;

    // Writes one output report, report ID first. Fails unless the library
    // wrote the whole report.
    bool Write(const std::vector<uint8_t>& report);
    // Reads one input report of at most maxLength bytes, waiting up to
    // timeoutMs (0 polls, negative waits for ever). On success the buffer
    // holds exactly the received bytes; on failure it is empty and the last
    // error is "Timeout" or the library's read error. Other calls on this
    // object wait while a read waits.
    bool Read(std::vector<uint8_t>& buffer, size_t maxLength, int timeoutMs);
    // As Read, but tells a wait that ended without a report (0) from a
    // failure (-1); otherwise the number of bytes received.
    int ReadCount(std::vector<uint8_t>& buffer, size_t maxLength, int timeoutMs);
    // Sends one feature report, report ID first. Fails unless the whole
    // report was sent.
    bool SendFeatureReport(const std::vector<uint8_t>& report);
    // Reads the feature report with this ID, of at most length data bytes.
    // The buffer receives the report ID followed by the data, as many bytes
    // as the library returned.
    bool GetFeatureReport(uint8_t reportId, std::vector<uint8_t>& buffer, size_t length);
    // The device's string descriptor at this index.
    bool GetIndexedString(uint8_t index, std::wstring& text) const;
    bool GetDeviceInfo(SHidDeviceInfo& info) const;
    // Byte lengths of the largest input, output and feature reports, taken
    // from the report descriptor. Output and feature lengths count the
    // report-ID byte; the input length only when input reports are numbered.
    bool GetReportByteLengths(size_t& inputLength, size_t& outputLength,
                              size_t& featureLength) const;
    // Whether input, output and feature reports carry report IDs.
    bool GetReportIdUsage(bool& inputUsesIds, bool& outputUsesIds, bool& featureUsesIds) const;

    // Starts a thread that reads reports (maxLength, timeoutMs as in Read)
    // and hands each one to the callback on that thread. The callback must
    // not wait for the thread to end (StopReadThread, Close); it may ask it
    // to end. Fails when a read thread runs or the device is not open.
    bool StartReadThread(ReadCallback callback, size_t maxLength, int timeoutMs);
    // Asks the read thread to end and waits for it, at most about one read
    // timeout.
    void StopReadThread();
    bool IsReadThreadRunning() const;

    std::string GetLastError() const;
    void SetLastError(std::string text) const;

    // Lists the HID interfaces with these IDs (0 matches any), in the
    // library's order. True also when none is present.
    static bool EnumerateDevices(std::vector<SHidDeviceInfo>& devices, uint16_t vendorId,
                                 uint16_t productId);

private:
    // Holds the device mutex for a call from outside the read thread and
    // makes the read thread let such calls go first.
    class CCallerLock;

    // Read with the device mutex held; returns the library's result.
    int ReadLocked(std::vector<uint8_t>& buffer, size_t maxLength, int timeoutMs);
    bool AnalyseReportDescriptor(std::array<uint64_t, 3>& lengths,
                                 std::array<bool, 3>& usesIds) const;
    void ReadThreadLoop(ReadCallback callback, size_t maxLength, int timeoutMs);
    void SetLastErrorFromLibrary(const wchar_t* text) const;

    hid_device_* m_device = nullptr;
    mutable std::mutex m_deviceMutex;
    mutable std::mutex m_errorMutex;
    mutable std::string m_lastError;
    std::thread m_readThread;
    std::atomic<bool> m_readThreadRunning{false};
    std::atomic<bool> m_stopReadThread{false};
    // Serialises starting and joining the read thread.
    std::mutex m_threadMutex;
    // Callers waiting for the device mutex; the read thread yields to them.
    mutable std::atomic<int> m_waitingCallers{0};

    static std::atomic<int> s_instanceCount;
};
