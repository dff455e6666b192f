// Report descriptors come from the USB device: any bytes of any length.

#include "fuzz/fuzzcheck.h"
#include "hid/reportdescriptor.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void CheckConsistent(const std::array<uint64_t, 3>& lengths, const std::array<bool, 3>& flags)
{
    for (size_t kind = 0; kind < 3; ++kind) {
        // A kind that uses report IDs has data, so a length.
        FUZZ_CHECK(!flags[kind] || lengths[kind] > 0);
    }
    // Output and feature lengths always count the report-ID byte.
    FUZZ_CHECK(lengths[1] == 0 || lengths[1] >= 2);
    FUZZ_CHECK(lengths[2] == 0 || lengths[2] >= 2);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::array<uint64_t, 3> lengths{};
    std::array<bool, 3> flags{};
    ParseReportDescriptor(data, size, lengths, flags);
    CheckConsistent(lengths, flags);

    // Items only ever add bits, so a prefix never gives more than the whole.
    // The prefix gets a buffer of its own size, so reading past it is caught.
    const std::vector<uint8_t> prefix(data, data + size / 2);
    std::array<uint64_t, 3> prefixLengths{};
    std::array<bool, 3> prefixFlags{};
    ParseReportDescriptor(prefix.data(), prefix.size(), prefixLengths, prefixFlags);
    CheckConsistent(prefixLengths, prefixFlags);
    for (size_t kind = 0; kind < 3; ++kind) {
        FUZZ_CHECK(prefixLengths[kind] <= lengths[kind]);
        FUZZ_CHECK(!prefixFlags[kind] || flags[kind]);
    }
    return 0;
}
