// The hidapi C API on top of the simulated stack. Signatures and structures
// are those of the installed <hidapi.h>; the functions that older releases
// lack are declared by hid/hidapiext.h.

#include "hid/hidapiext.h"
#include "sim/simhid.h"
#include "sim/simhidhandle.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <memory>

namespace {

constexpr const wchar_t* TEXT_SUCCESS = L"Success";
constexpr const wchar_t* TEXT_INVALID_HANDLE = L"Invalid device handle";
constexpr const wchar_t* TEXT_INVALID_BUFFER = L"Zero buffer/length";
constexpr const wchar_t* TEXT_NO_DEVICE = L"No such device";
constexpr const wchar_t* TEXT_IO_ERROR = L"Input/output error";
constexpr const wchar_t* TEXT_READ_DISCONNECTED =
    L"hid_read_timeout: unexpected poll error (device disconnected)";
constexpr const wchar_t* TEXT_NOT_FOUND = L"Device with requested VID/PID/(SerialNumber) not found";
constexpr const wchar_t* TEXT_NONE_LISTED =
    L"No HID devices with requested VID/PID found in the system.";
constexpr const wchar_t* TEXT_NONE_AT_ALL = L"No HID devices found in the system.";
constexpr const wchar_t* TEXT_BAD_STRING_INDEX = L"Invalid string index";
constexpr const wchar_t* TEXT_NO_INPUT_REPORT =
    L"hid_get_input_report: not supported by the simulated stack";

// hid_error(NULL): kept per thread, so that tests on several threads never
// read each other's texts.
thread_local std::wstring t_globalError;

const wchar_t* ErrorText(const std::wstring& text)
{
    return text.empty() ? TEXT_SUCCESS : text.c_str();
}

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

wchar_t* CopyOrNull(const std::wstring& text)
{
    if (text.empty()) {
        return nullptr;
    }
    auto* copy = new wchar_t[text.size() + 1];
    std::wmemcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

wchar_t* DataOrNull(std::wstring& text)
{
    return text.empty() ? nullptr : text.data();
}

void FillInfo(hid_device_info& info, const SSimHidInterface& description)
{
    info.vendor_id = description.vendorId;
    info.product_id = description.productId;
    info.release_number = description.releaseNumber;
    info.usage_page = description.usagePage;
    info.usage = description.usage;
    info.interface_number = description.interfaceNumber;
    info.bus_type = HID_API_BUS_USB;
    info.next = nullptr;
}

int CopyString(const std::wstring& text, wchar_t* buffer, size_t maxLength)
{
    const size_t count = std::min(text.size(), maxLength - 1);
    std::wmemcpy(buffer, text.data(), count);
    buffer[count] = L'\0';
    return 0;
}

int ClampToInt(size_t value)
{
    return static_cast<int>(std::min(value, static_cast<size_t>(INT_MAX)));
}

} // namespace

// Does the work of the C functions with access to the stack's inside.
class CSimHidApi {
public:
    static void CountInit()
    {
        auto& stack = CSimHidStack::Instance();
        std::lock_guard lock(stack.m_mutex);
        ++stack.m_initCount;
    }

    static void CountExit()
    {
        auto& stack = CSimHidStack::Instance();
        std::lock_guard lock(stack.m_mutex);
        ++stack.m_exitCount;
    }

    static hid_device* Open(const std::shared_ptr<CSimHidDevice>& device)
    {
        const SSimHidInterface& description = device->m_description;
        if (!description.openError.empty()) {
            t_globalError = description.openError;
            return nullptr;
        }
        auto handle = std::make_unique<hid_device_>();
        handle->device = device;
        handle->path = description.path;
        handle->serialNumber = description.serialNumber;
        handle->manufacturer = description.manufacturer;
        handle->product = description.product;
        FillInfo(handle->info, description);
        handle->info.path = handle->path.data();
        handle->info.serial_number = DataOrNull(handle->serialNumber);
        handle->info.manufacturer_string = DataOrNull(handle->manufacturer);
        handle->info.product_string = DataOrNull(handle->product);
        {
            std::lock_guard lock(device->m_mutex);
            if (!device->m_plugged) {
                t_globalError = TEXT_NO_DEVICE;
                return nullptr;
            }
            device->m_handles.push_back(handle.get());
        }
        {
            auto& stack = CSimHidStack::Instance();
            std::lock_guard lock(stack.m_mutex);
            ++stack.m_openHandles;
        }
        {
            std::lock_guard lock(device->m_behaviourMutex);
            device->m_behaviour->OnOpen(*device);
        }
        t_globalError.clear();
        return handle.release();
    }

