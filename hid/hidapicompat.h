#pragma once

#include <cstddef>
#include <functional>
#include <string>

struct hid_device_info;

// The ioctl the descriptor reader calls; tests pass their own to make one
// step fail. An empty function means the system's ioctl.
using HidrawControl = std::function<int(int fd, unsigned long request, void* argument)>;

// Reads the report descriptor of a Linux hidraw node: open, HIDIOCGRDESCSIZE,
// then HIDIOCGRDESC. At most size bytes are stored in buf; a longer
// descriptor is cut to the buffer.
//
// Returns the number of bytes stored, or -1 with error naming the step that
// failed and the system's text (the path or buffer is null, the node can not
// be opened, it is no hidraw node, or the kernel refuses the descriptor).
int ReadHidrawReportDescriptor(const char* path, unsigned char* buf, size_t size,
                               std::wstring& error, const HidrawControl& control = {});

// The same for the device that hidapi describes with info. A null info
// fails with libraryText, hidapi's reason for having none.
int ReadDeviceReportDescriptor(const hid_device_info* info, const wchar_t* libraryText,
                               unsigned char* buf, size_t size, std::wstring& error);
