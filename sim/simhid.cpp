#include "sim/simhid.h"

#include "sim/simhidhandle.h"

#include <algorithm>
#include <utility>

namespace {

constexpr const wchar_t* TEXT_NO_FEATURE_REPORT = L"Broken pipe";

} // namespace

// --- CSimHidBehaviour ---------------------------------------------------

void CSimHidBehaviour::OnOpen(CSimHidDevice&) {}

void CSimHidBehaviour::OnClose(CSimHidDevice&) {}

int CSimHidBehaviour::OnOutputReport(CSimHidDevice&, std::span<const uint8_t> report, std::wstring&)
{
    return static_cast<int>(report.size());
}

int CSimHidBehaviour::OnSetFeatureReport(CSimHidDevice&, std::span<const uint8_t> report,
                                         std::wstring&)
{
    if (!report.empty()) {
        std::lock_guard lock(m_featureMutex);
        m_features[report[0]].assign(report.begin(), report.end());
    }
    return static_cast<int>(report.size());
}

int CSimHidBehaviour::OnGetFeatureReport(CSimHidDevice&, uint8_t reportId, size_t maxLength,
                                         std::vector<uint8_t>& report, std::wstring& error)
{
    std::lock_guard lock(m_featureMutex);
    const auto found = m_features.find(reportId);
    if (found == m_features.end()) {
        // What a device that stalls the request makes the driver say.
        error = TEXT_NO_FEATURE_REPORT;
        return -1;
    }
    report = found->second;
    return static_cast<int>(std::min(report.size(), maxLength));
}

// --- CSimHidCallbackBehaviour -------------------------------------------

int CSimHidCallbackBehaviour::OnOutputReport(CSimHidDevice& device, std::span<const uint8_t> report,
                                             std::wstring& error)
{
    return onOutputReport ? onOutputReport(device, report, error)
                          : CSimHidBehaviour::OnOutputReport(device, report, error);
}

int CSimHidCallbackBehaviour::OnSetFeatureReport(CSimHidDevice& device,
                                                 std::span<const uint8_t> report,
                                                 std::wstring& error)
{
    return onSetFeatureReport ? onSetFeatureReport(device, report, error)
                              : CSimHidBehaviour::OnSetFeatureReport(device, report, error);
}

int CSimHidCallbackBehaviour::OnGetFeatureReport(CSimHidDevice& device, uint8_t reportId,
                                                 size_t maxLength, std::vector<uint8_t>& report,
                                                 std::wstring& error)
{
    return onGetFeatureReport
               ? onGetFeatureReport(device, reportId, maxLength, report, error)
               : CSimHidBehaviour::OnGetFeatureReport(device, reportId, maxLength, report, error);
}

// --- CSimHidDevice ------------------------------------------------------

CSimHidDevice::CSimHidDevice(SSimHidInterface description,
                             std::shared_ptr<CSimHidBehaviour> behaviour)
    : m_description(std::move(description)), m_behaviour(std::move(behaviour))
{
}

bool CSimHidDevice::IsPlugged() const
{
    std::lock_guard lock(m_mutex);
    return m_plugged;
}

size_t CSimHidDevice::OpenHandleCount() const
{
    std::lock_guard lock(m_mutex);
    return m_handles.size();
}

size_t CSimHidDevice::WaitingReaderCount() const
{
    std::lock_guard lock(m_mutex);
    return m_waitingReaders;
}

size_t CSimHidDevice::QueueInputReport(std::vector<uint8_t> report, Clock::duration delay)
{
    const Clock::time_point due = Clock::now() + delay;
    std::lock_guard lock(m_mutex);
    if (!m_plugged) {
        return 0;
    }
    size_t delivered = 0;
    for (size_t i = 0; i < m_handles.size(); ++i) {
        hid_device_* handle = m_handles[i];
        if (m_description.inputQueueLimit != 0 &&
            handle->queue.size() >= m_description.inputQueueLimit) {
            continue;
        }
        SSimPendingReport pending{due, i + 1 == m_handles.size() ? std::move(report) : report};
        auto& queue = handle->queue;
        if (queue.empty() || queue.back().due <= due) {
            queue.push_back(std::move(pending));
        } else {
            const auto position =
                std::upper_bound(queue.begin(), queue.end(), due,
                                 [](const Clock::time_point& t, const SSimPendingReport& entry) {
                                     return t < entry.due;
                                 });
            queue.insert(position, std::move(pending));
        }
        handle->inputReady.notify_all();
        ++delivered;
    }
    return delivered;
}

