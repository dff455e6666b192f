#pragma once

// The hidapi C API as this project uses it. Older hidapi releases lack two
// functions; their prototypes are declared here exactly as the newer releases
// declare them, and the final link supplies them (the compatibility library
// with the real hidapi, or the simulated stack).
//
// pellan_hid_report_descriptor_error is not hidapi's: it is the error text
// after a failed hid_get_report_descriptor on this device. A stand-in for
// that call can not set hidapi's own device error, so it keeps its text here;
// with a hidapi that has the call, this is simply hid_error.

#include <hidapi.h>

#ifdef __cplusplus
extern "C" {
#endif

#if HID_API_VERSION < HID_API_MAKE_VERSION(0, 14, 0)
int HID_API_EXPORT_CALL hid_get_report_descriptor(hid_device* dev, unsigned char* buf,
                                                  size_t buf_size);
const wchar_t* pellan_hid_report_descriptor_error(hid_device* dev);
#else
static inline const wchar_t* pellan_hid_report_descriptor_error(hid_device* dev)
{
    return hid_error(dev);
}
#endif

#if HID_API_VERSION < HID_API_MAKE_VERSION(0, 15, 0)
HID_API_EXPORT const wchar_t* HID_API_CALL hid_read_error(hid_device* dev);
#endif

#ifdef __cplusplus
}
#endif
