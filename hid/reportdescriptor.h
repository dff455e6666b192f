#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Report kinds in the order the analysis results are handed out.
enum class EHidReportKind : size_t {
    Input = 0,
    Output = 1,
    Feature = 2,
};

// Walks a HID report descriptor and derives, per report kind (input, output,
// feature), the byte length of the largest report and whether that kind uses
// report IDs.
//
// The output and feature lengths always count a leading report-ID byte; the
// input length counts it only when input reports are numbered. A kind without
// any data bits has length 0 and flag false. A descriptor that ends inside an
// item is analysed up to the last complete item, and a Pop without a matching
// Push is ignored, so any bytes of any length are safe to pass.
void ParseReportDescriptor(const uint8_t* descriptor, size_t length,
                           std::array<uint64_t, 3>& byteLengths,
                           std::array<bool, 3>& usesReportIds);
