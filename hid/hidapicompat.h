#pragma once

#include <cstddef>

// Reads the report descriptor of a Linux hidraw node (HIDIOCGRDESCSIZE, then
// HIDIOCGRDESC). At most size bytes are stored in buf; a longer descriptor is
// cut to the buffer.
//
// Returns the number of bytes stored, or -1 when the path or buffer is null,
// the node can not be opened or it is not a hidraw node.
int ReadHidrawReportDescriptor(const char* path, unsigned char* buf, size_t size);
