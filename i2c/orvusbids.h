#pragma once

#include <cstdint>

// USB identifiers of the Orvane adapter family. The udev rule in packaging/
// matches kVendorId; keep the two in step.
inline constexpr uint16_t kVendorId = 0x3A5E;
inline constexpr uint16_t kProductIdOrv3 = 0x0103;
inline constexpr uint16_t kProductIdOrv5 = 0x0105;
inline constexpr uint16_t kProductIdOrv7 = 0x0107;