    static void Close(hid_device* handle)
    {
        std::unique_ptr<hid_device_> owned(handle);
        CSimHidDevice& device = *owned->device;
        bool plugged = false;
        {
            std::lock_guard lock(device.m_mutex);
            plugged = device.m_plugged;
            std::erase(device.m_handles, handle);
        }
        {
            auto& stack = CSimHidStack::Instance();
            std::lock_guard lock(stack.m_mutex);
            --stack.m_openHandles;
        }
        if (plugged) {
            std::lock_guard lock(device.m_behaviourMutex);
            device.m_behaviour->OnClose(device);
        }
    }

    static bool IsPlugged(const hid_device* handle)
    {
        std::lock_guard lock(handle->device->m_mutex);
        return handle->device->m_plugged;
    }

    static int Send(hid_device* handle, ESimHidWriteKind kind, const unsigned char* data,
                    size_t length)
    {
        if (data == nullptr && length > 0) {
            handle->error = TEXT_INVALID_BUFFER;
            return -1;
        }
        if (!IsPlugged(handle)) {
            handle->error = TEXT_NO_DEVICE;
            return -1;
        }
        CSimHidDevice& device = *handle->device;
        const std::span<const uint8_t> report(data, length);
        std::wstring error;
        int result = 0;
        {
            std::lock_guard lock(device.m_behaviourMutex);
            result = kind == ESimHidWriteKind::Output
                         ? device.m_behaviour->OnOutputReport(device, report, error)
                         : device.m_behaviour->OnSetFeatureReport(device, report, error);
        }
        if (result < 0) {
            result = -1;
            if (error.empty()) {
                error = TEXT_IO_ERROR;
            }
        }
        handle->error = std::move(error);
        device.Record(kind, report, result);
        return result;
    }

    static int Read(hid_device* handle, unsigned char* data, size_t length, int milliseconds)
    {
        using Clock = CSimHidDevice::Clock;
        if (data == nullptr && length > 0) {
            handle->readError = TEXT_INVALID_BUFFER;
            return -1;
        }
        CSimHidDevice& device = *handle->device;
        const bool forever = milliseconds < 0;
        const Clock::time_point deadline =
            forever ? Clock::time_point::max()
                    : Clock::now() + std::chrono::milliseconds(milliseconds);

        std::unique_lock lock(device.m_mutex);
        for (;;) {
            if (!device.m_plugged) {
                handle->readError = TEXT_READ_DISCONNECTED;
                return -1;
            }
            const Clock::time_point now = Clock::now();
            Clock::time_point wakeAt = deadline;
            if (!handle->queue.empty()) {
                SSimPendingReport& front = handle->queue.front();
                if (front.due <= now) {
                    // Longer reports are cut to the buffer, as hidraw does.
                    const size_t count = std::min(front.bytes.size(), length);
                    if (count > 0) {
                        std::memcpy(data, front.bytes.data(), count);
                    }
                    handle->queue.pop_front();
                    handle->readError.clear();
                    return ClampToInt(count);
                }
                wakeAt = std::min(wakeAt, front.due);
            }
            if (!forever && now >= deadline) {
                handle->readError.clear();
                return 0;
            }
            ++device.m_waitingReaders;
            if (wakeAt == Clock::time_point::max()) {
                handle->inputReady.wait(lock);
            } else {
                handle->inputReady.wait_until(lock, wakeAt);
            }
            --device.m_waitingReaders;
        }
    }

    static int GetFeature(hid_device* handle, unsigned char* data, size_t length)
    {
        if (data == nullptr || length == 0) {
            handle->error = TEXT_INVALID_BUFFER;
            return -1;
        }
        if (!IsPlugged(handle)) {
            handle->error = TEXT_NO_DEVICE;
            return -1;
        }
        CSimHidDevice& device = *handle->device;
        std::vector<uint8_t> report;
        std::wstring error;
        int result = 0;
        {
            std::lock_guard lock(device.m_behaviourMutex);
            result = device.m_behaviour->OnGetFeatureReport(device, data[0], length, report, error);
        }
        if (result < 0) {
            handle->error = error.empty() ? TEXT_IO_ERROR : std::move(error);
            return -1;
        }
        const size_t count = std::min(report.size(), length);
        if (count > 0) {
            std::memcpy(data, report.data(), count);
        }
        handle->error = std::move(error);
        return result;
    }

