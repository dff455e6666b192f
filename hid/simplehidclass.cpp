#include "hid/simplehidclass.h"

#include "hid/hidapiext.h"
#include "hid/reportdescriptor.h"
#include "hid/widestring.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <utility>

namespace {

constexpr const char* TEXT_NOT_OPEN = "Device not open";
constexpr const char* TEXT_ALREADY_OPEN = "Device already open";
constexpr const char* TEXT_TIMEOUT = "Timeout";
constexpr const char* TEXT_THREAD_RUNNING = "Read thread already running";

constexpr size_t INDEXED_STRING_LENGTH = 256;
constexpr size_t REPORT_DESCRIPTOR_BUFFER = 4096;

// The read thread never waits longer than this in one go, so that a stop
// request is seen even when the caller asked to wait for ever; it is also the
// longest pause after a failed read before the next try.
constexpr int READ_THREAD_SLICE_MS = 100;

// What hidapi's hid_error says when nothing failed.
constexpr const char* TEXT_LIBRARY_SUCCESS = "Success";

// Set on a read thread to the object that runs it.
thread_local const CSimpleHidClass* t_readThreadOwner = nullptr;

std::wstring FromLibrary(const wchar_t* text)
{
    return text != nullptr ? std::wstring(text) : std::wstring();
}

// A short transfer is no error to the library, whose text would then read
// "Success" under a failure; such a text is replaced by what happened.
std::string IncompleteTransferText(const wchar_t* libraryText, const char* transfer, int done,
                                   size_t length)
{
    std::string text = WideToUtf8(libraryText);
    if (!text.empty() && text != TEXT_LIBRARY_SUCCESS) {
        return text;
    }
    return std::string("Incomplete ") + transfer + ": " + std::to_string(done) + " of " +
           std::to_string(length) + " bytes";
}

SHidDeviceInfo ToDeviceInfo(const hid_device_info& node)
{
    SHidDeviceInfo info;
    info.path = node.path != nullptr ? node.path : "";
    info.vendorId = node.vendor_id;
    info.productId = node.product_id;
    info.serialNumber = FromLibrary(node.serial_number);
    info.manufacturer = FromLibrary(node.manufacturer_string);
    info.product = FromLibrary(node.product_string);
    info.releaseNumber = node.release_number;
    info.usagePage = node.usage_page;
    info.usage = node.usage;
    info.interfaceNumber = node.interface_number;
    return info;
}

// Guards the library's init and exit together with the instance count, so
// that a last instance going away and a first one coming up on two threads
// can not run hid_exit after hid_init.
std::mutex& LibraryMutex()
{
    // Never destroyed, for a handle that a thread still uses at exit.
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}

} // namespace

std::atomic<int> CSimpleHidClass::s_instanceCount{0};

class CSimpleHidClass::CCallerLock {
public:
    explicit CCallerLock(const CSimpleHidClass& owner) : m_owner(owner)
    {
        m_owner.m_waitingCallers.fetch_add(1);
        m_owner.m_deviceMutex.lock();
        if (m_owner.m_waitingCallers.fetch_sub(1) == 1) {
            m_owner.m_waitingCallers.notify_all();
        }
    }
    ~CCallerLock() { m_owner.m_deviceMutex.unlock(); }
    CCallerLock(const CCallerLock&) = delete;
    CCallerLock& operator=(const CCallerLock&) = delete;

private:
    const CSimpleHidClass& m_owner;
};

CSimpleHidClass::CSimpleHidClass()
{
    std::lock_guard lock(LibraryMutex());
    if (s_instanceCount.fetch_add(1) == 0) {
        hid_init();
    }
}

CSimpleHidClass::~CSimpleHidClass()
{
    StopReadThread();
    {
        std::lock_guard lock(m_deviceMutex);
        if (m_device != nullptr) {
            hid_close(m_device);
            m_device = nullptr;
        }
    }
    std::lock_guard lock(LibraryMutex());
    if (s_instanceCount.fetch_sub(1) == 1) {
        hid_exit();
    }
}

bool CSimpleHidClass::Open(uint16_t vendorId, uint16_t productId, const std::wstring& serialNumber)
{
    CCallerLock lock(*this);
    if (m_device != nullptr) {
        SetLastError(TEXT_ALREADY_OPEN);
        return false;
    }
    hid_device* device =
        hid_open(vendorId, productId, serialNumber.empty() ? nullptr : serialNumber.c_str());
    if (device == nullptr) {
        SetLastErrorFromLibrary(hid_error(nullptr));
        return false;
    }
    m_device = device;
    return true;
}

bool CSimpleHidClass::OpenPath(const std::string& path)
{
    CCallerLock lock(*this);
    if (m_device != nullptr) {
        SetLastError(TEXT_ALREADY_OPEN);
        return false;
    }
    hid_device* device = hid_open_path(path.c_str());
    if (device == nullptr) {
        SetLastErrorFromLibrary(hid_error(nullptr));
        return false;
    }
    m_device = device;
    return true;
}

void CSimpleHidClass::Close()
{
    StopReadThread();
    CCallerLock lock(*this);
    if (m_device != nullptr) {
        hid_close(m_device);
        m_device = nullptr;
    }
}

