#include "hid/hidapicompat.h"

#include "hid/hidapiext.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Stand-ins for the hidapi functions that the installed release lacks. Only
// the missing ones are defined, so a newer hidapi keeps its own.

int ReadHidrawReportDescriptor(const char* path, unsigned char* buf, size_t size)
{
    if (path == nullptr || (buf == nullptr && size > 0)) {
        return -1;
    }
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    int descriptorSize = 0;
    hidraw_report_descriptor descriptor{};
    bool ok = ::ioctl(fd, HIDIOCGRDESCSIZE, &descriptorSize) >= 0 && descriptorSize >= 0 &&
              descriptorSize <= HID_MAX_DESCRIPTOR_SIZE;
    if (ok) {
        descriptor.size = static_cast<__u32>(descriptorSize);
        ok = ::ioctl(fd, HIDIOCGRDESC, &descriptor) >= 0;
    }
    ::close(fd);
    if (!ok) {
        return -1;
    }
    const size_t count = std::min(static_cast<size_t>(descriptor.size), size);
    if (count > 0) {
        std::memcpy(buf, descriptor.value, count);
    }
    return static_cast<int>(count);
}

extern "C" {

#if HID_API_VERSION < HID_API_MAKE_VERSION(0, 14, 0)
int HID_API_EXPORT_CALL hid_get_report_descriptor(hid_device* dev, unsigned char* buf,
                                                  size_t buf_size)
{
    if (dev == nullptr) {
        return -1;
    }
    const hid_device_info* info = hid_get_device_info(dev);
    if (info == nullptr) {
        return -1;
    }
    return ReadHidrawReportDescriptor(info->path, buf, buf_size);
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
