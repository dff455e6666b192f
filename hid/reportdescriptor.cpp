#include "hid/reportdescriptor.h"

#include <algorithm>
#include <limits>
#include <map>
#include <vector>

namespace {

constexpr uint8_t LONG_ITEM_PREFIX = 0xFE;

constexpr uint8_t TYPE_MAIN = 0;
constexpr uint8_t TYPE_GLOBAL = 1;

constexpr uint8_t TAG_INPUT = 8;
constexpr uint8_t TAG_OUTPUT = 9;
constexpr uint8_t TAG_FEATURE = 11;

constexpr uint8_t TAG_REPORT_SIZE = 7;
constexpr uint8_t TAG_REPORT_ID = 8;
constexpr uint8_t TAG_REPORT_COUNT = 9;
constexpr uint8_t TAG_PUSH = 10;
constexpr uint8_t TAG_POP = 11;

struct SGlobalState {
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint32_t reportId = 0;
    bool hasReportId = false;
};

// Bit totals never wrap: a hostile descriptor could otherwise make a huge
// report look small.
uint64_t SaturatingAdd(uint64_t a, uint64_t b)
{
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

uint64_t BitsToBytes(uint64_t bits)
{
    return bits / 8 + (bits % 8 != 0 ? 1 : 0);
}

} // namespace

void ParseReportDescriptor(const uint8_t* descriptor, size_t length,
                           std::array<uint64_t, 3>& byteLengths, std::array<bool, 3>& usesReportIds)
{
    byteLengths = {0, 0, 0};
    usesReportIds = {false, false, false};
    if (descriptor == nullptr) {
        return;
    }

    SGlobalState state;
    std::vector<SGlobalState> stack;
    std::map<uint32_t, std::array<uint64_t, 3>> bitsPerReport;
    std::array<bool, 3> kindUsesIds = {false, false, false};

    size_t pos = 0;
    while (pos < length) {
        const uint8_t prefix = descriptor[pos];
        if (prefix == LONG_ITEM_PREFIX) {
            if (length - pos < 2) {
                break;
            }
            pos += 3 + static_cast<size_t>(descriptor[pos + 1]);
            continue;
        }

        const uint8_t sizeCode = prefix & 0x03;
        const size_t dataSize = sizeCode == 3 ? 4 : sizeCode;
        const uint8_t type = (prefix >> 2) & 0x03;
        const uint8_t tag = prefix >> 4;
        if (length - pos - 1 < dataSize) {
            break;
        }
        uint32_t value = 0;
        for (size_t i = 0; i < dataSize; ++i) {
            value |= static_cast<uint32_t>(descriptor[pos + 1 + i]) << (8 * i);
        }

        if (type == TYPE_GLOBAL) {
            switch (tag) {
            case TAG_REPORT_SIZE:
                state.reportSize = value;
                break;
            case TAG_REPORT_ID:
                state.reportId = value;
                state.hasReportId = true;
                break;
            case TAG_REPORT_COUNT:
                state.reportCount = value;
                break;
            case TAG_PUSH:
                stack.push_back(state);
                break;
            case TAG_POP:
                if (!stack.empty()) {
                    state = stack.back();
                    stack.pop_back();
                }
                break;
            default:
                break;
            }
        } else if (type == TYPE_MAIN) {
            int kind = -1;
            if (tag == TAG_INPUT) {
                kind = static_cast<int>(EHidReportKind::Input);
            } else if (tag == TAG_OUTPUT) {
                kind = static_cast<int>(EHidReportKind::Output);
            } else if (tag == TAG_FEATURE) {
                kind = static_cast<int>(EHidReportKind::Feature);
            }
            if (kind >= 0) {
                // Both factors are 32-bit, so the product fits in 64 bits.
                const uint64_t bits = static_cast<uint64_t>(state.reportSize) *
                                      static_cast<uint64_t>(state.reportCount);
                auto& totals = bitsPerReport[state.reportId];
                totals[kind] = SaturatingAdd(totals[kind], bits);
                if (state.hasReportId) {
                    kindUsesIds[kind] = true;
                }
            }
        }
        pos += 1 + dataSize;
    }

    for (size_t kind = 0; kind < 3; ++kind) {
        uint64_t maxBits = 0;
        for (const auto& entry : bitsPerReport) {
            maxBits = std::max(maxBits, entry.second[kind]);
        }
        if (maxBits == 0) {
            continue;
        }
        const bool countsIdByte =
            kind != static_cast<size_t>(EHidReportKind::Input) || kindUsesIds[kind];
        byteLengths[kind] = BitsToBytes(maxBits) + (countsIdByte ? 1 : 0);
        usesReportIds[kind] = kindUsesIds[kind];
    }
}