bool CSimpleHidClass::IsOpen() const
{
    CCallerLock lock(*this);
    return m_device != nullptr;
}

bool CSimpleHidClass::Write(const std::vector<uint8_t>& report)
{
    CCallerLock lock(*this);
    if (m_device == nullptr) {
        SetLastError(TEXT_NOT_OPEN);
        return false;
    }
    const int written = hid_write(m_device, report.data(), report.size());
    if (written < 0) {
        SetLastErrorFromLibrary(hid_error(m_device));
        return false;
    }
    if (static_cast<size_t>(written) != report.size()) {
        SetLastError(IncompleteTransferText(hid_error(m_device), "write", written, report.size()));
        return false;
    }
    return true;
}

bool CSimpleHidClass::Read(std::vector<uint8_t>& buffer, size_t maxLength, int timeoutMs)
{
    CCallerLock lock(*this);
    return ReadLocked(buffer, maxLength, timeoutMs) > 0;
}

int CSimpleHidClass::ReadCount(std::vector<uint8_t>& buffer, size_t maxLength, int timeoutMs)
{
    CCallerLock lock(*this);
    return ReadLocked(buffer, maxLength, timeoutMs);
}

int CSimpleHidClass::ReadLocked(std::vector<uint8_t>& buffer, size_t maxLength, int timeoutMs)
{
    if (m_device == nullptr) {
        SetLastError(TEXT_NOT_OPEN);
        return -1;
    }
    buffer.resize(maxLength);
    const int received = hid_read_timeout(m_device, buffer.data(), maxLength, timeoutMs);
    if (received < 0) {
        buffer.clear();
        SetLastErrorFromLibrary(hid_read_error(m_device));
        return received;
    }
    if (received == 0) {
        buffer.clear();
        SetLastError(TEXT_TIMEOUT);
        return 0;
    }
    // Never trust a count beyond the buffer.
    buffer.resize(std::min(static_cast<size_t>(received), maxLength));
    return received;
}

bool CSimpleHidClass::SendFeatureReport(const std::vector<uint8_t>& report)
{
    CCallerLock lock(*this);
    if (m_device == nullptr) {
        SetLastError(TEXT_NOT_OPEN);
        return false;
    }
    const int sent = hid_send_feature_report(m_device, report.data(), report.size());
    if (sent < 0) {
        SetLastErrorFromLibrary(hid_error(m_device));
        return false;
    }
    if (static_cast<size_t>(sent) != report.size()) {
        SetLastError(
            IncompleteTransferText(hid_error(m_device), "feature report", sent, report.size()));
        return false;
    }
    return true;
}

bool CSimpleHidClass::GetFeatureReport(uint8_t reportId, std::vector<uint8_t>& buffer,
                                       size_t length)
{
    CCallerLock lock(*this);
    if (m_device == nullptr) {
        SetLastError(TEXT_NOT_OPEN);
        return false;
    }
    std::vector<uint8_t> data(length + 1, 0);
    data[0] = reportId;
    const int received = hid_get_feature_report(m_device, data.data(), data.size());
    if (received < 0) {
        buffer.clear();
        SetLastErrorFromLibrary(hid_error(m_device));
        return false;
    }
    const size_t count = static_cast<size_t>(received);
    data.resize(count, 0);
    buffer = std::move(data);
    return true;
}

bool CSimpleHidClass::GetIndexedString(uint8_t index, std::wstring& text) const
{
    CCallerLock lock(*this);
    if (m_device == nullptr) {
        SetLastError(TEXT_NOT_OPEN);
        return false;
    }
    wchar_t buffer[INDEXED_STRING_LENGTH] = {};
    if (hid_get_indexed_string(m_device, index, buffer, INDEXED_STRING_LENGTH) < 0) {
        SetLastErrorFromLibrary(hid_error(m_device));
        return false;
    }
    // The library may fill the buffer without a terminating zero.
    text.assign(buffer, wcsnlen(buffer, INDEXED_STRING_LENGTH));
    return true;
}

bool CSimpleHidClass::GetDeviceInfo(SHidDeviceInfo& info) const
{
    CCallerLock lock(*this);
    if (m_device == nullptr) {
        SetLastError(TEXT_NOT_OPEN);
        return false;
    }
    const hid_device_info* node = hid_get_device_info(m_device);
    if (node == nullptr) {
        SetLastErrorFromLibrary(hid_error(m_device));
        return false;
    }
    info = ToDeviceInfo(*node);
    return true;
}

bool CSimpleHidClass::GetReportByteLengths(size_t& inputLength, size_t& outputLength,
                                           size_t& featureLength) const
{
    inputLength = outputLength = featureLength = 0;
    std::array<uint64_t, 3> lengths{};
    std::array<bool, 3> usesIds{};
    if (!AnalyseReportDescriptor(lengths, usesIds)) {
        return false;
    }
    inputLength = static_cast<size_t>(lengths[static_cast<size_t>(EHidReportKind::Input)]);
    outputLength = static_cast<size_t>(lengths[static_cast<size_t>(EHidReportKind::Output)]);
    featureLength = static_cast<size_t>(lengths[static_cast<size_t>(EHidReportKind::Feature)]);
    return true;
}