size_t CSimHidDevice::DropPendingInputReports()
{
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(m_mutex);
    size_t dropped = 0;
    for (hid_device_* handle : m_handles) {
        auto& queue = handle->queue;
        // Sorted by due time: the pending ones are the tail.
        const auto firstPending =
            std::upper_bound(queue.begin(), queue.end(), now,
                             [](const Clock::time_point& t, const SSimPendingReport& entry) {
                                 return t < entry.due;
                             });
        dropped += static_cast<size_t>(queue.end() - firstPending);
        queue.erase(firstPending, queue.end());
    }
    return dropped;
}

std::vector<SSimHidWrite> CSimHidDevice::Writes() const
{
    std::lock_guard lock(m_mutex);
    return m_writes;
}

std::vector<std::vector<uint8_t>> CSimHidDevice::OutputReports() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::vector<uint8_t>> reports;
    for (const auto& write : m_writes) {
        if (write.kind == ESimHidWriteKind::Output) {
            reports.push_back(write.bytes);
        }
    }
    return reports;
}

std::vector<SSimHidWrite> CSimHidDevice::TakeWrites()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_writes, {});
}

size_t CSimHidDevice::WriteCount() const
{
    std::lock_guard lock(m_mutex);
    return m_writes.size();
}

bool CSimHidDevice::WaitForWrites(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_writesChanged.wait_for(lock, timeout, [&] { return m_writes.size() >= count; });
}

void CSimHidDevice::MarkUnplugged()
{
    std::lock_guard lock(m_mutex);
    m_plugged = false;
    for (hid_device_* handle : m_handles) {
        handle->queue.clear();
        handle->inputReady.notify_all();
    }
    m_writesChanged.notify_all();
}

void CSimHidDevice::Record(ESimHidWriteKind kind, std::span<const uint8_t> bytes, int result)
{
    if (!m_description.recordWrites) {
        return;
    }
    std::lock_guard lock(m_mutex);
    m_writes.push_back(
        SSimHidWrite{kind, std::vector<uint8_t>(bytes.begin(), bytes.end()), result});
    m_writesChanged.notify_all();
}

// --- CSimHidStack -------------------------------------------------------

CSimHidStack& CSimHidStack::Instance()
{
    // Never destroyed: a thread still inside a HID call at exit must not
    // meet a destroyed stack.
    static CSimHidStack* const stack = new CSimHidStack;
    return *stack;
}

std::shared_ptr<CSimHidDevice> CSimHidStack::Plug(SSimHidInterface description,
                                                  std::shared_ptr<CSimHidBehaviour> behaviour)
{
    if (description.path.empty()) {
        return nullptr;
    }
    if (!behaviour) {
        behaviour = std::make_shared<CSimHidBehaviour>();
    }
    std::lock_guard lock(m_mutex);
    for (const auto& device : m_devices) {
        if (device->m_description.path == description.path) {
            return nullptr;
        }
    }
    std::shared_ptr<CSimHidDevice> device(
        new CSimHidDevice(std::move(description), std::move(behaviour)));
    m_devices.push_back(device);
    return device;
}

bool CSimHidStack::Unplug(const std::string& path)
{
    std::shared_ptr<CSimHidDevice> device;
    {
        std::lock_guard lock(m_mutex);
        const auto found = std::find_if(m_devices.begin(), m_devices.end(), [&](const auto& entry) {
            return entry->m_description.path == path;
        });
        if (found == m_devices.end()) {
            return false;
        }
        device = *found;
        m_devices.erase(found);
    }
    device->MarkUnplugged();
    return true;
}

void CSimHidStack::Reset()
{
    std::vector<std::shared_ptr<CSimHidDevice>> devices;
    {
        std::lock_guard lock(m_mutex);
        devices.swap(m_devices);
        m_initCount = 0;
        m_exitCount = 0;
    }
    for (const auto& device : devices) {
        device->MarkUnplugged();
    }
}

std::shared_ptr<CSimHidDevice> CSimHidStack::Find(const std::string& path) const
{
    std::lock_guard lock(m_mutex);
    for (const auto& device : m_devices) {
        if (device->m_description.path == path) {
            return device;
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<CSimHidDevice>> CSimHidStack::Devices() const
{
    std::lock_guard lock(m_mutex);
    return m_devices;
}

int CSimHidStack::InitCount() const
{
    std::lock_guard lock(m_mutex);
    return m_initCount;
}

int CSimHidStack::ExitCount() const
{
    std::lock_guard lock(m_mutex);
    return m_exitCount;
}

size_t CSimHidStack::OpenHandleCount() const
{
    std::lock_guard lock(m_mutex);
    return m_openHandles;
}
