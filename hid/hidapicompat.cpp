#include "hid/hidapicompat.h"

#include "hid/hidapiext.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <system_error>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Stand-ins for the hidapi functions that the installed release lacks. Only
// the missing ones are defined, so a newer hidapi keeps its own.

namespace {

constexpr const wchar_t* TEXT_PREFIX = L"Cannot read the report descriptor";

// The stand-in's last failure on this thread; hidapi's own error of a device
// can not be set from outside.
thread_local const hid_device* t_failedDevice = nullptr;
thread_local std::wstring t_failure;

// Text in the C library's encoding (paths, strerror) to wide characters; a
// byte that is no character of the locale becomes U+FFFD.
std::wstring ToWide(const std::string& text)
{
    std::wstring wide;
    std::mbstate_t state{};
    const char* p = text.c_str();
    const char* const end = p + text.size();
    while (p < end) {
        wchar_t c = 0;
        const size_t used = std::mbrtowc(&c, p, static_cast<size_t>(end - p), &state);
        if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2)) {
            wide += L'\uFFFD';
            state = std::mbstate_t{};
            ++p;
            continue;
        }
        wide += c;
        p += std::max<size_t>(used, 1);
    }
    return wide;
}

std::wstring SystemText(int error)
{
    return ToWide(std::generic_category().message(error));
}

int SystemControl(int fd, unsigned long request, void* argument)
{
    return ::ioctl(fd, request, argument);
}

} // namespace

int ReadHidrawReportDescriptor(const char* path, unsigned char* buf, size_t size,
                               std::wstring& error, const HidrawControl& control)
{
    if (path == nullptr || *path == '\0') {
        error = std::wstring(TEXT_PREFIX) + L": the device has no path";
        return -1;
    }
    if (buf == nullptr && size > 0) {
        error = std::wstring(TEXT_PREFIX) + L": no buffer";
        return -1;
    }
    const std::wstring node = ToWide(path);
    // Not blocking: a FIFO put where a node was expected must not hang us.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = std::wstring(TEXT_PREFIX) + L": cannot open " + node + L": " + SystemText(errno);
        return -1;
    }
    auto call = [&](unsigned long request, void* argument) {
        return control ? control(fd, request, argument) : SystemControl(fd, request, argument);
    };
    int descriptorSize = 0;
    hidraw_report_descriptor descriptor{};
    if (call(HIDIOCGRDESCSIZE, &descriptorSize) < 0) {
        const int reason = errno;
        ::close(fd);
        error = std::wstring(TEXT_PREFIX) + L": cannot get its size from " + node + L": " +
                SystemText(reason);
        return -1;
    }
    if (descriptorSize < 0 || descriptorSize > HID_MAX_DESCRIPTOR_SIZE) {
        ::close(fd);
        // std::to_wstring formats through vswprintf, which cannot be fortified.
        error = std::wstring(TEXT_PREFIX) + L": " + node + L" gives a size out of range: " +
                ToWide(std::to_string(descriptorSize));
        return -1;
    }
    descriptor.size = static_cast<__u32>(descriptorSize);
    if (call(HIDIOCGRDESC, &descriptor) < 0) {
        const int reason = errno;
        ::close(fd);
        error = std::wstring(TEXT_PREFIX) + L" from " + node + L": " + SystemText(reason);
        return -1;
    }
    ::close(fd);
    const size_t count =
        std::min({static_cast<size_t>(descriptor.size), sizeof descriptor.value, size});
    if (count > 0) {
        std::memcpy(buf, descriptor.value, count);
    }
    return static_cast<int>(count);
}

int ReadDeviceReportDescriptor(const hid_device_info* info, const wchar_t* libraryText,
                               unsigned char* buf, size_t size, std::wstring& error)
{
    if (info == nullptr) {
        error = std::wstring(TEXT_PREFIX) + L": no device information";
        // hidapi may keep no reason; its "Success" would only mislead.
        if (libraryText != nullptr && *libraryText != L'\0' &&
            std::wcscmp(libraryText, L"Success") != 0) {
            error += std::wstring(L": ") + libraryText;
        }
        return -1;
    }
    return ReadHidrawReportDescriptor(info->path, buf, size, error);
}

extern "C" {

#if HID_API_VERSION < HID_API_MAKE_VERSION(0, 14, 0)
int HID_API_EXPORT_CALL hid_get_report_descriptor(hid_device* dev, unsigned char* buf,
                                                  size_t buf_size)
{
    std::wstring error;
    int result = -1;
    if (dev == nullptr) {
        error = std::wstring(TEXT_PREFIX) + L": no device";
    } else {
        const hid_device_info* info = hid_get_device_info(dev);
        result = ReadDeviceReportDescriptor(info, info == nullptr ? hid_error(dev) : nullptr, buf,
                                            buf_size, error);
    }
    t_failedDevice = result < 0 ? dev : nullptr;
    t_failure = result < 0 ? std::move(error) : std::wstring();
    return result;
}

const wchar_t* pellan_hid_report_descriptor_error(hid_device* dev)
{
    if (dev == t_failedDevice && !t_failure.empty()) {
        return t_failure.c_str();
    }
    return hid_error(dev);
}
#endif

#if HID_API_VERSION < HID_API_MAKE_VERSION(0, 15, 0)
// This hidapi keeps read errors with the other errors of the device.
HID_API_EXPORT const wchar_t* HID_API_CALL hid_read_error(hid_device* dev)
{
    return hid_error(dev);
}
#endif

} // extern "C"