    static int GetDescriptor(hid_device* handle, unsigned char* buffer, size_t size)
    {
        if (buffer == nullptr && size > 0) {
            handle->error = TEXT_INVALID_BUFFER;
            return -1;
        }
        if (!IsPlugged(handle)) {
            handle->error = TEXT_NO_DEVICE;
            return -1;
        }
        const std::vector<uint8_t>& descriptor = handle->device->m_description.reportDescriptor;
        const size_t count = std::min(descriptor.size(), size);
        if (count > 0) {
            std::memcpy(buffer, descriptor.data(), count);
        }
        handle->error.clear();
        return ClampToInt(count);
    }

    static int GetIndexedString(hid_device* handle, int index, wchar_t* buffer, size_t maxLength)
    {
        if (buffer == nullptr || maxLength == 0) {
            handle->error = TEXT_INVALID_BUFFER;
            return -1;
        }
        if (!IsPlugged(handle)) {
            handle->error = TEXT_NO_DEVICE;
            return -1;
        }
        const auto& strings = handle->device->m_description.indexedStrings;
        const auto found = strings.find(index);
        if (found == strings.end()) {
            handle->error = TEXT_BAD_STRING_INDEX;
            return -1;
        }
        handle->error.clear();
        return CopyString(found->second, buffer, maxLength);
    }
};

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void)
{
    CSimHidApi::CountInit();
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void)
{
    CSimHidApi::CountExit();
    return 0;
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id)
{
    hid_device_info* first = nullptr;
    hid_device_info** link = &first;
    for (const auto& device : CSimHidStack::Instance().Devices()) {
        const SSimHidInterface& description = device->Description();
        if ((vendor_id != 0 && description.vendorId != vendor_id) ||
            (product_id != 0 && description.productId != product_id)) {
            continue;
        }
        auto* node = new hid_device_info{};
        FillInfo(*node, description);
        node->path = new char[description.path.size() + 1];
        std::memcpy(node->path, description.path.c_str(), description.path.size() + 1);
        node->serial_number = CopyOrNull(description.serialNumber);
        node->manufacturer_string = CopyOrNull(description.manufacturer);
        node->product_string = CopyOrNull(description.product);
        *link = node;
        link = &node->next;
    }
    if (first == nullptr) {
        t_globalError = vendor_id == 0 && product_id == 0 ? TEXT_NONE_AT_ALL : TEXT_NONE_LISTED;
    } else {
        t_globalError.clear();
    }
    return first;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs)
{
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        delete[] devs->path;
        delete[] devs->serial_number;
        delete[] devs->manufacturer_string;
        delete[] devs->product_string;
        delete devs;
        devs = next;
    }
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open(unsigned short vendor_id,
                                                 unsigned short product_id,
                                                 const wchar_t* serial_number)
{
    for (const auto& device : CSimHidStack::Instance().Devices()) {
        const SSimHidInterface& description = device->Description();
        if ((vendor_id != 0 && description.vendorId != vendor_id) ||
            (product_id != 0 && description.productId != product_id)) {
            continue;
        }
        if (serial_number != nullptr && description.serialNumber != serial_number) {
            continue;
        }
        return CSimHidApi::Open(device);
    }
    t_globalError = TEXT_NOT_FOUND;
    return nullptr;
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path)
{
    const std::string wanted = path != nullptr ? path : "";
    const auto device = CSimHidStack::Instance().Find(wanted);
    if (!device) {
        t_globalError = L"Failed to open a device with path '" + Widen(wanted) +
                        L"': No such file or directory";
        return nullptr;
    }
    return CSimHidApi::Open(device);
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev)
{
    if (dev != nullptr) {
        CSimHidApi::Close(dev);
    }
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    if (dev == nullptr) {
        t_globalError = TEXT_INVALID_HANDLE;
        return -1;
    }
    return CSimHidApi::Send(dev, ESimHidWriteKind::Output, data, length);
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data,
                                                 size_t length, int milliseconds)
{
    if (dev == nullptr) {
        t_globalError = TEXT_INVALID_HANDLE;
        return -1;
    }
    return CSimHidApi::Read(dev, data, length, milliseconds);
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device* dev, unsigned char* data, size_t length)
{
    if (dev == nullptr) {
        t_globalError = TEXT_INVALID_HANDLE;
        return -1;
    }
    return CSimHidApi::Read(dev, data, length, dev->nonBlocking ? 0 : -1);
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* dev, int nonblock)
{
    if (dev == nullptr) {
        t_globalError = TEXT_INVALID_HANDLE;
        return -1;
    }
    dev->nonBlocking = nonblock != 0;
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_send_feature_report(hid_device* dev, const unsigned char* data,
                                                        size_t length)
{
    if (dev == nullptr) {
        t_globalError = TEXT_INVALID_HANDLE;
        return -1;
    }
    return CSimHidApi::Send(dev, ESimHidWriteKind::Feature, data, length);
}

int HID_API_EXPORT HID_API_CALL hid_get_feature_report(hid_device* dev, unsigned char* data,
                                                       size_t length)
{
    if (dev == nullptr) {
        t_globalError = TEXT_INVALID_HANDLE;
        return -1;
    }
    return CSimHidApi::GetFeature(dev, data, length);
}

int HID_API_EXPORT HID_API_CALL hid_get_input_report(hid_device* dev, unsigned char*, size_t)
{
    if (dev == nullptr) {
        t_globalError = TEXT_INVALID_HANDLE;
        return -1;
    }
    dev->error = TEXT_NO_INPUT_REPORT;
    return -1;
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen)
{
    if (dev == nullptr || string == nullptr || maxlen == 0) {
        (dev != nullptr ? dev->error : t_globalError) = TEXT_INVALID_BUFFER;
        return -1;
    }
    return CopyString(dev->manufacturer, string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen)
{
    if (dev == nullptr || string == nullptr || maxlen == 0) {
        (dev != nullptr ? dev->error : t_globalError) = TEXT_INVALID_BUFFER;
        return -1;
    }
    return CopyString(dev->product, string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device* dev, wchar_t* string,
                                                     size_t maxlen)
{
    if (dev == nullptr || string == nullptr || maxlen == 0) {
        (dev != nullptr ? dev->error : t_globalError) = TEXT_INVALID_BUFFER;
        return -1;
    }
    return CopyString(dev->serialNumber, string, maxlen);
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_get_device_info(hid_device* dev)
{
    if (dev == nullptr) {
        t_globalError = TEXT_INVALID_HANDLE;
        return nullptr;
    }
    return &dev->info;
}

int HID_API_EXPORT_CALL hid_get_indexed_string(hid_device* dev, int string_index, wchar_t* string,
                                               size_t maxlen)
{
    if (dev == nullptr) {
        t_globalError = TEXT_INVALID_HANDLE;
        return -1;
    }
    return CSimHidApi::GetIndexedString(dev, string_index, string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_report_descriptor(hid_device* dev, unsigned char* buf,
                                                  size_t buf_size)
{
    if (dev == nullptr) {
        t_globalError = TEXT_INVALID_HANDLE;
        return -1;
    }
    return CSimHidApi::GetDescriptor(dev, buf, buf_size);
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device* dev)
{
    return ErrorText(dev != nullptr ? dev->error : t_globalError);
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_read_error(hid_device* dev)
{
    return ErrorText(dev != nullptr ? dev->readError : t_globalError);
}

#if HID_API_VERSION < HID_API_MAKE_VERSION(0, 14, 0)
// The stack keeps descriptor errors with the device's other errors.
const wchar_t* pellan_hid_report_descriptor_error(hid_device* dev)
{
    return hid_error(dev);
}
#endif

HID_API_EXPORT const struct hid_api_version* HID_API_CALL hid_version(void)
{
    static const hid_api_version version{HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR,
                                         HID_API_VERSION_PATCH};
    return &version;
}

HID_API_EXPORT const char* HID_API_CALL hid_version_str(void)
{
    return HID_API_VERSION_STR;
}

} // extern "C"