bool CSimpleHidClass::GetReportIdUsage(bool& inputUsesIds, bool& outputUsesIds,
                                       bool& featureUsesIds) const
{
    inputUsesIds = outputUsesIds = featureUsesIds = false;
    std::array<uint64_t, 3> lengths{};
    std::array<bool, 3> usesIds{};
    if (!AnalyseReportDescriptor(lengths, usesIds)) {
        return false;
    }
    inputUsesIds = usesIds[static_cast<size_t>(EHidReportKind::Input)];
    outputUsesIds = usesIds[static_cast<size_t>(EHidReportKind::Output)];
    featureUsesIds = usesIds[static_cast<size_t>(EHidReportKind::Feature)];
    return true;
}

bool CSimpleHidClass::AnalyseReportDescriptor(std::array<uint64_t, 3>& lengths,
                                              std::array<bool, 3>& usesIds) const
{
    CCallerLock lock(*this);
    if (m_device == nullptr) {
        SetLastError(TEXT_NOT_OPEN);
        return false;
    }
    std::vector<uint8_t> descriptor(REPORT_DESCRIPTOR_BUFFER, 0);
    const int received = hid_get_report_descriptor(m_device, descriptor.data(), descriptor.size());
    if (received < 0) {
        SetLastErrorFromLibrary(pellan_hid_report_descriptor_error(m_device));
        return false;
    }
    const size_t count = std::min(static_cast<size_t>(received), descriptor.size());
    ParseReportDescriptor(descriptor.data(), count, lengths, usesIds);
    return true;
}

bool CSimpleHidClass::StartReadThread(ReadCallback callback, size_t maxLength, int timeoutMs)
{
    std::lock_guard threadLock(m_threadMutex);
    if (m_readThreadRunning.load()) {
        SetLastError(TEXT_THREAD_RUNNING);
        return false;
    }
    {
        CCallerLock lock(*this);
        if (m_device == nullptr) {
            SetLastError(TEXT_NOT_OPEN);
            return false;
        }
    }
    // A thread that was asked to end from its own callback has ended but
    // was not joined yet.
    if (m_readThread.joinable()) {
        m_readThread.join();
    }
    m_stopReadThread.store(false);
    m_readThreadRunning.store(true);
    m_readThread = std::thread(&CSimpleHidClass::ReadThreadLoop, this, std::move(callback),
                               maxLength, timeoutMs);
    return true;
}

void CSimpleHidClass::StopReadThread()
{
    m_stopReadThread.store(true);
    // From the callback: the thread ends by itself after the callback
    // returns; joining here would wait for ourselves.
    if (t_readThreadOwner == this) {
        return;
    }
    std::lock_guard threadLock(m_threadMutex);
    if (m_readThread.joinable()) {
        m_readThread.join();
    }
    m_readThreadRunning.store(false);
}

bool CSimpleHidClass::IsReadThreadRunning() const
{
    return m_readThreadRunning.load();
}

void CSimpleHidClass::ReadThreadLoop(ReadCallback callback, size_t maxLength, int timeoutMs)
{
    t_readThreadOwner = this;
    const int waitMs = timeoutMs < 0 ? READ_THREAD_SLICE_MS : timeoutMs;
    std::vector<uint8_t> buffer;
    while (!m_stopReadThread.load()) {
        // Let waiting callers take the device first, or a busy read loop
        // could keep them out for good.
        for (int waiting = m_waitingCallers.load(); waiting > 0;
             waiting = m_waitingCallers.load()) {
            m_waitingCallers.wait(waiting);
        }
        int received = 0;
        {
            std::lock_guard lock(m_deviceMutex);
            received = ReadLocked(buffer, maxLength, waitMs);
        }
        if (received > 0) {
            if (callback) {
                callback(buffer);
            }
        } else if (received < 0 && waitMs > 0) {
            // A device that fails at once (unplugged) would otherwise keep
            // this thread spinning until it is stopped.
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::min(waitMs, READ_THREAD_SLICE_MS)));
        }
    }
    m_readThreadRunning.store(false);
}

std::string CSimpleHidClass::GetLastError() const
{
    std::lock_guard lock(m_errorMutex);
    return m_lastError;
}

void CSimpleHidClass::SetLastError(std::string text) const
{
    std::lock_guard lock(m_errorMutex);
    m_lastError = std::move(text);
}

void CSimpleHidClass::SetLastErrorFromLibrary(const wchar_t* text) const
{
    SetLastError(WideToUtf8(text));
}

bool CSimpleHidClass::EnumerateDevices(std::vector<SHidDeviceInfo>& devices, uint16_t vendorId,
                                       uint16_t productId)
{
    devices.clear();
    hid_device_info* list = hid_enumerate(vendorId, productId);
    if (list == nullptr) {
        return true;
    }
    for (const hid_device_info* node = list; node != nullptr; node = node->next) {
        devices.push_back(ToDeviceInfo(*node));
    }
    hid_free_enumeration(list);
    return true;
}
